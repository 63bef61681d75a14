#include "common/appended_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Why the file behind fd may not be used, null when it may.
const char* refusal_of(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "it cannot be examined";
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  if (st.st_uid != ::geteuid()) return "another user owns it";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "its group or others may write it";
  if (st.st_nlink != 1) return "it has more than one name (a hard link)";
  return nullptr;
}

}  // namespace

appended_file open_appended(const std::string& path, mode_t mode, bool create) {
  constexpr int kFlags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  appended_file file;
  file.fd.reset(::open(path.c_str(), kFlags));
  if (!file.fd && errno == ENOENT && create) {
    // Exclusive: a name that appears meanwhile is opened as found, not made.
    file.fd.reset(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, mode));
    if (file.fd) {
      file.created = true;
      // The umask is the caller's; the mode is the one asked for.
      (void)::fchmod(file.fd.get(), mode);
    } else if (errno == EEXIST) {
      file.fd.reset(::open(path.c_str(), kFlags));
    }
  }
  if (!file.fd) {
    file.err = errno;
    return file;
  }
  file.refusal = refusal_of(file.fd.get());
  if (file.refusal != nullptr) file.fd.reset();
  // Reads and writes of a regular file never wait; a descriptor that would
  // is refused above.
  return file;
}

bool append_synced(int fd, std::string_view text) {
  ssize_t n;
  while ((n = ::write(fd, text.data(), text.size())) < 0 && errno == EINTR) {
  }
  if (n < 0) return false;
  if (static_cast<size_t>(n) != text.size()) {
    errno = ENOSPC;
    return false;
  }
  return ::fsync(fd) == 0;
}

bool sync_directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  unique_fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return d && ::fsync(d.get()) == 0;
}

bool read_whole(int fd, std::string* text) {
  text->clear();
  char buf[8192];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buf, static_cast<size_t>(n));
    at += n;
  }
}
