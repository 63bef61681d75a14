// Tests of the simulated host itself (not of vexor): what a process sees
// inside its namespace, how the simulated flash utility behaves, the host's
// life cycle, and the vexor-sim command.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "sim/sim_state.h"
#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using sim::Adapter;
using sim::BurnBehaviour;
using sim::Function;
using sim::HostSpec;
using sim::SimHost;

using testhost::flash_state;
using testhost::lines_of;

// Two vendor adapters (one of them dual-port) and another vendor's NIC.
HostSpec two_adapters() {
  HostSpec desc = testhost::host_of(
      {testhost::adapter("0000:81:00.0", 0x1003, "QRV0000000022", "2.36.5000", "0002c9aabbcc",
                         {"ib0"}),
       testhost::adapter("0000:81:00.1", 0x1003, "QRV0000000022", "2.36.5000", "0002c9aabbcc",
                         {"ib1"}),
       testhost::adapter("0000:05:00.0", 0x1017, "QRV0000000011", "16.35.1012", "0002c9a0b1c2",
                         {"ens5f0"}),
       testhost::other_vendor("0000:02:00.0", {"eno1"})});
  desc.images = {{"qx100-2.42.5000.bin", "QRV0000000022", "2.42.5000"},
                 {"qx200-16.35.2000.bin", "QRV0000000011", "16.35.2000"}};
  return desc;
}

using SimHostView = testhost::HostTest;
using SimUtility = testhost::HostTest;
using SimHostLife = testhost::HostTest;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// --- Inside the namespace --------------------------------------------------

TEST_F(SimHostView, LspciListsExactlyTheSimulatedFunctionsWithOurNames) {
  SimHost& h = host(two_adapters());
  auto r = h.run_shell("lspci -D -nn");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // libpci found every file it wanted
  auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0].rfind("0000:02:00.0 ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("Ostrova Systems"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("[1f1c:0042]"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("0000:05:00.0 ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("Quorvane Technologies"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("[15b3:1017]"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[3].rfind("0000:81:00.1 ", 0), 0u) << lines[3];
}

TEST_F(SimHostView, VendorMissingFromTheDatabaseShowsNumerically) {
  auto desc = two_adapters();
  desc.vendor_names = {{0x15b3, "Quorvane Technologies"}};
  SimHost& h = host(desc);
  auto r = h.run_shell("lspci -D -nn -s 0000:02:00.0; lspci -D -nn -s 0000:81:00.0");
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0].find("Ostrova"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("Device [1f1c:0042]"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("Quorvane Technologies"), std::string::npos) << lines[1];
}

TEST_F(SimHostView, SysfsFilesAndNetLinksHaveTheKernelsShape) {
  SimHost& h = host(two_adapters());
  auto r = h.run_shell(
      "cd /sys/bus/pci/devices/0000:05:00.0 && cat vendor device subsystem_vendor subsystem_device class && "
      "readlink /sys/class/net/ens5f0 /sys/class/net/ib1 && ls /sys/class/net");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "0x15b3\n0x1017\n0x15b3\n0x0050\n0x020700\n"
            "../../devices/pci0000:00/0000:05:00.0/net/ens5f0\n"
            "../../devices/pci0000:00/0000:81:00.1/net/ib1\n"
            "eno1\nens5f0\nib0\nib1\n");
}

struct ToolCase {
  const char* name;
  sim::SecureBoot secure_boot;
  sim::Tool qtk;
  sim::Tool quarz;
  const char* expected;
};

using SimHostTools = testhost::HostTestWithParam<ToolCase>;

TEST_P(SimHostTools, UsrBinShowsTheDescribedTools) {
  auto desc = two_adapters();
  desc.secure_boot = GetParam().secure_boot;
  desc.qtk = GetParam().qtk;
  desc.quarz = GetParam().quarz;
  SimHost& h = host(desc);
  auto r = h.run_shell(
      "/usr/bin/mokutil --sb-state 2>/dev/null | head -n 1; echo \"mokutil=$?\"; "
      "/usr/bin/qtk status 2>/dev/null; echo \"qtk=$?\"; "
      "/usr/bin/quarz --help > /dev/null 2>&1; echo \"quarz=$?\"; "
      "test -x /usr/bin/sh && echo sh-kept");
  EXPECT_EQ(r.out, GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SimHostTools,
    ::testing::Values(
        ToolCase{"AllAbsent", sim::SecureBoot::absent, {}, {}, "mokutil=0\nqtk=127\nquarz=127\nsh-kept\n"},
        ToolCase{"Disabled", sim::SecureBoot::disabled, {}, {},
                 "SecureBoot disabled\nmokutil=0\nqtk=127\nquarz=127\nsh-kept\n"},
        ToolCase{"EnabledWithTools", sim::SecureBoot::enabled, {true, 0}, {true, 0},
                 "SecureBoot enabled\nmokutil=0\nqtk=0\nquarz=0\nsh-kept\n"},
        ToolCase{"QtkFails", sim::SecureBoot::enabled, {true, 3}, {true, 0},
                 "SecureBoot enabled\nmokutil=0\nqtk=3\nquarz=0\nsh-kept\n"},
        ToolCase{"Garbage", sim::SecureBoot::garbage, {}, {true, 0},
                 "\x01\x7f sb-state ?? 0x7f3a\nmokutil=0\nqtk=127\nquarz=0\nsh-kept\n"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(SimHostView, UsrBinIsReadOnlyAndTmpIsTheHostsOwn) {
  SimHost& h = host(two_adapters());
  auto r = h.run_shell("touch /usr/bin/vexor-sim-probe; echo \"touch=$?\"; mktemp /tmp/dataXXXXXX");
  auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out << r.err;
  EXPECT_NE(lines[0], "touch=0");
  EXPECT_FALSE(fs::exists("/usr/bin/vexor-sim-probe"));
  std::string name = fs::path(lines[1]).filename();
  EXPECT_TRUE(fs::exists(fs::path(h.tmp_dir()) / name));
  EXPECT_FALSE(fs::exists(fs::path("/tmp") / name));
}

TEST_F(SimHostView, ShippedUtilityAbsentOrNotExecutable) {
  auto desc = two_adapters();
  desc.pyxflash_present = false;
  SimHost& absent = host(desc);
  EXPECT_EQ(absent.run_shell("test -e nic_fw/pyxflash").status, 1);
  desc.pyxflash_present = true;
  desc.pyxflash_executable = false;
  SimHost& plain = host(desc);
  EXPECT_EQ(plain.run_shell("test -f nic_fw/pyxflash && ! test -x nic_fw/pyxflash").status, 0);
}

// --- The simulated flash utility ------------------------------------------

struct QueryCase {
  const char* name;
  Adapter adapter;
  std::vector<std::string> expected;  // the labelled lines, in order
};

using SimUtilityQuery = testhost::HostTestWithParam<QueryCase>;

TEST_P(SimUtilityQuery, PrintsEachLabelOnlyOnItsOwnLine) {
  auto desc = two_adapters();
  desc.functions[0].flash = GetParam().adapter;
  SimHost& h = host(desc);
  auto r = h.run_shell("./nic_fw/pyxflash -d 0000:81:00.0 q 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> labelled;
  for (const auto& line : lines_of(r.out)) {
    std::string l = lower(line);
    if (l.find("fw version") != std::string::npos || l.find("psid") != std::string::npos ||
        l.find("base mac") != std::string::npos)
      labelled.push_back(line);
  }
  EXPECT_EQ(labelled, GetParam().expected) << r.out;
  EXPECT_GE(lines_of(r.out).size(), 8u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SimUtilityQuery,
    ::testing::Values(
        QueryCase{"AllThree",
                  flash_state("QRV0000000022", "2.36.5000"),
                  {"FW Version:  2.36.5000", "PSID:  QRV0000000022", "Base MAC:  0002c9aabbcc  4"}},
        QueryCase{"FwMissing", flash_state("QRV0000000022", std::nullopt),
                  {"PSID:  QRV0000000022", "Base MAC:  0002c9aabbcc  4"}},
        QueryCase{"PsidEmptyMacMissing", flash_state("", "2.36.5000", std::nullopt),
                  {"FW Version:  2.36.5000", "PSID:"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(SimUtility, QueryErrorsPrintOnlyTheErrorAndFail) {
  auto desc = two_adapters();
  desc.functions[0].flash->query_error = "pyxflash: error: device 0000:81:00.0 is busy";
  SimHost& h = host(desc);
  auto r = h.run_shell(
      "./nic_fw/pyxflash -d 0000:81:00.0 q 2>&1; echo \"rc=$?\"; "
      "./nic_fw/pyxflash -d 0000:02:00.0 q 2>&1; echo \"rc=$?\"");
  EXPECT_EQ(r.out,
            "pyxflash: error: device 0000:81:00.0 is busy\nrc=1\n"
            "pyxflash: error: no device at 0000:02:00.0\nrc=1\n");
}

TEST_F(SimUtility, JournalRecordsEveryArgumentVectorInOrder) {
  auto desc = two_adapters();
  desc.quarz.present = true;
  SimHost& h = host(desc);
  auto r = h.run_shell(
      "./nic_fw/pyxflash -d 0000:81:00.0 q > /dev/null; /usr/bin/quarz --help > /dev/null; "
      "./nic_fw/pyxflash \"two words\" \"$(printf 'tab\\there')\" 'back\\slash' > /dev/null 2>&1; "
      "exec ./nic_fw/pyxflash -s -y -d 0000:05:00.0 -i ./nic_fw/qx200-16.35.2000.bin b");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<std::vector<std::string>> expected = {
      {"./nic_fw/pyxflash", "-d", "0000:81:00.0", "q"},
      {"/usr/bin/quarz", "--help"},
      {"./nic_fw/pyxflash", "two words", "tab\there", "back\\slash"},
      {"./nic_fw/pyxflash", "-s", "-y", "-d", "0000:05:00.0", "-i", "./nic_fw/qx200-16.35.2000.bin",
       "b"}};
  EXPECT_EQ(h.journal(), expected);
  EXPECT_EQ(h.burns(), std::vector<std::vector<std::string>>{expected[3]});
}

TEST_F(SimUtility, BurnSetsTheVersionALaterQueryShows) {
  SimHost& h = host(two_adapters());
  auto r = h.run_shell(
      "./nic_fw/pyxflash -y -d 0000:81:00.0 -i ./nic_fw/qx100-2.42.5000.bin b; echo \"rc=$?\"; "
      "./nic_fw/pyxflash -d 0000:81:00.0 q | grep 'FW Version'");
  EXPECT_NE(r.out.find("writing image: 50%"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("rc=0\nFW Version:  2.42.5000\n"), std::string::npos) << r.out;
  EXPECT_EQ(h.adapter("0000:81:00.0").fw, "2.42.5000");
  EXPECT_EQ(h.adapter("0000:81:00.1").fw, "2.36.5000");  // the other function keeps its own state
}

TEST_F(SimUtility, SilentBurnPrintsLessThanTheTalkativeOne) {
  SimHost& h = host(two_adapters());
  auto loud = h.run_shell("./nic_fw/pyxflash -y -d 0000:81:00.0 -i ./nic_fw/qx100-2.42.5000.bin b");
  auto quiet =
      h.run_shell("./nic_fw/pyxflash -s -y -d 0000:81:00.1 -i ./nic_fw/qx100-2.42.5000.bin b");
  ASSERT_EQ(loud.status, 0);
  ASSERT_EQ(quiet.status, 0);
  EXPECT_LT(lines_of(quiet.out).size(), lines_of(loud.out).size());
  EXPECT_EQ(quiet.out.find('%'), std::string::npos) << quiet.out;
}

struct BurnCase {
  const char* name;
  BurnBehaviour behaviour;
  const char* image;
  int status;
  const char* output;  // a text the merged output must hold
};

using SimUtilityBurn = testhost::HostTestWithParam<BurnCase>;

TEST_P(SimUtilityBurn, FailingBurnsLeaveTheVersionAlone) {
  auto desc = two_adapters();
  desc.functions[2].flash->burn = GetParam().behaviour;
  SimHost& h = host(desc);
  auto r = h.run_shell(
      std::string("exec ./nic_fw/pyxflash -y -d 0000:05:00.0 -i ") + GetParam().image + " b 2>&1");
  EXPECT_EQ(r.status, GetParam().status) << r.out;
  EXPECT_NE(r.out.find(GetParam().output), std::string::npos) << r.out;
  EXPECT_EQ(h.adapter("0000:05:00.0").fw, "16.35.1012");
  EXPECT_EQ(h.burns().size(), 1u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SimUtilityBurn,
    ::testing::Values(
        BurnCase{"PsidMismatch", BurnBehaviour::ok, "./nic_fw/qx100-2.42.5000.bin", 1, "pyxflash: error: PSID Mismatch"},
        BurnCase{"MissingImage", BurnBehaviour::ok, "./nic_fw/none.bin", 1, "pyxflash: error: cannot read image"},
        BurnCase{"NotAnImage", BurnBehaviour::ok, "./vexor", 1, "not a firmware image"},
        BurnCase{"Fail", BurnBehaviour::fail, "./nic_fw/qx200-16.35.2000.bin", 1, "pyxflash: error: write failed"},
        BurnCase{"Killed", BurnBehaviour::killed, "./nic_fw/qx200-16.35.2000.bin", 128 + 9, "writing image: 50%"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(SimUtility, SlowBurnTakesItsTimeAndReportsProgress) {
  auto desc = two_adapters();
  desc.functions[2].flash->burn = BurnBehaviour::slow;
  desc.functions[2].flash->burn_seconds = 0.4;
  SimHost& h = host(desc);
  auto start = std::chrono::steady_clock::now();
  auto r =
      h.run_shell("./nic_fw/pyxflash -s -y -d 0000:05:00.0 -i ./nic_fw/qx200-16.35.2000.bin b");
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(took, std::chrono::milliseconds(400));
  EXPECT_NE(r.out.find("writing image: 10%"), std::string::npos) << r.out;
  EXPECT_EQ(h.adapter("0000:05:00.0").fw, "16.35.2000");
}

TEST_F(SimUtility, RejectsCommandLinesOutsideItsInterface) {
  SimHost& h = host(two_adapters());
  for (const char* cmd :
       {"./nic_fw/pyxflash -d 0000:81:00.0 -i ./nic_fw/qx100-2.42.5000.bin b",
        "./nic_fw/pyxflash -y -d 0000:81:00.0 b", "./nic_fw/pyxflash q -d 0000:81:00.0"}) {
    auto r = h.run_shell(cmd);
    EXPECT_NE(r.status, 0) << cmd;
    EXPECT_NE(r.err.find("pyxflash: error: unknown command line"), std::string::npos)
        << cmd << "\n"
        << r.err;
  }
  EXPECT_EQ(h.adapter("0000:81:00.0").fw, "2.36.5000");
}

// --- Life cycle -----------------------------------------------------------

TEST_F(SimHostLife, DirectoryIsRemovedUnlessKept) {
  std::string gone, kept;
  {
    SimHost host(two_adapters());
    gone = host.dir();
    EXPECT_TRUE(fs::exists(fs::path(gone) / "component/vexor"));
    EXPECT_TRUE(fs::exists(fs::path(gone) / "component/getqrvninfo"));
  }
  EXPECT_FALSE(fs::exists(gone));
  {
    SimHost host(two_adapters());
    kept = host.dir();
    host.keep();
  }
  EXPECT_TRUE(fs::exists(kept));
  fs::remove_all(kept);
}

TEST_F(SimHostLife, ReopenedDirectoryKeepsTheFlashedState) {
  std::string dir = fs::temp_directory_path() / ("vexor-sim-test-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  {
    SimHost host(two_adapters(), dir);
    ASSERT_EQ(host.run_shell(
                      "./nic_fw/pyxflash -s -y -d 0000:81:00.0 -i ./nic_fw/qx100-2.42.5000.bin b")
                  .status,
              0);
  }
  ASSERT_TRUE(fs::exists(dir));  // a directory the caller named stays
  {
    auto desc = two_adapters();
    desc.secure_boot = sim::SecureBoot::enabled;
    SimHost host(desc, dir);
    EXPECT_EQ(host.adapter("0000:81:00.0").fw, "2.42.5000");
    EXPECT_EQ(host.journal().size(), 1u);
    EXPECT_EQ(host.run_shell("/usr/bin/mokutil --sb-state").out,
              "SecureBoot enabled\n");  // description refreshed
  }
  fs::remove_all(dir);
}

TEST_F(SimHostLife, RefusesToLayOutOverSomethingElse) {
  std::string dir = fs::temp_directory_path() / ("vexor-sim-other-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  { std::ofstream(dir + "/precious") << "data"; }
  EXPECT_THROW(SimHost(two_adapters(), dir), std::runtime_error);
  EXPECT_TRUE(fs::exists(dir + "/precious"));
  fs::remove_all(dir);
}

TEST_F(SimHostLife, BadDescriptionsAreRefusedBeforeAnythingIsLaidOut) {
  auto bad_address = two_adapters();
  bad_address.functions[0].address = "81:00.0";
  EXPECT_THROW(SimHost{bad_address}, std::invalid_argument);
  auto bad_image = two_adapters();
  bad_image.images[0].file = "../escape.bin";
  EXPECT_THROW(SimHost{bad_image}, std::invalid_argument);
}

TEST_F(SimHostLife, WithoutTheRightToMountItFailsWithTheReason) {
  SimHost& h = host(two_adapters());
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Root without CAP_SYS_ADMIN cannot make a mount namespace.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) std::_Exit(2);
    data[0].effective &= ~(1u << CAP_SYS_ADMIN);
    if (::syscall(SYS_capset, &header, data) != 0) std::_Exit(3);
    try {
      h.run_shell("true");
    } catch (const std::runtime_error& e) {
      std::_Exit(std::string(e.what()).find("unshare(CLONE_NEWNS)") != std::string::npos ? 0 : 4);
    }
    std::_Exit(5);  // ran without a namespace
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SimHostLife, HungCommandIsKilledAtTheTimeout) {
  SimHost& h = host(two_adapters());
  h.set_timeout(0.3);
  auto start = std::chrono::steady_clock::now();
  auto r = h.run_shell("sleep 5 & wait");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(r.status, 128 + 9);
  EXPECT_NE(r.err.find("killed after"), std::string::npos) << r.err;
}

TEST_F(SimHostLife, RunStartsTheComponentsVexor) {
  SimHost& h = host(two_adapters());
  auto r = h.run({"-c"});
  EXPECT_NE(r.out.find("Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux"),
            std::string::npos)
      << r.out << r.err;
}

TEST_F(SimHostLife, StdinReachesTheCommand) {
  SimHost& h = host(two_adapters());
  auto r = h.run_shell("read a; read b; echo \"$b,$a\"", "y\nq\n");
  EXPECT_EQ(r.out, "q,y\n");
}

// --- The command-line front ----------------------------------------------

TEST(SimCli, KeptDirectoryCarriesStateAndTheStatusComesThrough) {
  std::string dir = fs::temp_directory_path() / ("vexor-sim-cli-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  std::string cli = std::string(VEXOR_SIM_CLI) + " --dir " + dir + " ";
  std::string host = std::string(VEXOR_SIM_HOSTS) + "/demo.host";
  auto status = [](int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; };
  EXPECT_EQ(status(std::system((cli + host + " --shell 'exit 7'").c_str())), 7);
  EXPECT_EQ(
      status(std::system(
          (cli + host +
           " --shell './nic_fw/pyxflash -s -y -d 0000:05:00.0 -i ./nic_fw/qx200-16.35.2000.bin b'"
           " > /dev/null")
              .c_str())),
      0);
  std::string out = dir + ".out";
  EXPECT_EQ(status(std::system(
                (cli + host + " --shell './nic_fw/pyxflash -d 0000:05:00.0 q' > " + out).c_str())),
            0);
  EXPECT_NE(sim::slurp(out).value_or("").find("FW Version:  16.35.2000"), std::string::npos);
  // Several words are one argument vector, run in the component directory:
  // no word is split, expanded or read as shell text.
  EXPECT_EQ(
      status(std::system(
          (cli + host +
           " --shell sh -c 'pwd; printf \"[%s]\" \"$@\"' zero 'a b' '$(exit 9);*' '' > " + out)
              .c_str())),
      0);
  EXPECT_EQ(sim::slurp(out).value_or(""), dir + "/component\n[a b][$(exit 9);*][]");
  EXPECT_EQ(status(std::system((cli + host + " --shell sh -c 'exit 7' > /dev/null").c_str())), 7);
  EXPECT_EQ(status(std::system((cli + "--journal > " + out).c_str())), 0);
  EXPECT_EQ(sim::slurp(out).value_or(""),
            "./nic_fw/pyxflash -s -y -d 0000:05:00.0 -i ./nic_fw/qx200-16.35.2000.bin b\n"
            "./nic_fw/pyxflash -d 0000:05:00.0 q\n");
  EXPECT_EQ(status(std::system(
                (std::string(VEXOR_SIM_CLI) + " /nonexistent.host 2> /dev/null").c_str())),
            125);
  fs::remove_all(dir);
  fs::remove(out);
}

}  // namespace
