#include "common/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// Writes "pid\n" over the start of the file first and cuts off what is left
// of a longer earlier id after, so that a reader always finds one whole id
// up to the first newline, the old or the new.
void record_holder(int fd) {
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()))
    (void)::ftruncate(fd, static_cast<off_t>(text.size()));
}

pid_t read_holder_once(int fd) {
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(buf, &end, 10);
  return (end != buf && *end == '\n' && pid > 0) ? static_cast<pid_t>(pid) : 0;
}

// The holder writes its id right after it has taken the lock; a file still
// empty then is given a few moments to get it.
pid_t read_holder(int fd) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (const pid_t pid = read_holder_once(fd)) return pid;
    ::usleep(10000);
  }
  return 0;
}

}  // namespace

file_lock lock_file(const std::string& path, bool exclusive) {
  file_lock lock;
  lock.fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.fd) {
    lock.err = errno;
    return lock;
  }
  int rc;
  while ((rc = ::flock(lock.fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB)) != 0 &&
         errno == EINTR) {
  }
  if (rc == 0) {
    lock.how = file_lock::kind::held;
    record_holder(lock.fd.get());
    return lock;
  }
  if (errno == EWOULDBLOCK) {
    lock.how = file_lock::kind::busy;
    lock.holder = read_holder(lock.fd.get());
  } else {
    lock.err = errno;
  }
  lock.fd.reset();
  return lock;
}
