// Tests of the simulated host's walls (not of vexor): its own /run with a
// /run/lock anyone may write to, steps run as an unprivileged user, and a
// burn that goes on after vexor and whatever launched it have gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_state.h"
#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kUser = 4242;

using SimIsolation = testhost::HostTest;

// Waits up to seconds for condition; false when it never held.
bool eventually(const std::function<bool()>& condition, double seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The processes whose parent is pid, from /proc.
std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = testhost::file_text(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == pid) found.push_back(std::stoi(name));
  }
  return found;
}

}  // namespace

TEST_F(SimIsolation, RunIsTheHostsOwnWithAStickyLockDirectory) {
  sim::SimHost& h = host(testhost::two_adapter_host());
  const std::string probe = "vexor-sim-probe-" + std::to_string(::getpid());
  const sim::RunResult r =
      h.run_shell("stat -c '%a %U' /run /run/lock && touch /run/" + probe + " /run/lock/" + probe);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "755 root\n1777 root\n");
  EXPECT_TRUE(fs::exists(fs::path(h.run_dir()) / probe));
  EXPECT_TRUE(fs::exists(fs::path(h.lock_dir()) / probe));
  EXPECT_FALSE(fs::exists("/run/" + probe));
  EXPECT_FALSE(fs::exists("/run/lock/" + probe));
}

TEST_F(SimIsolation, ComponentLiesAtItsOwnPathInsideAndIsRoots) {
  sim::SimHost& h = host(testhost::two_adapter_host());
  const sim::RunResult r = h.run_shell(
      "readlink -f /proc/self/cwd; stat -c '%a %U' " + testhost::quoted(h.component_dir()) +
      " nic_fw nic_fw/pyxflash nic_fw/NICFWData.xml getqrvninfo");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, h.component_dir() + "\n755 root\n755 root\n755 root\n644 root\n755 root\n");
}

TEST_F(SimIsolation, ShellAsAUserHasItsIdsAndOnlyTheRightsOfOne) {
  sim::SimHost& h = host(testhost::two_adapter_host());
  const sim::RunResult r = h.run_shell_as(
      kUser,
      "id -u; id -g; id -G; touch nic_fw/probe 2>/dev/null || echo refused; "
      "touch /tmp/mine /run/lock/mine && stat -c %u /tmp/mine /run/lock/mine");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "4242\n4242\n4242\nrefused\n4242\n4242\n");
  EXPECT_FALSE(fs::exists(fs::path(h.component_dir()) / "nic_fw/probe"));
}

TEST_F(SimIsolation, UsersBackgroundStepEndsWithItsHandle) {
  sim::SimHost& h = host(testhost::two_adapter_host());
  pid_t pid;
  {
    sim::BackgroundRun step = h.start_shell_as(kUser, "touch /tmp/started; exec sleep 60");
    pid = step.pid();
    ASSERT_TRUE(eventually([&] { return fs::exists(fs::path(h.tmp_dir()) / "started"); }));
    EXPECT_NE(testhost::file_text("/proc/" + std::to_string(pid) + "/status")
                  .find("Uid:\t4242\t4242\t4242\t4242\n"),
              std::string::npos);
  }
  EXPECT_NE(::kill(pid, 0), 0) << "the user's step outlived its handle";
}

// A burn that vexor leaves running when it is killed still records the
// version it burned, also when the program that launched vexor on the host
// (here vexor-sim, as a fleet runs it) ended with it.
TEST(SimLauncherGone, BurnOutlivingVexorAndItsLauncherRecordsItsVersion) {
  testhost::ScratchDir scratch("vexor-sim-orphan");
  const fs::path files = scratch.path() / "files", dir = scratch.path() / "host";
  fs::create_directories(files);
  std::ofstream(files / "catalog.xml")
      << testhost::catalog_xml({{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin",
                                 "15B3", "0020"}});
  std::ofstream(files / "one.host")
      << "secure-boot disabled\n"
         "function 0000:05:00.0 15b3:1017 15b3:0020 020000 ens5\n"
         "adapter 0000:05:00.0 fw=16.35.1012 psid=QRV11 mac=0002c9a0b1c2 burn=slow seconds=2\n"
         "catalog catalog.xml\n"
         "image qx50-2000.bin QRV11 16.35.2000\n";

  const pid_t launcher = ::fork();
  ASSERT_GE(launcher, 0);
  if (launcher == 0) {
    ::freopen("/dev/null", "r", stdin);
    ::freopen("/dev/null", "w", stdout);
    ::execl(VEXOR_SIM_CLI, "vexor-sim", "--dir", dir.c_str(), (files / "one.host").c_str(), "--",
            "-s", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string state = (dir / "state").string();
  EXPECT_TRUE(eventually([&] {
    const auto journal = sim::read_journal(sim::journal_path(state));
    return !journal.empty() && journal.back().back() == "b";
  })) << "no burn began";
  const std::vector<pid_t> vexor = children_of(launcher);
  ASSERT_EQ(vexor.size(), 1u);
  ::kill(vexor[0], SIGKILL);
  int wstatus = 0;
  ASSERT_EQ(::waitpid(launcher, &wstatus, 0), launcher);
  EXPECT_EQ(WEXITSTATUS(wstatus), 128 + SIGKILL) << "vexor-sim says how vexor ended";

  EXPECT_TRUE(eventually([&] {
    const auto adapter = sim::load_adapter(state, "0000:05:00.0");
    return adapter && adapter->fw == "16.35.2000";
  })) << "the burn did not record the version it burned";
}
