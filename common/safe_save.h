// Saving a text at a path, and opening a path to read what decides a root
// run, so that no other local user can steer either: the path is walked one
// component at a time from an opened directory, every check is made on what
// was opened, and the final write or rename happens in the directory the
// walk opened, with no second lookup of the path in between. A save leaves
// whatever the path leads to holding either what it held before or the whole
// new text, never a part of it, and never replaces a file the caller names.
// The module neither prints nor logs: it says which step failed or why the
// path was refused, and the caller words the message.
//
// The walk goes only where another user cannot lead it:
// - through directories that only root and the running user can change
//   (owned by one of them; writable by group or others only with the sticky
//   bit), from the starting directory down;
// - along a symbolic link only where the kernel would follow it for root
//   with fs.protected_symlinks on, whatever that setting is here: never a
//   link that another user owns in a sticky directory others can write
//   (unless that user owns the directory too);
// - links of /proc are the kernel's own and are followed by it, so that
//   /proc/self/fd/N reaches the descriptor's file even where no path names
//   it any more.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/owners.h"

// How long an open of a FIFO waits for a process at its other end (a reader
// for a save, a writer for a read) before it gives up.
inline constexpr std::chrono::milliseconds kOtherEndWait{3000};

// What a save must leave alone, and what its temporary file is called. The
// paths are looked up from the working directory.
struct save_rules {
  // Files that are never written: the target is refused when it is one of
  // them (the same device and inode as what the walk found, however it is
  // reached; for a name that does not exist yet, the same name in the same
  // directory once links are followed). Only a regular file or a name not
  // yet taken is compared: a device or FIFO that is also one of these loses
  // nothing when written to.
  std::vector<std::string> files;
  // Directories in which nothing is saved (compared by device and inode).
  std::vector<std::string> directories;
  // The temporary file beside the target: this prefix and six characters
  // that make it unique.
  std::string temp_prefix = ".save-";
  // How long to wait for a reader of a FIFO.
  std::chrono::milliseconds other_end_wait = kOtherEndWait;
};

// How a save, or an open to read, ended.
struct save_result {
  enum class step {
    done,          // the text is saved (the file is open)
    following,     // walking the path (file: the path)
    refused,       // the target is one the rules, its kind or its owners forbid (why)
    opening,       // opening a device, FIFO or file
    waiting,       // waiting for the FIFO's other end (err ETIMEDOUT)
    creating,      // creating the temporary file
    moding,        // giving the temporary file its permission bits
    writing,       // writing the text (to the target or the temporary file)
    syncing,       // syncing the temporary file
    reading_back,  // reading the temporary file back (err EIO: it differs)
    closing,       // closing what was written
    renaming,      // renaming the temporary file over the target
  };
  enum class refusal {
    none,
    directory,
    block_device,
    socket,
    guarded_file,        // it is rules.files[rule]
    guarded_directory,   // it lies in rules.directories[rule]
    shared_directory,    // the walk met a directory (file) that others can change
    foreign_link,        // the walk met a link (file) of another user in a shared sticky directory
    foreign_owner,       // read: the file is owned by neither root nor the running user
    writable_by_others,  // read: the file's group or others may write it
    replaced,            // the name led elsewhere when it was opened than when it was looked at
  };

  step at = step::done;
  int err = 0;       // the errno of the failed step
  std::string file;  // what the failed or refused step acted on; empty for a descriptor
  int fd = -1;       // the descriptor the failed step acted on, or -1
  refusal why = refusal::none;
  size_t rule = 0;  // the index into the rules' list that refused
  // Of what was refused for who owns or may write it (shared_directory,
  // foreign_link, foreign_owner, writable_by_others).
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;

  bool saved() const { return at == step::done; }
};

// The walk's rules, for the user whose run it is (geteuid()).
// True when only root and user can change the directory dir: it is owned by
// one of them, and its group or others may write it only with the sticky bit.
bool directory_is_safe(const struct stat& dir, uid_t user);
// True when user may follow the link link found in the directory dir: dir is
// not a sticky directory that group or others may write, or the link is
// user's or the directory owner's.
bool link_may_be_followed(const struct stat& dir, const struct stat& link, uid_t user);
// Why the file file may not decide what user's run does (refusal::none when
// it may): it must be owned by root or user and writable by no one else.
save_result::refusal file_trust(const struct stat& file, uid_t user);

// Saves text at path, which starts from the directory base_dir (a
// descriptor, or AT_FDCWD) unless it is absolute. A link to a name not yet
// taken leads to that name, a link to a descriptor of this process
// (/dev/stdout, /dev/fd/N) to the descriptor. A regular file (or a name not
// yet taken) is replaced through a temporary file in the same directory,
// written, synced and read back before it is renamed over it, so the old
// file stays whole until the new one is. The new file is this process's:
// owned by its user, with the old file's permission bits (a new file: what a
// plain open would give it), less group and other write and the set-id and
// sticky bits. An open descriptor is written at its offset, a device or FIFO
// opened (a FIFO waits for a reader at most rules.other_end_wait) and
// written; nothing is truncated or renamed there. Refused, with nothing
// written: what the walk may not pass, a directory, a block device, a
// socket, a file of rules.files and a name in rules.directories. No
// temporary file is left behind, whatever the outcome.
save_result save_text_at(int base_dir, const std::string& path, std::string_view text,
                         const save_rules& rules);
// save_text_at from the working directory.
save_result save_text(const std::string& path, std::string_view text, const save_rules& rules);

// Opens path (from base_dir, as save_text_at) for reading into *fd, blocking
// reads. A descriptor of this process (/dev/stdin) is opened anew and taken
// as it is. Any other file is opened without following a last link the walk
// has not checked, and refused unless root or this process's user owns it and
// no one else may write it; a FIFO waits for a writer at most
// other_end_wait.
save_result open_to_read_at(int base_dir, const std::string& path,
                            std::chrono::milliseconds other_end_wait, unique_fd* fd);
