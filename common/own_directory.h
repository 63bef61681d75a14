// Where vexor works: in its own component directory, the directory its
// executable lies in, whatever directory it was started from. Everything it
// runs and reads there (./nic_fw/pyxflash, ./getqrvninfo, the catalog, the
// images) and the event log are named relative to it, so a directory another
// user prepared (cd /tmp && /opt/vexor/vexor) must never stand in for it. A
// report named on the command line is still the caller's: it is taken
// relative to the directory the caller started vexor in.
#pragma once

#include <string>

// The PATH every child of vexor gets, whatever the caller's was: the shell
// lines that vexor runs name grep, awk, ls and the like by name.
inline constexpr const char* kChildPath = "/usr/sbin:/usr/bin:/sbin:/bin";

// Keeps a descriptor of the working directory (O_PATH, close-on-exec), then
// makes the directory of /proc/self/exe the working directory. Returns "" on
// success, otherwise what failed (the directory's path and the error text);
// the working directory is then unchanged. Calling it again forgets the
// directory kept before.
std::string enter_own_directory();

// The directory a relative path named by the caller starts from: the
// descriptor kept of the directory the caller started vexor in, or AT_FDCWD
// when enter_own_directory() has not run or the caller started vexor in the
// component directory. Used with the *at() calls, it resolves a name the way
// the caller meant it, and messages can still name the path as the caller
// wrote it.
int caller_directory_fd();

// Sets PATH to kChildPath for every child vexor starts from now on (the
// shell of popen and system included). False, with errno set, when the
// environment cannot be changed.
bool use_child_path();

// Closes the descriptor kept by enter_own_directory(); caller_directory_fd()
// is then AT_FDCWD. For tests that run several modes in one
// process.
void forget_caller_directory();
