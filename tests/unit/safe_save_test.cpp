// Saving a text safely: a file is replaced only by a complete copy, the
// files the caller guards are never written however the path reaches them,
// and no temporary file stays behind.
#include "common/safe_save.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "common/owners.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using testhost::file_text;
using refusal = save_result::refusal;
using step = save_result::step;

mode_t plain_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

class SafeSave : public ::testing::Test {
 protected:
  SafeSave() { rules_.temp_prefix = ".t-"; }

  // The names in dir, sorted.
  static std::vector<std::string> entries(const fs::path& d) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testhost::ScratchDir scratch_{"vexor-save-test"};
  const fs::path dir_ = scratch_.path();
  save_rules rules_;
};

TEST_F(SafeSave, ReplacesTheOldFileAndLeavesNothingElse) {
  const fs::path report = dir_ / "nicdiscovery.xml";
  std::ofstream(report) << "old report\n";
  ASSERT_TRUE(save_text(report.string(), "new report\n", rules_).saved());
  EXPECT_EQ(file_text(report), "new report\n");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"nicdiscovery.xml"});

  // The mode of a plainly created file, not the temporary file's 0600.
  struct stat st;
  ASSERT_EQ(stat(report.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, plain_mode());
}

TEST_F(SafeSave, OldModeCarriesOverANewFileGetsThePlainOne) {
  const fs::path old_file = dir_ / "old.xml", new_file = dir_ / "new.xml";
  std::ofstream(old_file) << "old";
  ASSERT_EQ(chmod(old_file.c_str(), 0604), 0);
  ASSERT_TRUE(save_text(old_file.string(), "x", rules_).saved());
  ASSERT_TRUE(save_text(new_file.string(), "x", rules_).saved());
  struct stat st;
  ASSERT_EQ(stat(old_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  ASSERT_EQ(stat(new_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, plain_mode());
}

TEST_F(SafeSave, FailureSaysWhereAndKeepsWhatWasThere) {
  // The directory does not exist: nothing can be created there.
  const fs::path missing = dir_ / "no-such-dir" / "report.xml";
  save_result r = save_text(missing.string(), "x", rules_);
  EXPECT_EQ(r.at, step::following);
  EXPECT_EQ(r.err, ENOENT);
  EXPECT_EQ(r.file, missing.string());

  // The name is taken by a directory: refused, and nothing is left behind.
  const fs::path taken = dir_ / "taken";
  fs::create_directories(taken / "inside");
  r = save_text(taken.string(), "x", rules_);
  EXPECT_EQ(r.at, step::refused);
  EXPECT_EQ(r.why, refusal::directory);
  EXPECT_TRUE(fs::is_directory(taken / "inside"));
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"taken"});
}

// A write that fails half-way (the file-size limit, with its signal
// ignored) keeps the old file and leaves no temporary file.
TEST_F(SafeSave, FailedWriteLeavesNoTemporaryFile) {
  const fs::path report = dir_ / "r.xml";
  std::ofstream(report) << "old";
  rlimit saved_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
  const rlimit small{1, saved_limit.rlim_max};
  sighandler_t saved_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const save_result r = save_text(report.string(), std::string(4096, 'x'), rules_);
  setrlimit(RLIMIT_FSIZE, &saved_limit);
  signal(SIGXFSZ, saved_handler);

  EXPECT_EQ(r.at, step::writing);
  EXPECT_EQ(r.err, EFBIG);
  EXPECT_EQ(r.file.rfind((dir_ / ".t-").string(), 0), 0u) << r.file;
  EXPECT_EQ(file_text(report), "old");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"r.xml"});
}

// A descriptor of this process is written as it stands: at its offset,
// with nothing truncated or renamed.
TEST_F(SafeSave, DescriptorIsWrittenWhereItStands) {
  const fs::path out = dir_ / "out";
  std::ofstream(out) << "head\n";
  unique_fd fd(open(out.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  ASSERT_TRUE(fd);
  const std::string path = "/dev/fd/" + std::to_string(fd.get());
  ASSERT_TRUE(save_text(path, "text\n", rules_).saved());
  EXPECT_EQ(file_text(out), "head\ntext\n");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"out"});
}

// However the path reaches a guarded file or directory, the save is
// refused with the rule that forbids it, and nothing is written.
struct GuardCase {
  const char* name;
  const char* path;  // below the scratch directory
  refusal why;       // refusal::none: saved
  size_t rule;
};

void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.name; }

class SafeSaveGuard : public SafeSave, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(SafeSaveGuard, RefusesWhatTheRulesGuard) {
  const GuardCase& c = GetParam();
  fs::create_directory(dir_ / "guarded");
  std::ofstream(dir_ / "guarded" / "catalog.xml") << "catalog";
  fs::create_symlink("guarded/catalog.xml", dir_ / "link.xml");
  fs::create_hard_link(dir_ / "guarded" / "catalog.xml", dir_ / "hard.xml");
  fs::create_symlink("log", dir_ / "dangling.xml");
  rules_.files = {(dir_ / "log").string(), (dir_ / "guarded" / "catalog.xml").string()};
  rules_.directories = {(dir_ / "guarded").string()};

  const save_result r = save_text((dir_ / c.path).string(), "report", rules_);
  EXPECT_EQ(r.why, c.why);
  if (c.why == refusal::none) {
    EXPECT_TRUE(r.saved());
    EXPECT_EQ(file_text(dir_ / c.path), "report");
  } else {
    EXPECT_EQ(r.at, step::refused);
    EXPECT_EQ(r.rule, c.rule);
  }
  EXPECT_EQ(file_text(dir_ / "guarded" / "catalog.xml"), "catalog");
  EXPECT_FALSE(fs::exists(dir_ / "log"));
  for (const fs::path& d : {dir_, dir_ / "guarded"}) {
    for (const std::string& name : entries(d)) EXPECT_NE(name.rfind(".t-", 0), 0u) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SafeSaveGuard,
    ::testing::Values(GuardCase{"TheFileItself", "guarded/catalog.xml", refusal::guarded_file, 1},
                      GuardCase{"Symlink", "link.xml", refusal::guarded_file, 1},
                      GuardCase{"HardLink", "hard.xml", refusal::guarded_file, 1},
                      GuardCase{"NameNotYetTaken", "log", refusal::guarded_file, 0},
                      GuardCase{"DanglingSymlink", "dangling.xml", refusal::guarded_file, 0},
                      GuardCase{"NameInGuardedDirectory", "guarded/new.xml",
                                refusal::guarded_directory, 0},
                      GuardCase{"NameBesideThem", "free.xml", refusal::none, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
