// The run lock: an advisory lock on one file that a run holds for as long
// as it may touch the adapters, so that no two runs do at the same time. The
// file lies in a directory of its own that only root can create, enter or
// replace (/run/vexor, mode 0700): no other user can take the lock, block it,
// or turn the opening of it into a write somewhere else.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/owners.h"

// What lock_file found.
struct file_lock {
  enum class kind {
    held,         // fd holds the lock
    busy,         // another open file holds it in a conflicting mode
    unavailable,  // the lock cannot be had at all (why says why)
  };
  kind how = kind::unavailable;
  unique_fd fd;     // held: the locked descriptor (close-on-exec)
  std::string why;  // unavailable: the path at fault and what is wrong with it
  dev_t dev = 0;    // held, busy: the lock file's identity, to find who
  ino_t ino = 0;    // else holds it
};

// Locks the file at path with flock without waiting: exclusive, or shared
// with other shared holders. Its directory is created (mode 0700) when
// missing; opened with O_DIRECTORY|O_NOFOLLOW, it must be a directory owned
// by owner that no one else can write. The file is opened in it with
// openat, O_NOFOLLOW and O_CLOEXEC (created mode 0600 when missing; an
// existing one is only read, so a read-only /run still locks), and must be a
// regular file owned by owner with one link. The lock lasts as long as the
// descriptor, or any copy of it in a child, stays open.
file_lock lock_file(const std::string& path, bool exclusive, uid_t owner = 0);
