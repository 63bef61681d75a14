// Running a program as a child process without a shell: start it with the
// descriptors its output goes to, then wait for it separately, so that the
// caller can read a pipe, follow a file or do nothing while it runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
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
  // The soft limit on the size of the files the child writes is raised to
  // the hard one: a low limit that vexor's caller set must not cut short
  // what the child writes (SIGXFSZ).
  bool raise_file_size_limit = false;
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
    running,    // still running: the caller stopped waiting for it
  };
  kind how = kind::no_status;
  int value = 0;
};

// Waits for child pid to end, retrying when a signal interrupts the wait.
child_end wait_child(pid_t pid);

// Waits for child pid to end and, while it runs, calls tick about every
// interval_ms milliseconds and at once after a signal has interrupted the
// wait. tick is not called once the child is seen to have ended. When tick
// returns false the wait is given up: the child is left running, and the
// result says so (kind::running).
child_end wait_child_polling(pid_t pid, int interval_ms, const std::function<bool()>& tick);

// Takes a child's output line by line: each line with its newline (the last
// one perhaps without). Returns false when no more is wanted.
using line_reader = std::function<bool(const std::string& line)>;

// How a child run with a time limit ended.
struct limited_end {
  bool started = false;    // a child process existed
  int start_errno = 0;     // why none could be made
  bool timed_out = false;  // it had not ended at the limit and was killed
  child_end end;           // how it ended (SIGKILL after a time-out)
};

// Runs program with argv as spawn_child does and waits for it at most
// limit_ms milliseconds; a child still running then is killed (SIGKILL)
// and reaped. With read_line, the child's standard output, and also its
// standard error when merge_errors is set, go into a pipe that is read line
// by line until its end, until read_line wants no more, or until the limit;
// then the pipe is closed, so that a child still writing gets EPIPE and
// ends rather than blocking.
limited_end run_limited(const char* program, const std::vector<std::string>& argv,
                        spawn_options options, int64_t limit_ms,
                        const line_reader& read_line = nullptr, bool merge_errors = false);

// Opens a pipe with both ends close-on-exec. False, with errno set, when it
// cannot.
bool open_pipe(unique_fd* read_end, unique_fd* write_end);

// Writes all len bytes of buf to fd, retrying when interrupted. False, with
// errno set, on an error (ENOSPC when the descriptor takes nothing).
bool write_all(int fd, const char* buf, size_t len);
