// The shipped component: the installed tree and the package hold exactly the
// component directory and nothing of the simulated host, the unpacked
// package runs, the manual page is clean and complete, and the demo script
// runs to its end and cleans up after itself, also on Ctrl-C.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/hostfile.h"
#include "sim/simhost.h"
#include "tests/fixtures.h"
#include "tests/pty_reader.h"
#include "tests/readers.h"
#include "tests/ship_tools.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kSource = VEXOR_SOURCE_DIR;
const std::string kBuild = VEXOR_BUILD_DIR;

using namespace shiptest;  // the packaging tests' helpers

// What the component directory holds, one "type mode path" line per entry.
const std::vector<std::string> kComponentTree = {
    "d 0755 man",    "d 0755 man/man1",    "f 0644 man/man1/vexor.1",
    "d 0755 nic_fw", "f 0755 getqrvninfo", "f 0755 vexor",
};

using ShipPackage = testhost::HostTest;

}  // namespace

TEST(ShipInstall, LaysOutExactlyTheComponentDirectory) {
  ScratchDir scratch("vexor-ship");
  const fs::path dir = scratch.path() / "component";
  Shell r = shell("cmake --install " + quoted(kBuild) + " --prefix " + quoted(dir.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tree_of(dir), sorted(kComponentTree));
}

TEST_F(ShipPackage, UnpacksIntoAComponentDirectoryThatLists) {
  ScratchDir scratch("vexor-ship");
  // "cpack" alone makes the tarball and nothing else.
  const fs::path archive = pack("", scratch.path() / "pkg", ".tar.gz");
  ASSERT_FALSE(archive.empty());
  for (const auto& e : fs::directory_iterator(scratch.path() / "pkg"))
    EXPECT_TRUE(e.path() == archive || e.path().filename() == "_CPack_Packages") << e.path();

  // One top directory named after the package, holding the component.
  const fs::path unpacked = scratch.path() / "unpacked";
  fs::create_directories(unpacked);
  Shell r = shell("tar -xzf " + quoted(archive.string()) + " -C " + quoted(unpacked.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<fs::path> tops{fs::directory_iterator(unpacked), fs::directory_iterator()};
  ASSERT_EQ(tops.size(), 1u);
  EXPECT_EQ(tops[0].filename().string() + ".tar.gz", archive.filename().string());
  EXPECT_EQ(tree_of(tops[0]), sorted(kComponentTree));

  // The unpacked programs run where they lie.
  r = shell("cd " + quoted(tops[0].string()) + " && ./vexor -h");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("USAGE: vexor"), std::string::npos) << r.out;
  r = shell("cd " + quoted(tops[0].string()) + " && ./vexor --version");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, std::string("vexor ") + VEXOR_VERSION + "\n");

  // Given a flash utility and a catalog (the demo host's), the unpacked
  // component lists the adapters.
  sim::SimHost& h = host(sim::parse_host_file(std::string(VEXOR_SIM_HOSTS) + "/demo.host"));
  r = shell("tar -xzf " + quoted(archive.string()) + " --strip-components=1 -C " +
            quoted(h.component_dir()));
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(file_text(fs::path(h.component_dir()) / "vexor"), file_text(tops[0] / "vexor"));
  sim::RunResult run = h.run({"-c"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("      ROM       16.35.1012    ROM\t\t16.35.1012\t\t0000:05:00.0\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("      ROM       2.42.5000    ROM\t\t 2.36.5000\t\t0000:81:00.0\n"),
            std::string::npos)
      << run.out;
}

TEST(ShipManPage, LintsCleanAndRenders) {
  const std::string page = quoted(kSource + "/man/vexor.1");
  Shell lint = shell("groff -man -ww -z " + page);
  EXPECT_EQ(lint.status, 0);
  EXPECT_EQ(lint.out, "");

  Shell render = shell("MANWIDTH=80 man -l " + page);
  ASSERT_EQ(render.status, 0) << render.out;
  for (const char* section : {"SYNOPSIS", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLES"})
    EXPECT_NE(render.out.find(std::string("\n") + section + "\n"), std::string::npos) << section;
}

TEST(ShipManPage, DescribesEveryOptionTheScannerAccepts) {
  Shell render = shell("MANWIDTH=80 man -l " + quoted(kSource + "/man/vexor.1"));
  ASSERT_EQ(render.status, 0) << render.out;
  auto from = render.out.find("\nOPTIONS\n");
  auto to = render.out.find("\nSECURE BOOT\n");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  // The item tags: lines indented by exactly seven blanks, e.g. "-F, -f, /F".
  std::set<char> tagged;
  std::istringstream lines(render.out.substr(from, to - from));
  static const std::regex option(R"((^|[ ,])-([A-Za-z])\b)");
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("       -", 0) != 0) continue;
    std::string tag = line.substr(7, line.find("  ", 7) - 7);
    for (std::sregex_iterator m(tag.begin(), tag.end(), option), end; m != end; ++m)
      tagged.insert((*m)[2].str()[0]);
  }
  for (char c : std::string("hcsFfipyduV")) EXPECT_TRUE(tagged.count(c)) << "-" << c;
}

TEST(ShipDemo, RunsToTheEndWithoutATerminal) {
  ScratchDir scratch("vexor-ship");
  Shell r =
      shell("TMPDIR=" + quoted(scratch.path().string()) + " bash " +
            quoted(kSource + "/scripts/demo.sh") + " --build " + quoted(kBuild) + " </dev/null");
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* seen : {
           "No terminal on standard input",
           "Firmware Flashed:\tSUCCESS  for interface 0000:05:00.0",
           "== vexor -c: ",
           "      ROM       16.35.2000    ROM\t\t16.35.1012\t\t0000:05:00.0\n",
           "== vexor -d: ",
           "<active_version value=\"16.35.2000\"/>",
           "pyxflash -y -d 0000:05:00.0 -i ./nic_fw/qx200-16.35.2000.bin b\n",
           "  0000:81:00.0  Nothing\n",
           "== vexor -u nicdiscovery.xml: ",
       }) {
    EXPECT_NE(r.out.find(seen), std::string::npos) << "missing: " << seen << "\n" << r.out;
  }
  // -u burned the one device whose action asked for it, and only that one.
  const size_t by_u_at = r.out.find("== ... and by -u:");
  ASSERT_NE(by_u_at, std::string::npos) << r.out;
  const std::string by_u = r.out.substr(by_u_at);
  EXPECT_EQ(by_u.substr(by_u.find('\n') + 1, by_u.find("\n\n") - by_u.find('\n')),
            "  pyxflash -s -y -d 0000:05:00.0 -i ./nic_fw/qx200-16.35.2000.bin b\n")
      << r.out;
  // The update, the listing, the report and its application all ended with 0.
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (auto p = r.out.find(what); p != std::string::npos; p = r.out.find(what, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("== exit status "), 4u) << r.out;
  EXPECT_EQ(count("== exit status 0 =="), 4u) << r.out;
  EXPECT_TRUE(fs::is_empty(scratch.path())) << "the demo left files in " << scratch.path();
}

TEST(ShipDemo, CtrlCAtTheQuestionEndsTheDemoAndRemovesTheHost) {
  ScratchDir scratch("vexor-ship");
  const std::string script = kSource + "/scripts/demo.sh";
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("TMPDIR", scratch.path().c_str(), 1);
    ::execlp("bash", "bash", script.c_str(), "--build", kBuild.c_str(),
             static_cast<char*>(nullptr));
    std::_Exit(127);
  }

  std::string screen;
  bool asked = testpty::read_until(master, screen, "y/n/q (y):", 20);
  EXPECT_TRUE(asked) << screen;
  EXPECT_FALSE(fs::is_empty(scratch.path())) << "the demo's host is not in TMPDIR";
  const char interrupt = '\x03';
  EXPECT_EQ(::write(master, &interrupt, 1), 1);
  testpty::read_until(master, screen, "demo: interrupted", 10);

  int ws = 0;
  pid_t done = 0;
  for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;) {
    if ((done = ::waitpid(pid, &ws, WNOHANG)) != 0) break;
    ::usleep(50 * 1000);
  }
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &ws, 0);
  }
  ::close(master);
  ASSERT_EQ(done, pid) << "the demo did not end on Ctrl-C\n" << screen;
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 130) << screen;
  EXPECT_NE(screen.find("demo: interrupted"), std::string::npos) << screen;
  EXPECT_TRUE(fs::is_empty(scratch.path())) << "the demo left files in " << scratch.path();
}

namespace {

// The manual page shows, as its example, the report -d writes on the demo
// host; it must not drift from what the program writes. In the page's
// source a hyphen is written \-.
TEST_F(ShipPackage, ManPageExampleReportIsWhatTheDemoHostGets) {
  const std::string page = file_text(kSource + "/man/vexor.1");
  const size_t from = page.find("<?xml");
  ASSERT_NE(from, std::string::npos) << "no example report in man/vexor.1";
  const std::string end = "</zk_rom_discovery>\n";
  const size_t to = page.find(end, from);
  ASSERT_NE(to, std::string::npos);
  std::string example = page.substr(from, to + end.size() - from);
  for (size_t at = example.find("\\-"); at != std::string::npos; at = example.find("\\-", at))
    example.erase(at, 1);

  sim::SimHost& demo = host(sim::parse_host_file(kSource + "/sim/hosts/demo.host"));
  ASSERT_EQ(demo.run({"-d"}).status, 0);
  EXPECT_EQ(example, file_text(demo.component_dir() + "/nicdiscovery.xml"));
}

}  // namespace
