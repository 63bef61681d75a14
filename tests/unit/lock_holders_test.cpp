// Who holds a lock: found among the live processes that have the file open,
// and named for what it is (a vexor run, a burn left behind, anything else).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/lock_holders.h"
#include "common/owners.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;

struct HolderCase {
  const char* name;
  const char* program;  // "vexor": a copy of the shell named so
  std::vector<std::string> argv;
  lock_holder::kind what;
  const char* text;  // holder_text with "PID" for the process id
};

class LockHolder : public ::testing::TestWithParam<HolderCase> {};

TEST_P(LockHolder, IsTheTopmostLiveProcessThatHasTheFileOpen) {
  const HolderCase& c = GetParam();
  testhost::ScratchDir scratch;
  const fs::path file = scratch.path() / "vexor.lock";
  unique_fd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd);
  struct stat st;
  ASSERT_EQ(::fstat(fd.get(), &st), 0);
  // This process has it open as well, and is never named.
  EXPECT_FALSE(find_lock_holder(st.st_dev, st.st_ino));

  std::string program = c.program;
  if (program == "vexor") {
    program = (scratch.path() / "vexor").string();
    fs::copy_file("/bin/sh", program);
  }
  spawn_options options;
  options.inherited_fd = fd.get();
  options.new_process_group = true;
  const pid_t pid = spawn_child(program.c_str(), c.argv, options);
  ASSERT_GT(pid, 0);
  std::optional<lock_holder> holder;
  // Until the child has become what it runs (and started its own children).
  const std::string own_name = testhost::file_text("/proc/self/comm");
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    holder = find_lock_holder(st.st_dev, st.st_ino);
    if (holder && holder->what == c.what && holder->name + "\n" != own_name) break;
  }
  ::kill(-pid, SIGKILL);
  wait_child(pid);

  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->what, c.what);
  EXPECT_EQ(holder->pid, pid);
  std::string text = c.text;
  text.replace(text.find("PID"), 3, std::to_string(pid));
  EXPECT_EQ(holder_text(*holder), text);
}

INSTANTIATE_TEST_SUITE_P(
    Processes, LockHolder,
    ::testing::Values(
        HolderCase{"vexor_run",
                   "vexor",
                   {"vexor", "-c", "sleep 30; :"},
                   lock_holder::kind::vexor_run,
                   "another vexor run (pid PID) is using the adapters"},
        // A run and the burn it started both have it open: the run is named.
        HolderCase{"vexor_run_during_its_burn",
                   "vexor",
                   {"vexor", "-c", "sh -c 'sleep 30; :' pyxflash -y -d 0000:05:00.0 -i x.bin b; :"},
                   lock_holder::kind::vexor_run,
                   "another vexor run (pid PID) is using the adapters"},
        // A burn whose run has gone, its utility a script that waits for a
        // child of its own (which holds the file as well).
        HolderCase{"burn_left_running",
                   "/bin/sh",
                   {"sh", "-c", "sleep 30; :", "pyxflash", "-s", "-y", "-d", "0000:05:00.0", "-i",
                    "./nic_fw/qx50-2000.bin", "b"},
                   lock_holder::kind::burn,
                   "the flash utility's burn of 0000:05:00.0 (pid PID, sh), left running by a "
                   "vexor run that has ended, is using the adapters"},
        HolderCase{"other_process",
                   "/bin/sleep",
                   {"sleep", "30"},
                   lock_holder::kind::other,
                   "another process (pid PID, sleep) is using the adapters"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
