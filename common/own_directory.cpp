#include "common/own_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/owners.h"

namespace {

// The directory the caller started vexor in, and whether it is the
// component directory itself.
struct caller_directory {
  unique_fd fd;
  bool is_own = false;
};
caller_directory g_caller;

bool same_directory(int a, int b) {
  struct stat sa, sb;
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string failure(const std::string& what, int err) { return what + ": " + std::strerror(err); }

}  // namespace

std::string enter_own_directory() {
  g_caller = {};
  std::error_code ec;
  // An executable replaced while it runs reads "PATH (deleted)": its
  // directory is still the one it was started from.
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return failure("/proc/self/exe", ec.value());
  const std::string own = exe.parent_path().string();
  unique_fd caller(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!caller) return failure("the directory vexor was started in", errno);
  unique_fd target(::open(own.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!target || ::fchdir(target.get()) != 0) return failure(own, errno);
  g_caller.is_own = same_directory(caller.get(), target.get());
  g_caller.fd = std::move(caller);
  return {};
}

int caller_directory_fd() { return g_caller.fd && !g_caller.is_own ? g_caller.fd.get() : AT_FDCWD; }

bool use_child_path() { return ::setenv("PATH", kChildPath, 1) == 0; }

void forget_caller_directory() { g_caller = {}; }
