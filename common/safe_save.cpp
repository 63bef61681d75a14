#include "common/safe_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "common/child_process.h"
#include "common/owners.h"

namespace {

using step = save_result::step;
using refusal = save_result::refusal;

// What a path leads to once its links are followed: an open descriptor of
// this process (/dev/stdout, /dev/fd/N, /proc/self/fd/N), or a name in a
// directory, which may not exist yet. Paths stay as reachable from the
// working directory, never made absolute: the working directory may have no
// name that leads back to it (a mount can cover it).
struct save_target {
  bool descriptor = false;
  int fd = -1;
  std::string dir;  // the directory, as given or as the links lead
  struct stat dir_st {};
  std::string name;  // empty when the path itself names a directory
  bool exists = false;
  struct stat st {};  // of the file (or the descriptor's file) when it exists

  std::string path() const {
    if (name.empty()) return dir;
    return dir == "/" ? "/" + name : dir + "/" + name;
  }
};

// A save that failed at a step, which acted on file, with errno err. The
// file is taken by reference: no copy is made before errno is read.
save_result failed(step at, const std::string& file, int err) {
  save_result result;
  result.at = at;
  result.file = file;
  result.err = err;
  return result;
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---------------------------------------------------------------------------
// Following the path
// ---------------------------------------------------------------------------

// True when dir is this process's descriptor directory, /proc/self/fd.
bool is_descriptor_dir(const struct stat& dir) {
  for (const char* fds : {"/proc/self/fd", "/proc/thread-self/fd"}) {
    struct stat st;
    if (stat(fds, &st) == 0 && same_inode(st, dir)) return true;
  }
  return false;
}

bool is_number(const std::string& text) {
  return !text.empty() && text.size() < 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Takes the descriptor fd as the target. False, with *err set, when it is
// not open.
bool descriptor_target(int fd, save_target* target, int* err) {
  *target = save_target{};
  target->descriptor = true;
  target->fd = fd;
  target->exists = fstat(fd, &target->st) == 0;
  if (!target->exists) *err = errno;
  return target->exists;
}

// Follows the links of path to what is to be written. Each step looks at the
// directory first, so a descriptor link is recognised however it is reached;
// its target is the descriptor, never the name the kernel shows for it. A
// link to a name that does not exist leads to that name (it is created).
// False, with *err set, when a directory on the way is missing or unusable
// or the links go round.
bool follow_path(const std::string& path, save_target* target, int* err) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    const size_t slash = current.rfind('/');
    *target = save_target{};
    target->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : current.substr(0, slash);
    target->name = slash == std::string::npos ? current : current.substr(slash + 1);
    if (target->name.empty() || target->name == "." || target->name == "..") {
      // The path names a directory outright ("dir/", "dir/..").
      target->dir = current;
      target->name.clear();
    }
    if (stat(target->dir.c_str(), &target->dir_st) != 0) {
      *err = errno;
      return false;
    }
    if (is_number(target->name) && is_descriptor_dir(target->dir_st)) {
      return descriptor_target(std::stoi(target->name), target, err);
    }
    if (lstat(target->path().c_str(), &target->st) != 0) {
      *err = errno;
      return errno == ENOENT;
    }
    target->exists = true;
    if (!S_ISLNK(target->st.st_mode)) return true;
    std::error_code ec;
    const std::string link = std::filesystem::read_symlink(target->path(), ec).string();
    if (ec) {
      *err = ec.value();
      return false;
    }
    current = !link.empty() && link[0] == '/' ? link : target->dir + "/" + link;
  }
  *err = ELOOP;
  return false;
}

// ---------------------------------------------------------------------------
// What is refused
// ---------------------------------------------------------------------------

// True when the file at path is target: the same file when both exist,
// else the same name in the same directory once links are followed.
bool same_file(const std::string& path, const save_target& target) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return target.exists && same_inode(st, target.st);
  save_target other;
  int err = 0;
  return !target.exists && !target.descriptor && follow_path(path, &other, &err) && !other.exists &&
         !other.descriptor && same_inode(other.dir_st, target.dir_st) && other.name == target.name;
}

// Why text may not be saved to target, with *rule the index into the
// rules' list that forbids it; refusal::none when it may.
refusal refusal_of(const save_target& target, const save_rules& rules, size_t* rule) {
  if (target.exists) {
    const mode_t type = target.st.st_mode & S_IFMT;
    if (type == S_IFDIR) return refusal::directory;
    // A block device is a disk: never a place for a saved text.
    if (type == S_IFBLK) return refusal::block_device;
    if (type == S_IFSOCK) return refusal::socket;
  }
  if (!target.exists || S_ISREG(target.st.st_mode)) {
    for (*rule = 0; *rule < rules.files.size(); ++*rule) {
      if (same_file(rules.files[*rule], target)) return refusal::guarded_file;
    }
  }
  for (*rule = 0; !target.descriptor && *rule < rules.directories.size(); ++*rule) {
    struct stat dir;
    if (stat(rules.directories[*rule].c_str(), &dir) == 0 && same_inode(dir, target.dir_st)) {
      return refusal::guarded_directory;
    }
  }
  *rule = 0;
  return refusal::none;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// Writes text to what is not a regular file: an open descriptor as it
// stands (at its offset; nothing is truncated or renamed), or a device, FIFO
// or terminal opened for writing.
save_result write_through(const save_target& target, std::string_view text) {
  unique_fd opened;
  int fd = target.fd;
  std::string file;
  if (target.descriptor) {
    // What this process printed before comes first.
    std::fflush(stdout);
    std::fflush(stderr);
  } else {
    file = target.path();
    opened.reset(open(file.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!opened) return failed(step::opening, file, errno);
    fd = opened.get();
  }
  auto failed_at = [&](step at) {
    save_result result = failed(at, file, errno);
    if (file.empty()) result.fd = fd;
    return result;
  };
  if (!write_all(fd, text.data(), text.size())) return failed_at(step::writing);
  if (opened && opened.close() != 0) return failed_at(step::closing);
  return save_result{};
}

// Permissions a newly created file gets, as if it were opened for writing
// the plain way; the temporary file starts out private.
mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// 0 when the file behind fd holds exactly text, else an errno value.
int reads_back(int fd, std::string_view text) {
  std::string back(text.size() + 1, '\0');
  size_t got = 0;
  while (got < back.size()) {
    const ssize_t n = pread(fd, back.data() + got, back.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return got == text.size() && back.compare(0, got, text) == 0 ? 0 : EIO;
}

// Gives the temporary file fd the owner and permission bits of the file it
// replaces, or a new file's mode. The step that failed (errno set), or
// step::done.
step take_owner_and_mode(int fd, const save_target& target) {
  if (!target.exists) return fchmod(fd, new_file_mode()) == 0 ? step::done : step::moding;
  // The owner first: changing it clears the set-id bits.
  if (fchown(fd, target.st.st_uid, target.st.st_gid) != 0) return step::owning;
  if (fchmod(fd, target.st.st_mode & 07777) != 0) return step::moding;
  return step::done;
}

// Replaces the regular file target (or creates it) with text: a temporary
// file in its own directory, written, synced and read back, is renamed over
// it, so the old file stays whole until the new one is.
save_result replace_file(const save_target& target, std::string_view text,
                         const std::string& temp_prefix) {
  std::string temp = target.dir + "/" + temp_prefix + "XXXXXX";
  unique_fd out = create_temp_file(&temp);
  if (!out) return failed(step::creating, temp, errno);
  // From here on a failure leaves no temporary file behind.
  temp_file_guard remove_temp(temp);

  if (const step at = take_owner_and_mode(out.get(), target); at != step::done) {
    return failed(at, temp, errno);
  }
  if (!write_all(out.get(), text.data(), text.size())) return failed(step::writing, temp, errno);
  if (fsync(out.get()) != 0) return failed(step::syncing, temp, errno);
  if (const int err = reads_back(out.get(), text)) return failed(step::reading_back, temp, err);
  if (out.close() != 0) return failed(step::closing, temp, errno);
  if (rename(temp.c_str(), target.path().c_str()) != 0) {
    return failed(step::renaming, temp, errno);
  }
  remove_temp.keep();

  // Makes the rename itself durable; a failure here loses nothing that the
  // file system has not already accepted.
  unique_fd dir(open(target.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
  return save_result{};
}

}  // namespace

save_result save_text(const std::string& path, std::string_view text, const save_rules& rules) {
  save_target target;
  int err = 0;
  if (!follow_path(path, &target, &err)) return failed(step::following, path, err);
  save_result refused;
  refused.why = refusal_of(target, rules, &refused.rule);
  if (refused.why != refusal::none) {
    refused.at = step::refused;
    refused.file = target.descriptor ? std::string() : target.path();
    refused.fd = target.descriptor ? target.fd : -1;
    return refused;
  }
  if (target.descriptor || (target.exists && !S_ISREG(target.st.st_mode))) {
    return write_through(target, text);
  }
  return replace_file(target, text, rules.temp_prefix);
}
