#include "common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>

namespace {

// In the child: makes fd the descriptor target. dup2 onto itself would
// leave close-on-exec set, so that case only clears the flag.
bool redirect(int fd, int target) {
  if (fd < 0) return true;
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) == target;
}

// In the child: closes every descriptor above 2 except keep (-1: none).
// close_range where the kernel has it, one by one up to limit otherwise.
void close_other_fds(int keep, long limit) {
  const unsigned first = STDERR_FILENO + 1;
  bool done;
  if (keep > STDERR_FILENO) {
    done = (static_cast<unsigned>(keep) == first ||
            ::close_range(first, static_cast<unsigned>(keep) - 1, 0) == 0) &&
           ::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0;
  } else {
    done = ::close_range(first, ~0U, 0) == 0;
  }
  if (done) return;
  for (long fd = first; fd < limit; ++fd)
    if (fd != keep) ::close(static_cast<int>(fd));
}

// In the child: the soft limit on file sizes becomes the hard one.
bool raise_file_size_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  limit.rlim_cur = limit.rlim_max;
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

child_end end_of(int status) {
  if (WIFEXITED(status)) return {child_end::kind::exited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {child_end::kind::signalled, WTERMSIG(status)};
  return {child_end::kind::no_status, 0};
}

}  // namespace

pid_t spawn_child(const char* program, const std::vector<std::string>& argv,
                  const spawn_options& options) {
  // Everything the child needs is made before the fork: between fork and
  // exec it only calls what is safe there.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const long open_max = ::sysconf(_SC_OPEN_MAX);
  const long fd_limit = std::min(open_max > 0 ? open_max : 1024L, 65536L);

  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid != 0) {
    // Also in the parent, so that the group exists whichever runs first.
    if (pid > 0 && options.new_process_group) ::setpgid(pid, pid);
    return pid;
  }
  if (options.new_process_group && ::setpgid(0, 0) != 0) ::_exit(options.exec_failure_status);
  if (!redirect(options.stdin_fd, STDIN_FILENO) || !redirect(options.stdout_fd, STDOUT_FILENO) ||
      !redirect(options.stderr_fd, STDERR_FILENO))
    ::_exit(options.exec_failure_status);
  if (options.inherited_fd > STDERR_FILENO && ::fcntl(options.inherited_fd, F_SETFD, 0) != 0)
    ::_exit(options.exec_failure_status);
  if (options.only_these_fds) close_other_fds(options.inherited_fd, fd_limit);
  if (options.raise_file_size_limit && !raise_file_size_limit())
    ::_exit(options.exec_failure_status);
  ::execv(program, args.data());
  ::_exit(options.exec_failure_status);
}

child_end wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return {child_end::kind::no_status, errno};
  }
  return end_of(status);
}

child_end wait_child_polling(pid_t pid, int interval_ms, const std::function<bool()>& tick) {
  // A pidfd becomes readable when the child ends, so the wait ends at once
  // rather than at the next interval; without one (older kernels) a sleep
  // does the same job less promptly.
  unique_fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return end_of(status);
    if (ended < 0 && errno != EINTR) return {child_end::kind::no_status, errno};
    if (!tick()) return {child_end::kind::running, 0};
    if (pidfd) {
      pollfd p{pidfd.get(), POLLIN, 0};
      ::poll(&p, 1, interval_ms);
    } else {
      const timespec pause{interval_ms / 1000, (interval_ms % 1000) * 1000000L};
      ::nanosleep(&pause, nullptr);
    }
  }
}

namespace {

using steady = std::chrono::steady_clock;

// Milliseconds left until deadline, at least 0 and at most INT_MAX.
int ms_left(steady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// Reads fd line by line into read_line until its end, until read_line wants
// no more, or until deadline.
void read_lines_until(int fd, steady::time_point deadline, const line_reader& read_line) {
  std::string pending;
  size_t scanned = 0;  // pending holds no newline before this
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, ms_left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!pending.empty()) read_line(pending);
      return;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', scanned)) != std::string::npos; scanned = nl + 1) {
      if (!read_line(pending.substr(start, nl + 1 - start))) return;
      start = nl + 1;
    }
    pending.erase(0, start);
    scanned = pending.size();
  }
}

}  // namespace

limited_end run_limited(const char* program, const std::vector<std::string>& argv,
                        spawn_options options, int64_t limit_ms, const line_reader& read_line,
                        bool merge_errors) {
  limited_end result;
  unique_fd read_end;
  unique_fd write_end;
  if (read_line) {
    if (!open_pipe(&read_end, &write_end)) {
      result.start_errno = errno;
      return result;
    }
    options.stdout_fd = write_end.get();
    if (merge_errors) options.stderr_fd = write_end.get();
  }
  const steady::time_point deadline = steady::now() + std::chrono::milliseconds(limit_ms);
  const pid_t pid = spawn_child(program, argv, options);
  if (pid < 0) {
    result.start_errno = errno;
    return result;
  }
  result.started = true;
  write_end.reset();
  if (read_line) read_lines_until(read_end.get(), deadline, read_line);
  read_end.reset();
  constexpr int kPollMs = 100;
  result.end = wait_child_polling(pid, kPollMs, [&] { return ms_left(deadline) > 0; });
  if (result.end.how == child_end::kind::running) {
    ::kill(pid, SIGKILL);
    result.timed_out = true;
    result.end = wait_child(pid);
  }
  return result;
}

bool open_pipe(unique_fd* read_end, unique_fd* write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end->reset(fds[0]);
  write_end->reset(fds[1]);
  return true;
}

bool write_all(int fd, const char* buf, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}
