// Files that decide what root does: the programs vexor runs as root and the
// files it reads to choose what to burn. Each must be owned by root and
// writable by no one else, and so must every directory on the way to it,
// or another user could change or replace it between two runs (as sudo
// treats its own files). The checks look at what was opened (fstat on the
// descriptor), never at a name looked up a second time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// What check_trusted_file found.
struct trust_check {
  enum class kind {
    trusted,    // the file and every directory on the way are the owner's alone
    missing,    // a name on the way does not exist (or is no directory); the
                // directories before it are the owner's alone
    untrusted,  // why says which file or directory, and who else can write it
  };
  kind how = kind::untrusted;
  std::string why;
};

// Walks path one name at a time, from the working directory when it is
// relative (the working directory itself included) or from / when it is
// absolute, opening each name without following links (O_PATH|O_NOFOLLOW)
// and checking it with fstat: every directory on the way and the file
// itself must be owned by owner and writable by neither group nor others. A
// symbolic link is followed by walking its target the same way (at most 40
// links); ".." is walked like any other directory. A name in why is the path
// as walked ("nic_fw", "nic_fw/pyxflash", "/usr/bin"), the working directory
// by its absolute name.
trust_check check_trusted_file(const std::string& path, uid_t owner = 0);

// Who besides owner can write the file st describes: "owned by uid 4242, not
// by root (uid 0)", "writable by every user" or "writable by group staff
// (gid 50)" (an id without a name as "uid N", "gid N"); "" when no one.
std::string other_writers(const struct stat& st, uid_t owner = 0);
