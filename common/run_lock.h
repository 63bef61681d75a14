// The run lock: an advisory lock on one file that a run holds for as long
// as it may touch the adapters, so that no two runs do at the same time.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/owners.h"

// What lock_file found.
struct file_lock {
  enum class kind {
    held,         // fd holds the lock; the file names this process
    busy,         // another open file holds it in a conflicting mode
    unavailable,  // the file could not be opened or locked (err says why)
  };
  kind how = kind::unavailable;
  unique_fd fd;      // held: the locked descriptor (close-on-exec)
  int err = 0;       // unavailable: the errno
  pid_t holder = 0;  // busy: the process id the file names, 0 when it names none
};

// Opens path (created mode 0644 if missing) and locks it with flock
// without waiting: exclusive, or shared with other shared holders. When the
// lock is held, the file is rewritten to hold this process's id and a
// newline. The lock lasts as long as the descriptor, or any copy of it in a
// child, stays open.
file_lock lock_file(const std::string& path, bool exclusive);
