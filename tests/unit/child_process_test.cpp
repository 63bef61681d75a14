// The child runner: how a child ended, where its output went, its process
// group, and a wait that finds no child.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/child_process.h"

namespace {

struct EndCase {
  const char* name;
  std::vector<std::string> argv;  // run as /bin/sh with these arguments
  child_end::kind how;
  int value;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class ChildEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(ChildEnd, IsReportedAsExitStatusOrSignal) {
  spawn_options options;
  options.exec_failure_status = 1;
  const pid_t pid = spawn_child("/bin/sh", GetParam().argv, options);
  ASSERT_GT(pid, 0);
  const child_end end = wait_child(pid);
  EXPECT_EQ(end.how, GetParam().how);
  EXPECT_EQ(end.value, GetParam().value);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Children, ChildEnd,
    ::testing::Values(EndCase{"Success", {"sh", "-c", "exit 0"}, child_end::kind::exited, 0},
                      EndCase{"ExitStatus", {"sh", "-c", "exit 3"}, child_end::kind::exited, 3},
                      EndCase{"Signal", {"sh", "-c", "kill -TERM $$"},
                              child_end::kind::signalled, SIGTERM}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(SpawnChild, ProgramThatCannotRunEndsWithTheChosenStatus) {
  for (int status : {1, 127}) {
    spawn_options options;
    options.exec_failure_status = status;
    const pid_t pid = spawn_child("/nonexistent/program", {"program"}, options);
    ASSERT_GT(pid, 0);
    const child_end end = wait_child(pid);
    EXPECT_EQ(end.how, child_end::kind::exited);
    EXPECT_EQ(end.value, status);
  }
}

TEST(SpawnChild, OutputAndErrorGoWhereTheyAreSent) {
  unique_fd read_end;
  unique_fd write_end;
  ASSERT_TRUE(open_pipe(&read_end, &write_end));
  // Both ends are close-on-exec: the child gets the write end only as its
  // standard output and error.
  EXPECT_TRUE(::fcntl(read_end.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(write_end.get(), F_GETFD) & FD_CLOEXEC);
  spawn_options options;
  options.stdout_fd = write_end.get();
  options.stderr_fd = write_end.get();
  const pid_t pid = spawn_child("/bin/sh", {"sh", "-c", "echo out; echo err >&2"}, options);
  ASSERT_GT(pid, 0);
  write_end.reset();
  std::string output;
  char buf[256];
  ssize_t n;
  while ((n = ::read(read_end.get(), buf, sizeof buf)) > 0) output.append(buf, size_t(n));
  EXPECT_EQ(wait_child(pid).value, 0);
  EXPECT_EQ(output, "out\nerr\n");
}

TEST(SpawnChild, NewProcessGroupOnlyWhenAsked) {
  for (bool own_group : {false, true}) {
    spawn_options options;
    options.new_process_group = own_group;
    const pid_t pid = spawn_child("/bin/true", {"true"}, options);
    ASSERT_GT(pid, 0);
    // Not yet waited for, so the child's group can still be asked.
    EXPECT_EQ(::getpgid(pid), own_group ? pid : ::getpgrp()) << "own group " << own_group;
    wait_child(pid);
  }
}

TEST(WaitChild, NoChildGivesNoStatus) {
  const pid_t pid = spawn_child("/bin/true", {"true"}, spawn_options{});
  ASSERT_GT(pid, 0);
  wait_child(pid);
  const child_end again = wait_child(pid);
  EXPECT_EQ(again.how, child_end::kind::no_status);
  EXPECT_EQ(again.value, ECHILD);
}

}  // namespace

namespace {

// A descriptor of /dev/null, close-on-exec unless said otherwise.
unique_fd null_fd(bool close_on_exec = true) {
  return unique_fd(::open("/dev/null", O_RDONLY | (close_on_exec ? O_CLOEXEC : 0)));
}

// The exit status of sh -c script run with options.
int run_script(const std::string& script, const spawn_options& options) {
  const pid_t pid = spawn_child("/bin/sh", {"sh", "-c", script}, options);
  return pid > 0 ? wait_child(pid).value : -1;
}

std::string has_fd(int fd) { return "test -e /proc/self/fd/" + std::to_string(fd); }

}  // namespace

TEST(SpawnChild, KeepsTheInheritedDescriptorAndClosesTheRestWhenAsked) {
  unique_fd kept = null_fd();
  unique_fd other = null_fd();
  unique_fd left_open = null_fd(false);  // as a caller may leave one
  spawn_options options;
  options.inherited_fd = kept.get();
  EXPECT_EQ(run_script(has_fd(kept.get()) + " && ! " + has_fd(other.get()) + " && " +
                           has_fd(left_open.get()),
                       options),
            0);
  options.only_these_fds = true;
  EXPECT_EQ(run_script(has_fd(kept.get()) + " && ! " + has_fd(other.get()) + " && ! " +
                           has_fd(left_open.get()),
                       options),
            0);
  // The parent's own descriptor keeps its close-on-exec flag.
  EXPECT_TRUE(::fcntl(kept.get(), F_GETFD) & FD_CLOEXEC);
}

TEST(SpawnChild, StandardInputComesFromTheGivenDescriptor) {
  unique_fd read_end;
  unique_fd write_end;
  ASSERT_TRUE(open_pipe(&read_end, &write_end));
  ASSERT_TRUE(write_all(write_end.get(), "hello\n", 6));
  write_end.reset();
  spawn_options options;
  options.stdin_fd = read_end.get();
  EXPECT_EQ(run_script("read word && test \"$word\" = hello && ! read more", options), 0);
}

TEST(WaitChildPolling, TicksWhileTheChildRunsAndGivesItsEnd) {
  const pid_t pid = spawn_child("/bin/sh", {"sh", "-c", "sleep 0.3; exit 4"}, spawn_options{});
  ASSERT_GT(pid, 0);
  int ticks = 0;
  const child_end end = wait_child_polling(pid, 20, [&] { return ++ticks > 0; });
  EXPECT_EQ(end.how, child_end::kind::exited);
  EXPECT_EQ(end.value, 4);
  EXPECT_GT(ticks, 1);
  // Nothing is left to wait for.
  EXPECT_EQ(wait_child_polling(pid, 20, [&] { return true; }).how, child_end::kind::no_status);
}

TEST(WaitChildPolling, GivesUpWhenTickSaysSoAndLeavesTheChildRunning) {
  const pid_t pid = spawn_child("/bin/sh", {"sh", "-c", "sleep 30"}, spawn_options{});
  ASSERT_GT(pid, 0);
  int ticks = 0;
  EXPECT_EQ(wait_child_polling(pid, 10, [&] { return ++ticks < 3; }).how, child_end::kind::running);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(::kill(pid, 0), 0) << "the child was left running";
  ::kill(pid, SIGKILL);
  EXPECT_EQ(wait_child(pid).how, child_end::kind::signalled);
}

struct LimitedCase {
  const char* name;
  std::string script;  // run as sh -c script
  int64_t limit_ms;
  bool timed_out;
  child_end::kind how;
  int value;
  std::vector<std::string> lines;  // read until the first one holding "stop"
};

void PrintTo(const LimitedCase& c, std::ostream* os) { *os << c.name; }

class RunLimited : public ::testing::TestWithParam<LimitedCase> {};

TEST_P(RunLimited, KillsAChildStillRunningAtTheLimit) {
  const LimitedCase& c = GetParam();
  std::vector<std::string> lines;
  const limited_end end = run_limited(
      "/bin/sh", {"sh", "-c", c.script}, spawn_options{}, c.limit_ms,
      [&](const std::string& line) {
        lines.push_back(line);
        return line.find("stop") == std::string::npos;
      },
      /*merge_errors=*/true);
  EXPECT_TRUE(end.started);
  EXPECT_EQ(end.timed_out, c.timed_out);
  EXPECT_EQ(end.end.how, c.how);
  EXPECT_EQ(end.end.value, c.value);
  EXPECT_EQ(lines, c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Children, RunLimited,
    ::testing::Values(
        LimitedCase{"EndsInTime",
                    "echo one; echo two >&2; printf last; exit 3",
                    30000,
                    false,
                    child_end::kind::exited,
                    3,
                    {"one\n", "two\n", "last"}},
        LimitedCase{
            "HangsSilently", "exec sleep 30", 300, true, child_end::kind::signalled, SIGKILL, {}},
        LimitedCase{"HangsAfterItsLine",
                    "echo one; exec sleep 30",
                    2000,
                    true,
                    child_end::kind::signalled,
                    SIGKILL,
                    {"one\n"}},
        // Reading stops at the line wanted; the rest of the output meets a
        // closed pipe and ends the child, however much there is.
        LimitedCase{"StopsReading",
                    "echo stop; exec yes",
                    30000,
                    false,
                    child_end::kind::signalled,
                    SIGPIPE,
                    {"stop\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunLimited, WithoutAReaderTheOutputIsLeftAlone) {
  testing::internal::CaptureStdout();
  const limited_end end = run_limited("/bin/sh", {"sh", "-c", "echo shown"}, spawn_options{}, 5000);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown\n");
  EXPECT_FALSE(end.timed_out);
  EXPECT_EQ(end.end.how, child_end::kind::exited);
}

TEST(SpawnChild, RaisesTheFileSizeLimitOnlyWhenAsked) {
  // A child of its own, so that the test's limit stays as it is.
  const pid_t tester = ::fork();
  ASSERT_GE(tester, 0);
  if (tester == 0) {
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 4096;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    const std::string hard =
        limit.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_max / 512);
    spawn_options options;
    const std::string script = "test \"$(ulimit -S -f)\" = ";
    if (run_script(script + "8", options) != 0) ::_exit(11);
    options.raise_file_size_limit = true;
    if (run_script(script + hard, options) != 0) ::_exit(12);
    ::_exit(0);
  }
  const child_end end = wait_child(tester);
  EXPECT_EQ(end.how, child_end::kind::exited);
  EXPECT_EQ(end.value, 0) << "10: no limit set; 11: not inherited; 12: not raised";
}
