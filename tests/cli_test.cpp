// Runs the built vexor binary and checks what an administrator sees: the
// usage text, the banner, the diagnostics and the exit statuses.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kUsage =
    "USAGE: vexor [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n"
    "\t With no option, interactively upgrade firmware. \n"
    "\t -s  Silently upgrade firmware.\n"
    "\t -y  Assume default repsonse for all prompts.\n"
    "\t -d  Generates NIC Discovery xml file for currently installed version.\n"
    "\t -c  Display currently installed firmware information.\n"
    "\t -h  Display this help menu.\n";

const std::string kUnknown = "Unknown command line option: ?\n";

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh working directory per test, kept when the test failed so the
// evidence can be looked at.
class PlainBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vexor_cli_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::filesystem::create_directory(dir_ / "work");
  }
  void TearDown() override {
    if (HasFailure()) {
      std::cerr << "kept " << dir_ << "\n";
    } else {
      std::filesystem::remove_all(dir_);
    }
  }

  // Runs vexor with args in dir_/work, standard input from /dev/null.
  CliRun run(const std::vector<std::string>& args) {
    const auto out_path = dir_ / "stdout";
    const auto err_path = dir_ / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir((dir_ / "work").c_str()) != 0) _exit(125);
      const int in = open("/dev/null", O_RDONLY);
      const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) _exit(125);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      std::string name = "vexor";
      argv.push_back(name.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(VEXOR_BINARY, argv.data());
      _exit(126);
    }
    CliRun r;
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid) {
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    return r;
  }

  // Files the run left in its working directory.
  std::vector<std::string> left_behind() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "work")) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }

  std::filesystem::path dir_;
};

// Everything that ends before the banner is independent of the host.
struct EarlyEndCase {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err_part;  // a piece getopt's own diagnostic must contain
};

class EarlyEnd : public PlainBinary, public ::testing::WithParamInterface<EarlyEndCase> {};

TEST_P(EarlyEnd, OutputAndStatus) {
  const EarlyEndCase& c = GetParam();
  const CliRun r = run(c.args);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, c.out);
  if (c.err_part.empty()) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_NE(r.err.find(c.err_part), std::string::npos) << r.err;
  }
  // Nothing that ends here touches the working directory.
  EXPECT_TRUE(left_behind().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EarlyEnd,
    ::testing::Values(
        EarlyEndCase{{"-h"}, 1, kUsage, ""},
        EarlyEndCase{{"/x"}, 1, kUsage, ""},
        EarlyEndCase{{"-"}, 1, kUsage, ""},
        EarlyEndCase{{"s"}, 1, kUsage, ""},
        EarlyEndCase{{"/F", "-s"}, 1, kUsage, ""},
        EarlyEndCase{{"-s", "-u", "report.xml"}, 1, kUsage, ""},
        EarlyEndCase{{"-s", "-F", "-y", "-c"}, 1, kUsage, ""},
        EarlyEndCase{{"eth0", "-bootenable", "rom"}, 0, "", ""},
        EarlyEndCase{{"eth0", "-bootenable", "iscsi"}, 0, "", ""},
        EarlyEndCase{{"eth3", "-bootenable", "disabled"}, 0, "", ""},
        EarlyEndCase{{"eth0", "-bootenable", "pxe"}, 1, kUsage, ""},
        EarlyEndCase{{"eno1", "-bootenable", "rom"}, 1, kUsage, ""},
        EarlyEndCase{{"-x"}, 1, kUnknown + kUsage, "invalid option"},
        EarlyEndCase{{"-u"}, 1, kUnknown + kUsage, "requires an argument"},
        EarlyEndCase{{"-cq"}, 1, kUnknown + kUsage, "invalid option"},
        // Once -s is seen, usage and the unknown-option line are silent.
        EarlyEndCase{{"-sh"}, 1, "", ""},
        EarlyEndCase{{"-sx"}, 1, "", "invalid option"},
        EarlyEndCase{{"-h", "-s"}, 1, kUsage, ""}));

}  // namespace
