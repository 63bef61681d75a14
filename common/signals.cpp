#include "common/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kDeferred[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile sig_atomic_t g_received = 0;

void record(int sig) {
  if (g_received == 0) g_received = sig;
}

void nothing(int) {}

}  // namespace

void prepare_process() {
  // Opened in order, each open takes the lowest free descriptor: the closed
  // one. Deliberately without close-on-exec: these are the standard ones.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (opened != fd && opened >= 0) ::close(opened);
    }
  }
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = SIG_IGN;
  // A write past the file-size limit (ulimit -f) then fails with EFBIG,
  // which is reported like any failed write, instead of ending the run
  // (in the middle of a burn, or before its first log line).
  ::sigaction(SIGXFSZ, &action, nullptr);
  action.sa_handler = nothing;
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGPIPE, &action, nullptr);
}

signal_deferral::signal_deferral() {
  g_received = 0;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = record;
  action.sa_flags = 0;  // no SA_RESTART: a signal wakes the waiting caller
  for (int i = 0; i < kCount; ++i) {
    if (::sigaction(kDeferred[i], nullptr, &previous_[i]) != 0) continue;
    // An ignored signal was ignored on purpose by whoever started us.
    if (previous_[i].sa_handler == SIG_IGN) continue;
    installed_[i] = ::sigaction(kDeferred[i], &action, nullptr) == 0;
  }
}

signal_deferral::~signal_deferral() {
  for (int i = 0; i < kCount; ++i)
    if (installed_[i]) ::sigaction(kDeferred[i], &previous_[i], nullptr);
}

int signal_deferral::received() const { return g_received; }
