#include "common/safe_save.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <thread>

#include "common/child_process.h"

namespace {

using step = save_result::step;
using refusal = save_result::refusal;
using steady = std::chrono::steady_clock;

// The kernel follows at most 40 links in one lookup; so does the walk.
constexpr int kMaxLinks = 40;
// How often an open of a FIFO without a reader is tried again.
constexpr std::chrono::milliseconds kRetryEvery{20};

// A step that failed, which acted on file, with errno err. The file is
// taken by reference: no copy is made before errno is read.
save_result failed(step at, const std::string& file, int err) {
  save_result result;
  result.at = at;
  result.file = file;
  result.err = err;
  return result;
}

// A refusal of file, whose status is st.
save_result refused(refusal why, const std::string& file, const struct stat& st) {
  save_result result;
  result.at = step::refused;
  result.why = why;
  result.file = file;
  result.owner = st.st_uid;
  result.group = st.st_gid;
  result.mode = st.st_mode & 07777;
  return result;
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------

// A directory the walk has opened and checked.
struct walked_dir {
  unique_fd fd;  // opened with O_PATH: usable for lookups whatever its mode
  struct stat st {};
  bool procfs = false;  // its links are the kernel's own
  std::string shown;    // the path walked to it: "" (the starting directory) or ending in '/'

  // How messages name it.
  std::string name() const {
    if (shown.empty()) return ".";
    return shown.size() > 1 ? shown.substr(0, shown.size() - 1) : shown;
  }
};

// Where a path leads: a name in a walked directory, or a descriptor of this
// process.
struct place {
  walked_dir dir;
  std::string name;         // empty when the path names the directory itself
  bool descriptor = false;  // fd is one of this process's descriptors
  int fd = -1;
  bool exists = false;
  struct stat st {};  // of the name, not followed (a link was), or of the descriptor

  std::string shown() const { return name.empty() ? dir.name() : dir.shown + name; }
  // The name for an *at call on dir.
  const char* at_name() const { return name.empty() ? "." : name.c_str(); }
};

// The walk in progress: the directory reached and the names still to go.
struct walk_state {
  walked_dir dir;
  std::deque<std::string> rest;
  int links = 0;
  uid_t user = 0;
  std::string path;  // as given: what a failure names
};

// The names of a path, in order; "a//b/" gives "a", "", "b", "". A leading
// '/' is left out: the walk then starts at the root.
std::deque<std::string> names_of(const std::string& path) {
  std::deque<std::string> names;
  size_t begin = !path.empty() && path[0] == '/' ? 1 : 0;
  for (;;) {
    const size_t slash = path.find('/', begin);
    names.push_back(path.substr(begin, slash == std::string::npos ? slash : slash - begin));
    if (slash == std::string::npos) return names;
    begin = slash + 1;
  }
}

bool is_number(const std::string& text) {
  return !text.empty() && text.size() < 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// True when dir is this process's descriptor directory, /proc/self/fd.
bool is_descriptor_dir(const struct stat& dir) {
  for (const char* fds : {"/proc/self/fd", "/proc/thread-self/fd"}) {
    struct stat st;
    if (stat(fds, &st) == 0 && same_inode(st, dir)) return true;
  }
  return false;
}

// Makes the opened directory fd, reached as shown, the walk's directory:
// false, with *failure set, when it is no directory or others can change it.
bool enter(walk_state& w, unique_fd fd, std::string shown, save_result* failure) {
  walked_dir dir;
  dir.fd = std::move(fd);
  dir.shown = std::move(shown);
  struct statfs fs;
  if (fstat(dir.fd.get(), &dir.st) != 0 || fstatfs(dir.fd.get(), &fs) != 0) {
    *failure = failed(step::following, w.path, errno);
    return false;
  }
  if (!S_ISDIR(dir.st.st_mode)) {
    *failure = failed(step::following, w.path, ENOTDIR);
    return false;
  }
  if (!directory_is_safe(dir.st, w.user)) {
    *failure = refused(refusal::shared_directory, dir.name(), dir.st);
    return false;
  }
  dir.procfs = fs.f_type == PROC_SUPER_MAGIC;
  w.dir = std::move(dir);
  return true;
}

// Starts the walk at the root or at base_dir.
bool start(walk_state& w, int base_dir, bool at_root, save_result* failure) {
  unique_fd fd(at_root ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                       : openat(base_dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    *failure = failed(step::following, w.path, errno);
    return false;
  }
  return enter(w, std::move(fd), at_root ? "/" : "", failure);
}

// The target of the link opened (O_PATH) as fd. False, with errno set, when
// it cannot be read.
bool read_link(int fd, std::string* target) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlinkat(fd, "", buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      *target = buf.substr(0, static_cast<size_t>(n));
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

// Follows the link name (opened as fd, status st) of the walk's directory by
// putting its target's names before the rest; an absolute target starts
// again at the root.
bool follow_link(walk_state& w, const unique_fd& fd, const struct stat& st, const std::string& name,
                 save_result* failure) {
  if (++w.links > kMaxLinks) {
    *failure = failed(step::following, w.path, ELOOP);
    return false;
  }
  if (!link_may_be_followed(w.dir.st, st, w.user)) {
    *failure = refused(refusal::foreign_link, w.dir.shown + name, st);
    return false;
  }
  std::string target;
  if (!read_link(fd.get(), &target)) {
    *failure = failed(step::following, w.path, errno);
    return false;
  }
  if (target.empty()) {
    *failure = failed(step::following, w.path, ENOENT);
    return false;
  }
  std::deque<std::string> names = names_of(target);
  w.rest.insert(w.rest.begin(), names.begin(), names.end());
  return target[0] != '/' || start(w, AT_FDCWD, true, failure);
}

// Opens name of the walk's directory without following it. False, with
// *failure set, when it cannot be; *fd stays empty for a name not taken.
bool look_at(walk_state& w, const std::string& name, unique_fd* fd, struct stat* st,
             save_result* failure) {
  fd->reset(openat(w.dir.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (*fd && fstat(fd->get(), st) == 0) return true;
  const int err = errno;
  fd->reset();
  if (err == ENOENT) return true;
  *failure = failed(step::following, w.path, err);
  return false;
}

// Goes from the walk's directory into its directory name, following a link.
bool step_into(walk_state& w, const std::string& name, save_result* failure) {
  unique_fd fd;
  struct stat st;
  if (!look_at(w, name, &fd, &st, failure)) return false;
  if (!fd) {
    *failure = failed(step::following, w.path, ENOENT);
    return false;
  }
  if (S_ISLNK(st.st_mode) && !w.dir.procfs) return follow_link(w, fd, st, name, failure);
  if (S_ISLNK(st.st_mode)) {
    // /proc/self, /proc/self/fd/N: the kernel leads there even when no path
    // names the place any more.
    if (++w.links > kMaxLinks) {
      *failure = failed(step::following, w.path, ELOOP);
      return false;
    }
    fd.reset(openat(w.dir.fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
      *failure = failed(step::following, w.path, errno);
      return false;
    }
  }
  return enter(w, std::move(fd), w.dir.shown + name + "/", failure);
}

enum class outcome { arrived, go_on, failed };

// The last name of the path: a descriptor of this process, a name not taken,
// something that is there, or a link whose target's names come next.
outcome last_name(walk_state& w, const std::string& name, place* out, save_result* failure) {
  if (is_number(name) && is_descriptor_dir(w.dir.st)) {
    out->descriptor = true;
    out->fd = std::stoi(name);
    if (fstat(out->fd, &out->st) != 0) {
      *failure = failed(step::following, w.path, errno);
      return outcome::failed;
    }
    out->exists = true;
  } else {
    unique_fd fd;
    if (!look_at(w, name, &fd, &out->st, failure)) return outcome::failed;
    if (fd && S_ISLNK(out->st.st_mode)) {
      return follow_link(w, fd, out->st, name, failure) ? outcome::go_on : outcome::failed;
    }
    out->exists = static_cast<bool>(fd);
  }
  out->name = name;
  out->dir = std::move(w.dir);
  return outcome::arrived;
}

// Walks path from base_dir (from the root when it is absolute) to the place
// it leads to. False, with *failure set, when it cannot or may not.
bool walk(int base_dir, const std::string& path, place* out, save_result* failure) {
  walk_state w;
  w.user = geteuid();
  w.path = path;
  if (path.empty()) {
    *failure = failed(step::following, path, ENOENT);
    return false;
  }
  if (!start(w, base_dir, path[0] == '/', failure)) return false;
  w.rest = names_of(path);
  while (!w.rest.empty()) {
    const std::string name = std::move(w.rest.front());
    w.rest.pop_front();
    if (name.empty() || name == ".") continue;
    if (name != ".." && w.rest.empty()) {
      const outcome next = last_name(w, name, out, failure);
      if (next == outcome::go_on) continue;
      return next == outcome::arrived;
    }
    if (!step_into(w, name, failure)) return false;
  }
  // The path names a directory ("dir/", "..", "/").
  out->exists = true;
  out->st = w.dir.st;
  out->dir = std::move(w.dir);
  return true;
}

// ---------------------------------------------------------------------------
// Opening what the walk found
// ---------------------------------------------------------------------------

// Opens the place p (with access O_RDONLY or O_WRONLY) without following a
// link and without blocking; for writing, a FIFO without a reader is tried
// again until deadline. The opened file must be the one the walk saw.
save_result open_placed(const place& p, int access, steady::time_point deadline, unique_fd* out,
                        struct stat* st) {
  const int flags = access | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  for (;;) {
    out->reset(openat(p.dir.fd.get(), p.at_name(), flags));
    if (*out) break;
    if (errno == EINTR) continue;
    if (errno != ENXIO || !S_ISFIFO(p.st.st_mode)) return failed(step::opening, p.shown(), errno);
    if (steady::now() >= deadline) return failed(step::waiting, p.shown(), ETIMEDOUT);
    std::this_thread::sleep_for(kRetryEvery);
  }
  if (fstat(out->get(), st) != 0) return failed(step::opening, p.shown(), errno);
  if (!same_inode(*st, p.st)) return refused(refusal::replaced, p.shown(), *st);
  return save_result{};
}

// Waits until a writer of the FIFO fd has written or gone, at most until
// deadline.
save_result wait_for_writer(int fd, const std::string& shown, steady::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now());
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (n > 0) return save_result{};
    if (n == 0) return failed(step::waiting, shown, ETIMEDOUT);
    if (errno != EINTR) return failed(step::waiting, shown, errno);
  }
}

// Makes reads and writes of fd block again.
bool set_blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens the place p to read, refused unless root or this process's user
// owns what was opened and no one else may write it; a FIFO waits for a
// writer until deadline.
save_result open_trusted(const place& p, steady::time_point deadline, unique_fd* fd) {
  if (!p.exists) return failed(step::opening, p.shown(), ENOENT);
  struct stat st;
  save_result result = open_placed(p, O_RDONLY, deadline, fd, &st);
  if (!result.saved()) return result;
  if (const refusal why = file_trust(st, geteuid()); why != refusal::none) {
    return refused(why, p.shown(), st);
  }
  return S_ISFIFO(st.st_mode) ? wait_for_writer(fd->get(), p.shown(), deadline) : result;
}

// ---------------------------------------------------------------------------
// What a save refuses
// ---------------------------------------------------------------------------

// True when the file at path (from the working directory) is p: the same
// file when both exist, else the same name in the same directory once links
// are followed.
bool same_file(const std::string& path, const place& p) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return p.exists && same_inode(st, p.st);
  if (p.exists || p.descriptor) return false;
  place other;
  save_result ignored;
  return walk(AT_FDCWD, path, &other, &ignored) && !other.exists && !other.descriptor &&
         same_inode(other.dir.st, p.dir.st) && other.name == p.name;
}

// Why text may not be saved at p, with *rule the index into the rules'
// list that forbids it; refusal::none when it may.
refusal refusal_of(const place& p, const save_rules& rules, size_t* rule) {
  if (p.exists) {
    const mode_t type = p.st.st_mode & S_IFMT;
    if (type == S_IFDIR) return refusal::directory;
    // A block device is a disk: never a place for a saved text.
    if (type == S_IFBLK) return refusal::block_device;
    if (type == S_IFSOCK) return refusal::socket;
  }
  if (!p.exists || S_ISREG(p.st.st_mode)) {
    for (*rule = 0; *rule < rules.files.size(); ++*rule) {
      if (same_file(rules.files[*rule], p)) return refusal::guarded_file;
    }
  }
  for (*rule = 0; !p.descriptor && *rule < rules.directories.size(); ++*rule) {
    struct stat dir;
    if (stat(rules.directories[*rule].c_str(), &dir) == 0 && same_inode(dir, p.dir.st)) {
      return refusal::guarded_directory;
    }
  }
  *rule = 0;
  return refusal::none;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// Writes text through this process's descriptor as it stands: at its
// offset, nothing truncated or renamed, after what this process printed.
save_result write_descriptor(const place& p, std::string_view text) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (write_all(p.fd, text.data(), text.size())) return save_result{};
  save_result result = failed(step::writing, std::string(), errno);
  result.fd = p.fd;
  return result;
}

// Writes text to a character device or FIFO, opened for writing.
save_result write_device(const place& p, std::string_view text, const save_rules& rules) {
  unique_fd out;
  struct stat st;
  save_result opened = open_placed(p, O_WRONLY, steady::now() + rules.other_end_wait, &out, &st);
  if (!opened.saved()) return opened;
  if (!set_blocking(out.get())) return failed(step::opening, p.shown(), errno);
  if (!write_all(out.get(), text.data(), text.size())) {
    return failed(step::writing, p.shown(), errno);
  }
  if (out.close() != 0) return failed(step::closing, p.shown(), errno);
  return save_result{};
}

// Permissions a newly created file gets, as if it were opened for writing
// the plain way.
mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The permission bits of the file that replaces p: its own (a new file's),
// less group and other write, the set-id bits and the sticky bit.
mode_t replacement_mode(const place& p) {
  const mode_t bits = p.exists ? p.st.st_mode & 0777 : new_file_mode();
  return bits & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
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

// Replaces the regular file p (or creates it) with text: a temporary file in
// the walked directory, written, synced and read back, is renamed over it,
// so the old file stays whole until the new one is.
save_result replace_file(const place& p, std::string_view text, const std::string& temp_prefix) {
  const int dir = p.dir.fd.get();
  std::string temp = temp_prefix + "XXXXXX";
  unique_fd out = create_temp_file_at(dir, &temp);
  const std::string shown = p.dir.shown + temp;
  if (!out) return failed(step::creating, shown, errno);
  // From here on a failure leaves no temporary file behind.
  temp_file_guard remove_temp(dir, temp);

  if (fchmod(out.get(), replacement_mode(p)) != 0) return failed(step::moding, shown, errno);
  if (!write_all(out.get(), text.data(), text.size())) return failed(step::writing, shown, errno);
  if (fsync(out.get()) != 0) return failed(step::syncing, shown, errno);
  if (const int err = reads_back(out.get(), text)) return failed(step::reading_back, shown, err);
  if (out.close() != 0) return failed(step::closing, shown, errno);
  if (renameat(dir, temp.c_str(), dir, p.name.c_str()) != 0) {
    return failed(step::renaming, shown, errno);
  }
  remove_temp.keep();

  // Makes the rename itself durable; a failure here loses nothing that the
  // file system has not already accepted.
  unique_fd synced(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (synced) fsync(synced.get());
  return save_result{};
}

}  // namespace

bool directory_is_safe(const struct stat& dir, uid_t user) {
  if (dir.st_uid != 0 && dir.st_uid != user) return false;
  return (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (dir.st_mode & S_ISVTX) != 0;
}

bool link_may_be_followed(const struct stat& dir, const struct stat& link, uid_t user) {
  const bool shared_sticky = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & (S_IWGRP | S_IWOTH));
  return !shared_sticky || link.st_uid == user || link.st_uid == dir.st_uid;
}

save_result::refusal file_trust(const struct stat& file, uid_t user) {
  if (file.st_uid != 0 && file.st_uid != user) return refusal::foreign_owner;
  if (file.st_mode & (S_IWGRP | S_IWOTH)) return refusal::writable_by_others;
  return refusal::none;
}

save_result save_text_at(int base_dir, const std::string& path, std::string_view text,
                         const save_rules& rules) {
  place p;
  save_result result;
  if (!walk(base_dir, path, &p, &result)) return result;
  result.why = refusal_of(p, rules, &result.rule);
  if (result.why != refusal::none) {
    result.at = step::refused;
    result.file = p.descriptor ? std::string() : p.shown();
    result.fd = p.descriptor ? p.fd : -1;
    return result;
  }
  if (p.descriptor) return write_descriptor(p, text);
  if (p.exists && !S_ISREG(p.st.st_mode)) return write_device(p, text, rules);
  return replace_file(p, text, rules.temp_prefix);
}

save_result save_text(const std::string& path, std::string_view text, const save_rules& rules) {
  return save_text_at(AT_FDCWD, path, text, rules);
}

save_result open_to_read_at(int base_dir, const std::string& path,
                            std::chrono::milliseconds other_end_wait, unique_fd* fd) {
  const steady::time_point deadline = steady::now() + other_end_wait;
  place p;
  save_result result;
  if (!walk(base_dir, path, &p, &result)) return result;
  if (p.descriptor) {
    // The kernel follows the link to the descriptor's file; the caller
    // opened it, and vouches for it.
    fd->reset(openat(p.dir.fd.get(), p.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!*fd) return failed(step::opening, path, errno);
  } else {
    result = open_trusted(p, deadline, fd);
    if (!result.saved()) {
      fd->reset();
      return result;
    }
  }
  if (!set_blocking(fd->get())) {
    fd->reset();
    return failed(step::opening, path, errno);
  }
  return save_result{};
}
