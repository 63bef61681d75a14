// Saving a text at a path so that whatever the path leads to holds either
// what it held before or the whole new text, never a part of it, and so that
// the files the caller names are never replaced. The module neither prints
// nor logs: it says which step failed and the errno, and the caller words
// the message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What a save must leave alone, and what its temporary file is called.
struct save_rules {
  // Files that are never written: the target is refused when it is one of
  // them (the same inode, however it is reached; for a name that does not
  // exist yet, the same name in the same directory once links are
  // followed). Only a regular file or a name not yet taken is compared: a
  // device or FIFO that is also one of these loses nothing when written to.
  std::vector<std::string> files;
  // Directories in which nothing is saved.
  std::vector<std::string> directories;
  // The temporary file beside the target: this prefix and six characters
  // that make it unique.
  std::string temp_prefix = ".save-";
};

// How a save ended.
struct save_result {
  enum class step {
    done,          // the text is saved
    following,     // following the path's links (file: the path)
    refused,       // the target is one the rules or its kind forbid (why)
    opening,       // opening a device or FIFO for writing
    creating,      // creating the temporary file
    owning,        // giving the temporary file the old file's owner
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
    guarded_file,       // it is rules.files[rule]
    guarded_directory,  // it lies in rules.directories[rule]
  };

  step at = step::done;
  int err = 0;       // the errno of the failed step
  std::string file;  // what the failed step acted on; empty for a descriptor
  int fd = -1;       // the descriptor the failed step acted on, or -1
  refusal why = refusal::none;
  size_t rule = 0;  // the index into the rules' list that refused

  bool saved() const { return at == step::done; }
};

// Saves text at path, whose links are followed first: a link to a name not
// yet taken leads to that name, a link to a descriptor of this process
// (/dev/stdout, /dev/fd/N) to the descriptor. A regular file (or a name not
// yet taken) is replaced through a temporary file in the same directory,
// written, synced and read back before it is renamed over it, so the old
// file stays whole until the new one is; an existing file's owner and
// permission bits carry over, a new file gets the mode a plain open would
// give it. An open descriptor is written at its offset, a device or FIFO
// opened and written; nothing is truncated or renamed there. Refused, with
// nothing written: a directory, a block device, a socket, a file of
// rules.files and a name in rules.directories. No temporary file is left
// behind, whatever the outcome.
save_result save_text(const std::string& path, std::string_view text, const save_rules& rules);
