// What another local user (uid 4242 on the simulated host) can do to a root
// run of vexor: plant programs where the working directory or PATH would
// find them, change files root runs and reads where a site let them, take,
// block or redirect the run lock; and a file-size limit that would end
// vexor. Each attack is made as that user; the root run then does its job,
// or ends with a reason, with nothing of the user's run or burned.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using testhost::both_due;
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

// ---------------------------------------------------------------------------
// Files root runs and reads that others can change
// ---------------------------------------------------------------------------

// The mark the user's code leaves when root runs it.
const char* const kUsersCode = "#!/bin/sh\ntouch /tmp/users-code-ran\n";

enum class Utility { shipped, system };

struct OwnershipCase {
  const char* name;
  Utility utility;
  const char* site;  // what the site did, as root ("" nothing)
  const char* user;  // what the user then does, as uid 4242 ("" nothing)
  Argv args;
  int status;
  std::vector<std::string> reason;  // each in the reason line
  Argv burned;
};

using OthersCanWrite = testhost::HostTestWithParam<OwnershipCase>;

TEST_P(OthersCanWrite, NothingOfTheirsRunsOrIsBurned) {
  const OwnershipCase& c = GetParam();
  sim::HostSpec desc = healthy_host();
  if (c.utility == Utility::system) {
    desc.secure_boot = sim::SecureBoot::enabled;
    desc.qtk = {true, 0};
    desc.quarz = {true, 0};
  }
  sim::SimHost& h = host(desc);
  if (c.utility == Utility::system) {
    // What the host shows as /usr/bin/quarz, given to group 4242.
    const std::string quarz = h.dir() + "/bin/quarz";
    ASSERT_EQ(::chown(quarz.c_str(), 0, kUser), 0);
    ASSERT_EQ(::chmod(quarz.c_str(), 0775), 0);
  }
  h.write_file("a.xml", testhost::report_xml({testhost::due_a()}));
  h.write_file("users-code", kUsersCode);
  ASSERT_EQ(h.run_shell(c.site).status, 0);
  const sim::RunResult attack = h.run_shell_as(kUser, c.user);
  ASSERT_EQ(attack.status, 0) << attack.err;

  std::string line = "./vexor";
  for (const auto& a : c.args) line += " " + a;
  const sim::RunResult r = h.run_shell(line);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_FALSE(fs::exists(fs::path(h.tmp_dir()) / "users-code-ran"));
  EXPECT_EQ(testhost::burned_addresses(h), c.burned);
  for (const auto& word : c.reason)
    EXPECT_NE(r.err.find(word), std::string::npos) << word << "\nnot in:\n" << r.err;
  EXPECT_NE(h.event_log().find("[ERROR]     ["), std::string::npos) << h.event_log();
}

INSTANTIATE_TEST_SUITE_P(
    Files, OthersCanWrite,
    ::testing::Values(
        OwnershipCase{"utility_writable_by_a_group",
                      Utility::shipped,
                      "chgrp 4242 nic_fw/pyxflash && chmod 775 nic_fw/pyxflash",
                      "cat users-code > nic_fw/pyxflash",
                      {"-s"},
                      1,
                      {"vexor: the flash utility ./nic_fw/pyxflash is refused: nic_fw/pyxflash "
                       "is writable by gid 4242; nothing was burned"},
                      {}},
        OwnershipCase{"nic_fw_writable_by_a_group",
                      Utility::shipped,
                      "chgrp 4242 nic_fw && chmod 775 nic_fw",
                      "mv nic_fw/pyxflash nic_fw/old && cp users-code nic_fw/pyxflash && "
                      "chmod 755 nic_fw/pyxflash",
                      {"-c"},
                      1,
                      {"./nic_fw/pyxflash is refused: nic_fw is writable by gid 4242"},
                      {}},
        OwnershipCase{"component_writable_by_everyone",
                      Utility::shipped,
                      "chmod 777 .",
                      "mv nic_fw nic_fw.old && mkdir nic_fw && cp nic_fw.old/* nic_fw/ && "
                      "cp users-code nic_fw/pyxflash",
                      {"-d"},
                      1,
                      {"is writable by every user", "nothing was burned"},
                      {}},
        OwnershipCase{"catalog_writable_by_everyone",
                      Utility::shipped,
                      "chmod 666 nic_fw/NICFWData.xml",
                      "echo '<NICFWData/>' > nic_fw/NICFWData.xml",
                      {"-s"},
                      1,
                      {"the firmware catalog nic_fw/NICFWData.xml is refused: "
                       "nic_fw/NICFWData.xml is writable by every user"},
                      {}},
        OwnershipCase{"catalog_of_the_user",
                      Utility::shipped,
                      "chown 4242 nic_fw/NICFWData.xml",
                      "chmod 644 nic_fw/NICFWData.xml",
                      {"-u", "a.xml"},
                      1,
                      {"nic_fw/NICFWData.xml is owned by uid 4242, not by root (uid 0)"},
                      {}},
        OwnershipCase{"getqrvninfo_writable_by_a_group",
                      Utility::shipped,
                      "chgrp 4242 getqrvninfo && chmod 775 getqrvninfo",
                      "cat users-code > getqrvninfo",
                      {"-u", "a.xml"},
                      1,
                      {"the program ./getqrvninfo is refused: getqrvninfo is writable by gid 4242"},
                      {}},
        OwnershipCase{"image_writable_by_a_group",
                      Utility::shipped,
                      "chgrp 4242 nic_fw/qx50-2000.bin && chmod 664 nic_fw/qx50-2000.bin",
                      "echo users-image > nic_fw/qx50-2000.bin",
                      {"-s"},
                      2,
                      {"0000:05:00.0: the image ./nic_fw/qx50-2000.bin is refused: "
                       "nic_fw/qx50-2000.bin is writable by gid 4242"},
                      {}},
        OwnershipCase{"system_utility_writable_by_a_group",
                      Utility::system,
                      "",
                      "",
                      {"-s"},
                      1,
                      {"the flash utility /usr/bin/quarz is refused: /usr/bin/quarz is writable "
                       "by gid 4242"},
                      {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The run lock
// ---------------------------------------------------------------------------

std::string held_by(pid_t run) {
  return "vexor: another vexor run (pid " + std::to_string(run) + ") is using the adapters\n";
}

// What the user does about the lock before root's runs; each step touches
// /tmp/attack-ready when it has done all it could, and may then go on
// (holding what it took) while root runs.
struct LockAttackCase {
  const char* name;
  bool after_a_run;  // root ran vexor once before, so its lock directory exists
  const char* user;
};

using LockAttack = testhost::HostTestWithParam<LockAttackCase>;

TEST_P(LockAttack, RootRunsHoldTheLockOneAtATime) {
  const LockAttackCase& c = GetParam();
  sim::SimHost& h = host(both_due(1.5));
  h.set_timeout(30);
  h.write_file("root-only", "precious\n");
  ASSERT_EQ(h.run_shell("chmod 600 root-only").status, 0);
  if (c.after_a_run) {
    ASSERT_EQ(h.run({"-c"}).status, 0);
  }
  std::string step = c.user;
  for (size_t at; (at = step.find("ROOT_ONLY")) != std::string::npos;)
    step.replace(at, 9, h.component_dir() + "/root-only");
  sim::BackgroundRun attack = h.start_shell_as(kUser, step);
  ASSERT_NO_THROW(attack.wait_for_file(h.tmp_dir() + "/attack-ready"));

  sim::BackgroundRun first = h.start({"-s"});
  first.wait_for_burn_start();
  for (const Argv& args : {Argv{"-s"}, Argv{"-c"}}) {
    const sim::RunResult second = h.run(args);
    EXPECT_EQ(second.status, 1) << args[0] << "\n" << second.out << second.err;
    EXPECT_NE(second.err.find(held_by(first.pid())), std::string::npos) << second.err;
  }
  const sim::RunResult done = first.wait();
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(testhost::burned_addresses(h), (Argv{kAddrA, kAddrB})) << "each burned once";
  EXPECT_EQ(h.read_file("root-only"), "precious\n");
  // Nothing of the user's stands in the way of the next run either.
  const sim::RunResult later = h.run({"-d"});
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(h.run_shell("stat -c '%a %U %F' /run/vexor /run/vexor/vexor.lock").out,
            "700 root directory\n600 root regular empty file\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LockAttack,
    ::testing::Values(
        LockAttackCase{"directory_at_the_old_place", false,
                       "mkdir /run/lock/vexor.lock && touch /tmp/attack-ready"},
        LockAttackCase{"lock_held_at_the_old_place", false,
                       "exec flock -x /run/lock/vexor.lock sh -c 'echo 1 > /run/lock/vexor.lock; "
                       "touch /tmp/attack-ready; exec sleep 600'"},
        LockAttackCase{"link_at_the_old_place", false,
                       "ln -s ROOT_ONLY /run/lock/vexor.lock && touch /tmp/attack-ready"},
        LockAttackCase{"lock_directory_made_first", false,
                       "! mkdir /run/vexor 2>/dev/null && ! ln -s /run/lock /run/vexor 2>/dev/null "
                       "&& touch /tmp/attack-ready"},
        LockAttackCase{"lock_file_reached_for", true,
                       "! ls /run/vexor >/dev/null 2>&1 && "
                       "! flock -n /run/vexor/vexor.lock true 2>/dev/null && "
                       "! ln -s ROOT_ONLY /run/vexor/vexor.lock 2>/dev/null && "
                       "touch /tmp/attack-ready"}),
    [](const auto& info) { return std::string(info.param.name); });
