#include "common/trusted_files.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "common/owners.h"

namespace {

constexpr int kMaxLinks = 40;

std::string user_text(uid_t uid) {
  const passwd* pw = ::getpwuid(uid);
  const std::string id = "uid " + std::to_string(uid);
  return pw != nullptr ? std::string(pw->pw_name) + " (" + id + ")" : id;
}

std::string group_text(gid_t gid) {
  const group* gr = ::getgrgid(gid);
  const std::string id = "gid " + std::to_string(gid);
  return gr != nullptr ? "group " + std::string(gr->gr_name) + " (" + id + ")" : id;
}

// The names of path, without empty ones and ".", in order.
std::vector<std::string> names_of(const std::string& path) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") names.push_back(name);
    start = end + 1;
  }
  return names;
}

std::string joined(const std::string& shown, const std::string& name) {
  if (shown.empty()) return name;
  return shown == "/" ? "/" + name : shown + "/" + name;
}

trust_check verdict(trust_check::kind how, std::string why = {}) { return {how, std::move(why)}; }

// A walk from one directory to the file, checking each name on the way.
class trust_walk {
 public:
  trust_walk(const std::string& path, uid_t owner) : owner_(owner) {
    for (const std::string& name : names_of(path)) names_.push_back(name);
  }

  // Starts at / or at the working directory, which must pass as well. The
  // working directory is the process's own reference to it (AT_FDCWD), not
  // a name looked up again.
  std::optional<trust_check> start(bool from_root) {
    dir_.reset(from_root ? ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    if (from_root) {
      shown_ = "/";
    } else {
      char cwd[PATH_MAX];
      shown_ = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    }
    struct stat st;
    if ((from_root && !dir_) || ::fstatat(dir(), ".", &st, 0) != 0) return failed(shown_, errno);
    const std::string who = other_writers(st, owner_);
    if (!who.empty()) return verdict(trust_check::kind::untrusted, shown_ + " is " + who);
    // Past the start, names are shown as walked from it.
    if (!from_root) shown_.clear();
    return std::nullopt;
  }

  trust_check run() {
    while (!names_.empty()) {
      const std::string name = names_.front();
      names_.pop_front();
      if (std::optional<trust_check> end = step(name)) return *end;
    }
    return verdict(trust_check::kind::trusted);
  }

 private:
  static trust_check failed(const std::string& where, int err) {
    if (err == ENOENT || err == ENOTDIR) return verdict(trust_check::kind::missing);
    return verdict(trust_check::kind::untrusted, where + ": " + std::strerror(err));
  }

  // Walks one name: a verdict when the walk ends there.
  std::optional<trust_check> step(const std::string& name) {
    const std::string here = joined(shown_, name);
    unique_fd next(::openat(dir(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!next || ::fstat(next.get(), &st) != 0) return failed(here, errno);
    if (S_ISLNK(st.st_mode)) return follow(name, here);
    const std::string who = other_writers(st, owner_);
    if (!who.empty()) return verdict(trust_check::kind::untrusted, here + " is " + who);
    if (names_.empty()) return verdict(trust_check::kind::trusted);
    if (!S_ISDIR(st.st_mode)) return verdict(trust_check::kind::missing);
    dir_ = std::move(next);
    shown_ = here;
    return std::nullopt;
  }

  // Puts the target of the link name in place of it; an absolute one
  // starts the walk again at /.
  std::optional<trust_check> follow(const std::string& name, const std::string& here) {
    if (++links_ > kMaxLinks) return failed(here, ELOOP);
    std::vector<char> target(PATH_MAX);
    const ssize_t n = ::readlinkat(dir(), name.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size())
      return failed(here, n < 0 ? errno : ENAMETOOLONG);
    const std::string text(target.data(), static_cast<size_t>(n));
    const std::vector<std::string> names = names_of(text);
    names_.insert(names_.begin(), names.begin(), names.end());
    if (text[0] == '/') return start(true);
    return std::nullopt;
  }

  int dir() const { return dir_ ? dir_.get() : AT_FDCWD; }

  uid_t owner_;
  std::deque<std::string> names_;
  unique_fd dir_;  // none: the working directory
  std::string shown_;
  int links_ = 0;
};

}  // namespace

trust_check check_trusted_file(const std::string& path, uid_t owner) {
  if (path.empty()) return verdict(trust_check::kind::missing);
  trust_walk walk(path, owner);
  if (std::optional<trust_check> end = walk.start(path[0] == '/')) return *end;
  return walk.run();
}

std::string other_writers(const struct stat& st, uid_t owner) {
  if (st.st_uid != owner)
    return "owned by " + user_text(st.st_uid) + ", not by " + user_text(owner);
  if (st.st_mode & S_IWOTH) return "writable by every user";
  if (st.st_mode & S_IWGRP) return "writable by " + group_text(st.st_gid);
  return {};
}
