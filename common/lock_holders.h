// Who really holds a lock: the processes that have the locked file open,
// found through /proc/*/fd, rather than a process id written into the file
// (which names a run long gone, or whatever its writer chose).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

struct lock_holder {
  enum class kind {
    vexor_run,  // a run of vexor (its command name is "vexor")
    burn,       // a flash utility's burn, whose vexor run has ended
    other,      // any other process
  };
  kind what = kind::other;
  pid_t pid = 0;
  std::string name;     // its command name (/proc/PID/comm)
  std::string address;  // burn: the adapter its command line names after "-d"
};

// The process, other than this one, that holds the file with identity
// dev/ino open, as the holder of a lock on it. Of several, one whose parent
// does not hold it too (a run and the burn it started both do: the run is
// named), the lowest process id first. A process whose command line ends
// with the burn's "b" and names an adapter after "-d" is a burn. nullopt when
// no other process has the file open.
std::optional<lock_holder> find_lock_holder(dev_t dev, ino_t ino);

// The refusal that names holder: "another vexor run (pid N) is using the
// adapters", "the flash utility's burn of ADDRESS (pid N, NAME), left running
// by a vexor run that has ended, is using the adapters", or "another process
// (pid N, NAME) is using the adapters".
std::string holder_text(const lock_holder& holder);
