// Helpers of the tests that drive the build tree's packaging tools (cmake,
// cpack, dpkg, lintian) and the programs they ship: shell commands, packing
// and listings of file trees; scratch directories and file readers are the
// shared ones of tests/fixtures.h and tests/builders.h.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace shiptest {

using testhost::file_text;
using testhost::quoted;
using testhost::ScratchDir;

struct Shell {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;  // standard output and standard error
};

// Runs command through /bin/sh with standard error joined to standard output.
inline Shell shell(const std::string& command) {
  struct PipeClose {
    void operator()(FILE* f) const { pclose(f); }
  };
  Shell r;
  std::unique_ptr<FILE, PipeClose> pipe(popen((command + " 2>&1").c_str(), "r"));
  if (!pipe) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) r.out.append(buf, n);
  int ws = pclose(pipe.release());
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return r;
}

// One "type mode path" line per entry below root (type d, f, l or ?; mode in
// octal; path relative to root), sorted.
inline std::vector<std::string> tree_of(const std::filesystem::path& root) {
  std::set<std::string> lines;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st;
    if (::lstat(e.path().c_str(), &st) != 0) continue;
    char type = S_ISDIR(st.st_mode)   ? 'd'
                : S_ISREG(st.st_mode) ? 'f'
                : S_ISLNK(st.st_mode) ? 'l'
                                      : '?';
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    lines.insert(std::string(1, type) + " " + mode + " " +
                 std::filesystem::relative(e.path(), root).string());
  }
  return {lines.begin(), lines.end()};
}

// Packs the build tree with the cpack generator (the configured default when
// empty) into out_dir. Returns the one file there whose name ends in suffix,
// or an empty path when there is not exactly one.
inline std::filesystem::path pack(const std::string& generator,
                                  const std::filesystem::path& out_dir, const std::string& suffix) {
  Shell r = shell("cpack " + (generator.empty() ? "" : "-G " + generator) + " --config " +
                  quoted(std::string(VEXOR_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
                  quoted(out_dir.string()));
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::filesystem::path> made;
  for (const auto& e : std::filesystem::directory_iterator(out_dir))
    if (e.path().string().ends_with(suffix)) made.push_back(e.path());
  EXPECT_EQ(made.size(), 1u) << r.out;
  return made.size() == 1 ? made.front() : std::filesystem::path();
}

inline std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace shiptest
