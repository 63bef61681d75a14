// The start state vexor gives itself, and the signals a burn defers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "common/signals.h"

namespace {

void (*handler_of(int sig))(int) {
  struct sigaction now {};
  ::sigaction(sig, nullptr, &now);
  return now.sa_handler;
}

std::string target_of(int fd) {
  char buf[PATH_MAX] = {};
  const ssize_t n =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Starts as a caller might leave it: standard output and error closed,
// SIGCHLD ignored, no file may grow. Exits 0 when prepare_process put all of
// it right, a write to a pipe without reader fails with EPIPE and a write
// past the file-size limit with EFBIG, instead of ending it.
[[noreturn]] void start_badly_then_prepare() {
  char name[] = "/tmp/vexor-signals-XXXXXX";
  const int file = ::mkstemp(name);
  if (file < 0) std::_Exit(11);
  ::unlink(name);
  ::close(STDOUT_FILENO);
  ::close(STDERR_FILENO);
  ::signal(SIGCHLD, SIG_IGN);
  const rlimit no_growth{0, RLIM_INFINITY};
  if (::setrlimit(RLIMIT_FSIZE, &no_growth) != 0) std::_Exit(12);
  prepare_process();
  int fds[2];
  if (::pipe(fds) != 0) std::_Exit(10);
  ::close(fds[0]);
  const bool epipe = ::write(fds[1], "x", 1) < 0 && errno == EPIPE;
  const bool efbig = ::write(file, "x", 1) < 0 && errno == EFBIG;
  std::_Exit(target_of(STDOUT_FILENO) == "/dev/null" && target_of(STDERR_FILENO) == "/dev/null" &&
                     handler_of(SIGCHLD) == SIG_DFL && epipe && efbig
                 ? 0
                 : 1);
}

}  // namespace

TEST(PrepareProcess, MendsClosedStreamsIgnoredSigchldSigpipeAndSigxfsz) {
  EXPECT_EXIT(start_badly_then_prepare(), ::testing::ExitedWithCode(0), "");
}

TEST(SignalDeferral, RecordsTheFirstSignalAndRestoresWhatWasThere) {
  const auto term_before = handler_of(SIGTERM);
  const auto hup_before = ::signal(SIGHUP, SIG_IGN);
  {
    signal_deferral deferral;
    EXPECT_EQ(deferral.received(), 0);
    ::raise(SIGTERM);  // the test goes on: the signal was only recorded
    ::raise(SIGINT);
    EXPECT_EQ(deferral.received(), SIGTERM);
    // What the process ignored stays ignored.
    EXPECT_EQ(handler_of(SIGHUP), SIG_IGN);
  }
  EXPECT_EQ(handler_of(SIGTERM), term_before);
  ::signal(SIGHUP, hup_before);
  signal_deferral fresh;
  EXPECT_EQ(fresh.received(), 0);
}
