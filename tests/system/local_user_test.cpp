// What another local user (uid 4242 on the simulated host) can do to a root
// run of vexor: plant programs where the working directory or PATH would
// find them, make a file-size limit end vexor. Each attack is made as that
// user; the root run then does its job, with nothing of the user's run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using testhost::count_of;
using testhost::kAddrA;
using testhost::kAddrB;
using testhost::quoted;
using Argv = std::vector<std::string>;

constexpr uid_t kUser = 4242;

sim::HostSpec healthy_host() {
  sim::HostSpec desc = testhost::two_adapter_host();
  desc.secure_boot = sim::SecureBoot::disabled;
  return desc;
}

// A script of the user's that leaves a mark in /tmp when root runs it.
std::string marking_script(const std::string& mark, const std::string& then = "") {
  return "#!/bin/sh\ntouch /tmp/" + mark + "\n" + then;
}

// A shell line that writes text into path and makes it executable.
std::string plant(const std::string& path, const std::string& text) {
  return "printf '%s' " + quoted(text) + " > " + path + " && chmod 755 " + path;
}

using StartedElsewhere = testhost::HostTest;

TEST_F(StartedElsewhere, RunsItsOwnUtilityAndLogsInItsOwnDirectory) {
  sim::SimHost& h = host(healthy_host());
  const sim::RunResult planted = h.run_shell_as(
      kUser, "mkdir /tmp/nic_fw && " +
                 plant("/tmp/nic_fw/pyxflash",
                       marking_script("planted-utility-ran", "echo 'FW Version: 99.99.99'\n")) +
                 " && " + plant("/tmp/getqrvninfo", marking_script("planted-getqrvninfo-ran")) +
                 " && printf '<broken' > /tmp/nic_fw/NICFWData.xml");
  ASSERT_EQ(planted.status, 0) << planted.err;

  const std::string vexor = quoted(h.component_dir() + "/vexor");
  const sim::RunResult listed = h.run_shell("cd /tmp && " + vexor + " -c");
  EXPECT_EQ(listed.status, 0) << listed.out << listed.err;
  EXPECT_NE(listed.out.find("16.35.1012"), std::string::npos) << listed.out;
  const sim::RunResult updated = h.run_shell("cd /tmp && " + vexor + " -s");
  EXPECT_EQ(updated.status, 0) << updated.out << updated.err;

  EXPECT_EQ(testhost::burned_addresses(h), Argv{kAddrA});
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.2000");
  for (const char* mark : {"planted-utility-ran", "planted-getqrvninfo-ran"})
    EXPECT_FALSE(fs::exists(fs::path(h.tmp_dir()) / mark)) << mark;
  EXPECT_FALSE(fs::exists(fs::path(h.tmp_dir()) / "pyxflash.log"));
  EXPECT_EQ(count_of(h.event_log(), "Upgrade SUCCESS"), 1u) << h.event_log();
}

TEST_F(StartedElsewhere, ReportNamedRelativelyIsInTheCallersDirectory) {
  sim::SimHost& h = host(healthy_host());
  const std::string vexor = quoted(h.component_dir() + "/vexor");
  const sim::RunResult wrote = h.run_shell(
      "mkdir -p /tmp/work/sub && cd /tmp/work && " + vexor + " -d sub/r.xml && " + vexor + " -d");
  ASSERT_EQ(wrote.status, 0) << wrote.err;
  const fs::path report = fs::path(h.tmp_dir()) / "work/sub/r.xml";
  EXPECT_NE(testhost::file_text(report).find("<busnumber value=\"0000:05\"/>"), std::string::npos);
  EXPECT_FALSE(fs::exists(fs::path(h.component_dir()) / "sub"));
  // The default name belongs to the component directory.
  EXPECT_NE(h.read_file("nicdiscovery.xml"), "");
  EXPECT_FALSE(fs::exists(fs::path(h.tmp_dir()) / "work/nicdiscovery.xml"));

  // The report asks for A's upgrade and B's rewrite.
  const sim::RunResult applied = h.run_shell("cd /tmp/work && " + vexor + " -u sub/r.xml");
  EXPECT_EQ(applied.status, 0) << applied.err << h.event_log();
  EXPECT_EQ(testhost::burned_addresses(h), (Argv{kAddrA, kAddrB}));
}

// A tool the shell lines of vexor name, planted by the user in a directory
// that root's PATH lists first.
struct PlantedToolCase {
  const char* tool;
  Argv args;
  bool a_fails;  // A's burn fails, so that its output is searched
  int status;
};

using PlantedOnPath = testhost::HostTestWithParam<PlantedToolCase>;

TEST_P(PlantedOnPath, RootRunUsesTheSystemsTool) {
  const PlantedToolCase& c = GetParam();
  sim::HostSpec desc = healthy_host();
  if (c.a_fails) desc.functions[0].flash->burn = sim::BurnBehaviour::fail;
  sim::SimHost& h = host(desc);
  const std::string mark = std::string("planted-") + c.tool + "-ran";
  const std::string tool = std::string("/tmp/bin/") + c.tool;
  ASSERT_EQ(h.run_shell_as(kUser, "mkdir /tmp/bin && " +
                                      plant(tool, marking_script(mark, "exec /usr/bin/" +
                                                                           std::string(c.tool) +
                                                                           " \"$@\"\n")))
                .status,
            0);
  std::string line = "PATH=/tmp/bin:$PATH ./vexor";
  for (const auto& a : c.args) line += " " + a;
  const sim::RunResult r = h.run_shell(line);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_FALSE(fs::exists(fs::path(h.tmp_dir()) / mark)) << c.tool << " of the user ran as root";
  if (c.args[0] == "-d") {
    // The interface names came through the system's pipeline all the same.
    EXPECT_NE(h.read_file("nicdiscovery.xml").find("value=\"ens5\""), std::string::npos);
  } else {
    EXPECT_NE(h.event_log().find("Upgrade failed"), std::string::npos) << h.event_log();
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, PlantedOnPath,
                         ::testing::Values(PlantedToolCase{"awk", {"-d"}, false, 0},
                                           PlantedToolCase{"ls", {"-d"}, false, 0},
                                           PlantedToolCase{"cut", {"-d"}, false, 0},
                                           PlantedToolCase{"grep", {"-s"}, true, 2}),
                         [](const auto& info) { return std::string(info.param.tool); });

using FileSizeLimit = testhost::HostTest;

// An event log already over root's file-size limit (ulimit -f, in blocks of
// 512 bytes): vexor is not ended by SIGXFSZ, says that the log cannot be
// written, and burns.
TEST_F(FileSizeLimit, LogOverTheLimitIsAWriteErrorNotTheEnd) {
  sim::SimHost& h = host(healthy_host());
  h.write_file("pyxflash.log", std::string(4096, 'x') + "\n");
  const sim::RunResult r = h.run_shell("ulimit -f 2 && exec ./vexor -s");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(count_of(r.err,
                     "pyxflash.log: the event log cannot be written: File too large "
                     "(errno 27); the run goes on without it\n"),
            1u)
      << r.err;
  EXPECT_EQ(testhost::burned_addresses(h), Argv{kAddrA});
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.2000");
}

}  // namespace
