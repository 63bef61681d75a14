// Files of root's that vexor only ever appends to (its history of burns, the
// system's reboot-required files): opened without following a link and
// checked on the descriptor before anything is read or written, so that
// nobody but their owner can make vexor write elsewhere or read what they
// planted. The module neither prints nor logs: it says what failed and the
// errno, and the caller words the message.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/owners.h"

// What open_appended found.
struct appended_file {
  unique_fd fd;                   // open for reading and appending; invalid on failure
  int err = 0;                    // the errno of the failure
  const char* refusal = nullptr;  // why a file that opened is not used, null when it is
  bool created = false;           // this call made the file

  explicit operator bool() const { return static_cast<bool>(fd); }
};

// Opens path (a link is never followed; a FIFO never blocks the open) for
// reading and appending, creating it with mode when create is set and it is
// missing. Refused, with the reason in refusal and the descriptor closed:
// anything but a regular file, a file owned by another user than this
// process's, one that its group or others may write, one with a second
// name (hard link). A missing file without create fails with ENOENT.
appended_file open_appended(const std::string& path, mode_t mode, bool create);

// Appends text to fd with one write (a file opened with O_APPEND gets it as
// one piece) and syncs the file to disk. False, with errno set, when not all
// of it was written or the sync failed.
bool append_synced(int fd, std::string_view text);

// Syncs the directory that holds path, so that a file just created there
// stays after a crash. False, with errno set, when that fails.
bool sync_directory_of(const std::string& path);

// Everything fd holds from its start. False, with errno set, on a read error.
bool read_whole(int fd, std::string* text);
