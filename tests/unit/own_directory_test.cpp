// Where vexor works: its executable's directory, whatever directory it was
// started from; a report named by the caller stays in the caller's directory;
// children get the fixed PATH.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/own_directory.h"
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
  const std::string path = caller_path("sub/r.xml");
  EXPECT_EQ(path.rfind("/proc/self/fd/", 0), 0u) << path;
  EXPECT_EQ(testhost::file_text(path), "the caller's report");
  // A name not there yet is made there too.
  std::ofstream(caller_path("new.xml")) << "written";
  EXPECT_EQ(testhost::file_text(scratch.path() / "new.xml"), "written");
}

struct UnchangedCase {
  const char* name;
  const char* path;
};

class CallerPathUnchanged : public ::testing::TestWithParam<UnchangedCase> {};

TEST_P(CallerPathUnchanged, WhereTheNameMeansTheSameFromBothDirectories) {
  const char* path = GetParam().path;
  EXPECT_EQ(caller_path(path), path) << "before entering";
  {
    FromStart entered(kOwn);  // started in its own directory
    ASSERT_EQ(entered.failed(), "");
    EXPECT_EQ(caller_path(path), path) << "started in the component directory";
  }
  testhost::ScratchDir scratch;
  FromStart entered(scratch.path());
  const bool relative = path[0] != '\0' && path[0] != '/';
  EXPECT_EQ(caller_path(path) == path, !relative) << "started elsewhere";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CallerPathUnchanged,
    ::testing::Values(UnchangedCase{"relative", "r.xml"}, UnchangedCase{"absolute", "/tmp/r.xml"},
                      UnchangedCase{"standard_input", "/dev/stdin"}, UnchangedCase{"empty", ""}),
    [](const auto& info) { return std::string(info.param.name); });

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
