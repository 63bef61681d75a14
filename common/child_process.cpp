#include "common/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// In the child: makes fd the descriptor target. dup2 onto itself would
// leave close-on-exec set, so that case only clears the flag.
bool redirect(int fd, int target) {
  if (fd < 0) return true;
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) == target;
}

}  // namespace

pid_t spawn_child(const char* program, const std::vector<std::string>& argv,
                  const spawn_options& options) {
  // Everything the child needs is made before the fork: between fork and
  // exec it only calls what is safe there.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid != 0) {
    // Also in the parent, so that the group exists whichever runs first.
    if (pid > 0 && options.new_process_group) ::setpgid(pid, pid);
    return pid;
  }
  if (options.new_process_group && ::setpgid(0, 0) != 0) ::_exit(options.exec_failure_status);
  if (!redirect(options.stdout_fd, STDOUT_FILENO) || !redirect(options.stderr_fd, STDERR_FILENO))
    ::_exit(options.exec_failure_status);
  ::execv(program, args.data());
  ::_exit(options.exec_failure_status);
}

child_end wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return {child_end::kind::no_status, errno};
  }
  if (WIFEXITED(status)) return {child_end::kind::exited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {child_end::kind::signalled, WTERMSIG(status)};
  return {child_end::kind::no_status, 0};
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
