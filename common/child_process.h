// Running a program as a child process without a shell: start it with the
// descriptors its output goes to, then wait for it separately, so that the
// caller can read a pipe, follow a file or do nothing while it runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/owners.h"

// How spawn_child sets up the child.
struct spawn_options {
  int stdin_fd = -1;               // becomes the child's standard input; -1 keeps the parent's
  int stdout_fd = -1;              // becomes the child's standard output; -1 keeps the parent's
  int stderr_fd = -1;              // becomes its standard error; -1 keeps the parent's
  int inherited_fd = -1;           // a close-on-exec descriptor (above 2) the program keeps
  bool only_these_fds = false;     // every other descriptor above 2 is closed, inherited ones too
  bool new_process_group = false;  // the child leads a process group of its own
  int exec_failure_status = 127;   // the child's exit status when program cannot be run
};

// Starts program directly (no shell) with argv, whose first element is the
// program's own name. Standard output and error are flushed first, so that
// what was printed comes before anything the child writes. Descriptors the
// parent holds without close-on-exec are inherited. Returns the child's pid,
// or -1 with errno set when no child could be made. A child that cannot set
// up its descriptors or execute program ends with exec_failure_status.
pid_t spawn_child(const char* program, const std::vector<std::string>& argv,
                  const spawn_options& options);

// How a child ended.
struct child_end {
  enum class kind {
    exited,     // value is the exit status
    signalled,  // value is the signal that ended it
    no_status,  // nothing could be learnt (value is waitpid's errno)
  };
  kind how = kind::no_status;
  int value = 0;
};

// Waits for child pid to end, retrying when a signal interrupts the wait.
child_end wait_child(pid_t pid);

// Waits for child pid to end and, while it runs, calls tick about every
// interval_ms milliseconds and at once after a signal has interrupted the
// wait. tick is not called once the child is seen to have ended.
child_end wait_child_polling(pid_t pid, int interval_ms, const std::function<void()>& tick);

// Opens a pipe with both ends close-on-exec. False, with errno set, when it
// cannot.
bool open_pipe(unique_fd* read_end, unique_fd* write_end);

// Writes all len bytes of buf to fd, retrying when interrupted. False, with
// errno set, on an error (ENOSPC when the descriptor takes nothing).
bool write_all(int fd, const char* buf, size_t len);
