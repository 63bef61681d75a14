// Runs the built vexor binary and checks what an administrator sees: the
// usage text, the banner, the diagnostics and the exit statuses.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

using testhost::kUsage;

const std::string kUnknown = "Unknown command line option: ?\n";
const std::string kVersion = std::string("vexor ") + VEXOR_VERSION + "\n";

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A fresh working directory per test, kept when the test failed so the
// evidence can be looked at.
class PlainBinary : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    std::filesystem::create_directory(dir_ / "work");
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
    r.out = testhost::file_text(out_path);
    r.err = testhost::file_text(err_path);
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

  testhost::ScratchDir scratch_{"vexor_cli"};
  const std::filesystem::path dir_ = scratch_.path();
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

// clang-format off
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
        // Once -s is seen, usage and the unknown-option line are silent, and
        // a reason line on standard error says why the run ended.
        EarlyEndCase{{"-sh"}, 1, "", "vexor: the usage text was asked for (-h)"},
        EarlyEndCase{{"-sx"}, 1, "", "invalid option"},
        EarlyEndCase{{"-sx"}, 1, "", "vexor: an unknown option"},
        EarlyEndCase{{"-h", "-s"}, 1, kUsage, ""},
        // The version request is one whole argument; anything else that
        // spells it is an option word like any other and is refused.
        EarlyEndCase{{"--version"}, 0, kVersion, ""},
        EarlyEndCase{{"-V"}, 0, kVersion, ""},
        EarlyEndCase{{"-sV"}, 1, "", "invalid option -- 'V'"},
        EarlyEndCase{{"-V", "-s"}, 1, kUnknown + kUsage, "invalid option -- 'V'"},
        EarlyEndCase{{"--version", "-s"}, 1, kUnknown + kUsage, "invalid option -- '-'"},
        EarlyEndCase{{"--versio"}, 1, kUnknown + kUsage, "invalid option -- '-'"}));
// clang-format on

TEST(VersionRequest, AnAnswerThatCannotBeWrittenEndsWithStatus1) {
  const std::string command = std::string(VEXOR_BINARY) + " --version >/dev/full 2>/dev/null";
  const int ws = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(ws));
  EXPECT_EQ(WEXITSTATUS(ws), 1);
}

// ------------------------------------------------- on the simulated host

const std::string kRule(98, '#');
const std::string kBanner =
    "\n" + kRule + "\n" +
    "Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux\n" +
    "Copyright (C) 2026 Zentrik. All rights reserved.\n" + kRule + "\n\n";
const std::string kDisabled = "SecureBoot is disabled.\n";
const std::string kToolsMissing =
    "SecureBoot is enabled. qtk and quarz tools are not available/installed for firmware flash.\n";

// One adapter whose catalog offers a newer image than the one it runs.
sim::HostSpec one_outdated_adapter() {
  sim::HostSpec desc = testhost::host_of(
      {testhost::adapter("0000:81:00.0", 0x1003, "QRV22", "2.36.5000", "0002c9aabb22")},
      {{"Quorvane QX-100", "1003", "QRV22", "2.36.5000", "qx100-2.36.bin"},
       {"Quorvane QX-100", "1003", "QRV22", "2.42.5000", "qx100-2.42.bin"}});
  desc.secure_boot = sim::SecureBoot::disabled;
  return desc;
}

using OnSimHost = testhost::HostTest;

// Option sets that end after the banner: the gate message and the usage
// text appear unless a silencing bit was given, and no mode runs.
struct RefusedCase {
  std::vector<std::string> args;
  std::string out;
};

using RefusedAfterBanner = testhost::HostTestWithParam<RefusedCase>;

TEST_P(RefusedAfterBanner, BannerThenWhatIsNotSilenced) {
  sim::SimHost& h = host(one_outdated_adapter());
  const sim::RunResult r = h.run(GetParam().args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_EQ(h.event_log(), "");  // no mode started
  EXPECT_TRUE(h.journal().empty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Sets, RefusedAfterBanner,
    ::testing::Values(RefusedCase{{"-c", "-y"}, kBanner + kDisabled + kUsage},
                      RefusedCase{{"-yc"}, kBanner + kDisabled + kUsage},
                      RefusedCase{{"-p", "-F"}, kBanner + kDisabled + kUsage},
                      RefusedCase{{"-Fy"}, kBanner + kDisabled + kUsage},
                      RefusedCase{{"-c", "-d"}, kBanner},
                      RefusedCase{{"-s", "-c"}, kBanner},
                      RefusedCase{{"-y", "-s"}, kBanner},
                      RefusedCase{{"-du", "x"}, kBanner}));
// clang-format on

using GateBeforeRefusal = OnSimHost;

TEST_F(GateBeforeRefusal, AFailedGateEndsTheRunWithoutUsage) {
  sim::HostSpec desc = one_outdated_adapter();
  desc.secure_boot = sim::SecureBoot::enabled;  // and neither qtk nor quarz
  const sim::RunResult r = run(desc, {"-c", "-y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
  EXPECT_TRUE(r.out.ends_with(kToolsMissing)) << r.out;
  EXPECT_EQ(r.out.find("USAGE"), std::string::npos) << r.out;
}

// Which mode runs, seen from what it leaves on the host.
struct DispatchCase {
  const char* label;
  std::vector<std::string> args;
  int status;
  size_t burns;
  std::vector<std::string> files;     // report files present afterwards
  std::vector<std::string> no_files;  // report files absent afterwards
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.label; }

using Dispatch = testhost::HostTestWithParam<DispatchCase>;

TEST_P(Dispatch, RunsExactlyOneMode) {
  const DispatchCase& c = GetParam();
  sim::SimHost& h = host(one_outdated_adapter());
  const sim::RunResult r = h.run(c.args);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(h.burns().size(), c.burns);
  for (const auto& f : c.files) EXPECT_NE(h.read_file(f), "") << f;
  for (const auto& f : c.no_files) EXPECT_EQ(h.read_file(f), "") << f;
  // Every mode opens (and so creates) the event log.
  EXPECT_EQ(h.run_shell("test -f pyxflash.log && echo present").out, "present\n");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Dispatch,
    ::testing::Values(
        DispatchCase{"list", {"-c"}, 0, 0, {}, {"nicdiscovery.xml"}},
        DispatchCase{"report_slash_form", {"/d"}, 0, 0, {"nicdiscovery.xml"}, {}},
        DispatchCase{"report_named", {"-d", "mine.xml"}, 0, 0, {"mine.xml"}, {"nicdiscovery.xml"}},
        DispatchCase{"silent_slash_form", {"/s"}, 0, 1, {}, {"nicdiscovery.xml"}},
        DispatchCase{"silent_force_slash_form", {"-s", "/F"}, 0, 1, {}, {"-F"}},
        DispatchCase{"grouped_silent_force", {"-sF"}, 0, 1, {}, {}}));

using ApplyReportName = OnSimHost;

TEST_F(ApplyReportName, ComesFromTheSecondArgumentOnly) {
  sim::SimHost& h = host(one_outdated_adapter());
  ASSERT_EQ(h.run({"-d"}).status, 0);
  ASSERT_NE(h.read_file("nicdiscovery.xml"), "");
  // Attached to -u, the name is consumed by the scanner but the default
  // report is applied; here that report asks for the upgrade.
  const sim::RunResult attached = h.run({"-umissing.xml"});
  EXPECT_EQ(attached.status, 0) << attached.out << attached.err;
  EXPECT_EQ(h.burns().size(), 1u);
  // As a second argument the name is used, and a missing report flashes nothing.
  const sim::RunResult separate = h.run({"-u", "missing.xml"});
  EXPECT_NE(separate.status, 0);
  EXPECT_EQ(h.burns().size(), 1u);
}

// The name of the query-error file in /tmp differs from run to run.
std::string without_temp_names(const std::string& out) {
  return std::regex_replace(out, std::regex("/tmp/data[A-Za-z0-9]{6}"), "/tmp/dataXXXXXX");
}

using InteractiveOption = OnSimHost;

TEST_F(InteractiveOption, DashIRunsLikeNoOption) {
  sim::SimHost& plain = host(one_outdated_adapter());
  sim::SimHost& with_i = host(one_outdated_adapter());
  const sim::RunResult a = plain.run({}, "n\n");
  const sim::RunResult b = with_i.run({"-i"}, "n\n");
  EXPECT_EQ(b.status, a.status);
  EXPECT_EQ(without_temp_names(b.out), without_temp_names(a.out));
  EXPECT_NE(b.out.find("Would you like to flash the firmware?\n y/n/q (y):"), std::string::npos)
      << b.out;
  EXPECT_TRUE(with_i.burns().empty());
}

using EventLogFile = OnSimHost;

TEST_F(EventLogFile, TwoRunsAppendTheirAnswers) {
  sim::SimHost& h = host(one_outdated_adapter());
  h.run({}, "n\n");
  h.run({}, "No\n");
  const std::string log = h.event_log();
  const std::regex answer(
      R"(\[INFO\]      \[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-9:]{8} [0-9]{4}\] )"
      R"(Would you like to flash the firmware\?\n y/n/q \(y\): (n|No)\n\n\n)");
  std::vector<std::string> answers;
  for (std::sregex_iterator it(log.begin(), log.end(), answer), end; it != end; ++it) {
    answers.push_back((*it)[1]);
  }
  EXPECT_EQ(answers, (std::vector<std::string>{"n", "No"})) << log;
}
}  // namespace
