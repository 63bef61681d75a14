// Where vexor works: its executable's directory, whatever directory it was
// started from; a report named by the caller stays in the caller's directory;
// children get the fixed PATH.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/own_directory.h"
#include "common/owners.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;

const fs::path kOwn = fs::read_symlink("/proc/self/exe").parent_path();

// Enters the own directory from start, and leaves both the working
// directory and the kept descriptor as they were.
class FromStart {
 public:
  explicit FromStart(const fs::path& start) : working_(start) { failed_ = enter_own_directory(); }
  ~FromStart() { forget_caller_directory(); }
  const std::string& failed() const { return failed_; }

 private:
  testhost::WorkingDir working_;
  std::string failed_;
};

TEST(OwnDirectory, StartedElsewhereItWorksInItsExecutablesDirectory) {
  testhost::ScratchDir scratch;
  FromStart entered(scratch.path());
  ASSERT_EQ(entered.failed(), "");
  EXPECT_TRUE(fs::equivalent(fs::current_path(), kOwn)) << fs::current_path();
}

TEST(OwnDirectory, ReportNamedRelativelyIsTheCallersFile) {
  testhost::ScratchDir scratch;
  fs::create_directory(scratch.path() / "sub");
  std::ofstream(scratch.path() / "sub" / "r.xml") << "the caller's report";
  FromStart entered(scratch.path());
  ASSERT_EQ(entered.failed(), "");
  const int base = caller_directory_fd();
  ASSERT_NE(base, AT_FDCWD);
  unique_fd read(::openat(base, "sub/r.xml", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(read) << std::strerror(errno);
  EXPECT_EQ(testhost::file_text("/proc/self/fd/" + std::to_string(read.get())),
            "the caller's report");
  // A name not there yet is made there too, not in the working directory.
  unique_fd made(::openat(base, "new.xml", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  ASSERT_TRUE(made) << std::strerror(errno);
  EXPECT_TRUE(fs::exists(scratch.path() / "new.xml"));
  EXPECT_FALSE(fs::exists(kOwn / "new.xml"));
}

// Where the caller's names and the component directory's coincide, they
// are resolved from the working directory.
TEST(OwnDirectory, CallerDirectoryIsTheWorkingOneUnlessStartedElsewhere) {
  EXPECT_EQ(caller_directory_fd(), AT_FDCWD) << "before entering";
  {
    FromStart entered(kOwn);
    ASSERT_EQ(entered.failed(), "");
    EXPECT_EQ(caller_directory_fd(), AT_FDCWD) << "started in the component directory";
  }
  EXPECT_EQ(caller_directory_fd(), AT_FDCWD) << "after forgetting";
}

TEST(OwnDirectory, ChildrenGetTheFixedPath) {
  const char* before = std::getenv("PATH");
  const std::optional<std::string> saved =
      before ? std::optional<std::string>(before) : std::nullopt;
  ::setenv("PATH", "/tmp/planted:/usr/bin", 1);
  ASSERT_TRUE(use_child_path());
  testhost::ScratchDir scratch;
  const std::string seen = (scratch.path() / "path").string();
  ASSERT_EQ(std::system(("echo \"$PATH\" > " + seen).c_str()), 0);
  EXPECT_EQ(testhost::file_text(seen), std::string(kChildPath) + "\n");
  if (saved) ::setenv("PATH", saved->c_str(), 1);
  else ::unsetenv("PATH");
}

}  // namespace
