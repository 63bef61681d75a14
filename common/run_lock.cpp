#include "common/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/trusted_files.h"

namespace {

file_lock unavailable(const std::string& where, const std::string& what) {
  file_lock lock;
  lock.why = where + what;
  return lock;
}

file_lock unavailable_errno(const std::string& where, int err) {
  return unavailable(where, std::string(": ") + std::strerror(err));
}

// Opens the lock's directory, making it first when it is missing, and
// checks what was opened: a link or a directory that another user owns or
// can write is never used.
unique_fd open_lock_directory(const std::string& dir, uid_t owner, file_lock* refused) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *refused = unavailable_errno(dir, errno);
    return unique_fd();
  }
  unique_fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    // A link in its place fails as no directory: said as what it is (the
    // name is looked at again only for the message).
    const int err = errno;
    struct stat link;
    *refused = ::lstat(dir.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                   ? unavailable(dir, " is a symbolic link, not a directory")
                   : unavailable_errno(dir, err);
    return unique_fd();
  }
  const std::string who = other_writers(st, owner);
  if (!who.empty()) {
    *refused = unavailable(dir, " is " + who);
    return unique_fd();
  }
  return fd;
}

// Checks the opened lock file: the owner's own regular file, with no other
// name that could lead to it.
std::string lock_file_fault(int fd, uid_t owner, struct stat* st) {
  if (::fstat(fd, st) != 0) return std::string(": ") + std::strerror(errno);
  if (!S_ISREG(st->st_mode)) return " is not a regular file";
  if (st->st_nlink != 1) return " has " + std::to_string(st->st_nlink) + " links, not one";
  const std::string who = other_writers(*st, owner);
  return who.empty() ? std::string() : " is " + who;
}

}  // namespace

file_lock lock_file(const std::string& path, bool exclusive, uid_t owner) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  file_lock refused;
  const unique_fd dir_fd = open_lock_directory(dir, owner, &refused);
  if (!dir_fd) return refused;

  file_lock lock;
  // Without waiting for a writer, should a FIFO stand there.
  lock.fd.reset(::openat(dir_fd.get(), name.c_str(),
                         O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!lock.fd)
    return errno == ELOOP ? unavailable(path, " is a symbolic link")
                          : unavailable_errno(path, errno);
  struct stat st;
  if (const std::string fault = lock_file_fault(lock.fd.get(), owner, &st); !fault.empty())
    return unavailable(path, fault);
  lock.dev = st.st_dev;
  lock.ino = st.st_ino;
  int rc;
  while ((rc = ::flock(lock.fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB)) != 0 &&
         errno == EINTR) {
  }
  if (rc == 0) {
    lock.how = file_lock::kind::held;
    return lock;
  }
  if (errno != EWOULDBLOCK) return unavailable_errno(path, errno);
  lock.how = file_lock::kind::busy;
  lock.fd.reset();
  return lock;
}
