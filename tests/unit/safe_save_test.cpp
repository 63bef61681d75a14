// Saving a text safely: a file is replaced only by a complete copy, the
// files the caller guards are never written however the path reaches them,
// no temporary file stays behind, and no other user can steer the path
// (the walk's rules) or make a FIFO block the run.
#include "common/safe_save.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

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
  EXPECT_EQ(st.st_mode & 0777, plain_mode() & 0755);
}

// The permission bits carry over, less what would let another user write
// the file or run it with set-id bits.
TEST_F(SafeSave, ModeCarriesOverWithoutWriteForOthersOrSetIdBits) {
  struct Case {
    mode_t before, after;
  };
  for (const Case c : {Case{0604, 0604}, Case{0600, 0600}, Case{0666, 0644}, Case{06775, 0755}}) {
    const fs::path file = dir_ / "old.xml";
    std::ofstream(file) << "old";
    ASSERT_EQ(chmod(file.c_str(), c.before), 0);
    ASSERT_TRUE(save_text(file.string(), "x", rules_).saved());
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.after) << std::oct << c.before;
  }
  const fs::path new_file = dir_ / "new.xml";
  ASSERT_TRUE(save_text(new_file.string(), "x", rules_).saved());
  struct stat st;
  ASSERT_EQ(stat(new_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, plain_mode() & 0755);
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
    ::testing::Values(
        GuardCase{"TheFileItself", "guarded/catalog.xml", refusal::guarded_file, 1},
        GuardCase{"Symlink", "link.xml", refusal::guarded_file, 1},
        GuardCase{"HardLink", "hard.xml", refusal::guarded_file, 1},
        GuardCase{"NameNotYetTaken", "log", refusal::guarded_file, 0},
        GuardCase{"DanglingSymlink", "dangling.xml", refusal::guarded_file, 0},
        GuardCase{"NameInGuardedDirectory", "guarded/new.xml", refusal::guarded_directory, 0},
        GuardCase{"NameBesideThem", "free.xml", refusal::none, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The walk's rules
// ---------------------------------------------------------------------------

constexpr uid_t kUser = 1000;   // the run's user in the rule tables
constexpr uid_t kOther = 4242;  // another local user

struct stat status(uid_t owner, mode_t mode) {
  struct stat st {};
  st.st_uid = owner;
  st.st_mode = mode;
  return st;
}

// A directory the walk passes through, and a link found in it.
struct RuleCase {
  const char* name;
  uid_t dir_owner;
  mode_t dir_mode;
  uid_t link_owner;
  bool dir_safe;      // the walk may pass through the directory
  bool link_follows;  // the walk may follow the link
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class WalkRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(WalkRule, PassesOnlyWhereNoOtherUserCanSteer) {
  const RuleCase& c = GetParam();
  const struct stat dir = status(c.dir_owner, S_IFDIR | c.dir_mode);
  EXPECT_EQ(directory_is_safe(dir, kUser), c.dir_safe);
  EXPECT_EQ(link_may_be_followed(dir, status(c.link_owner, S_IFLNK | 0777), kUser), c.link_follows);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WalkRule,
    ::testing::Values(
        RuleCase{"RootsDirectory", 0, 0755, kOther, true, true},
        RuleCase{"UsersOwnDirectory", kUser, 0700, kOther, true, true},
        RuleCase{"AnotherUsersDirectory", kOther, 0755, kOther, false, true},
        RuleCase{"GroupWritable", 0, 0775, kOther, false, true},
        RuleCase{"WorldWritable", 0, 0757, kOther, false, true},
        // /tmp: safe to pass, but another user's link in it is not followed.
        RuleCase{"StickyWorldWritableOthersLink", 0, 01777, kOther, true, false},
        RuleCase{"StickyWorldWritableUsersLink", 0, 01777, kUser, true, true},
        RuleCase{"StickyWorldWritableOwnersLink", 0, 01777, 0, true, true},
        RuleCase{"StickyGroupWritableOthersLink", 0, 01770, kOther, true, false},
        RuleCase{"StickyNotWritableOthersLink", 0, 01755, kOther, true, true},
        // The kernel follows a link its directory's owner made.
        RuleCase{"OthersStickyDirectoryOthersLink", kOther, 01777, kOther, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The walk on a real file system (another user's files need root)
// ---------------------------------------------------------------------------

// Under the scratch directory: target/r.xml holds "old"; d/ has the owner
// and mode of the row and holds r.xml ("old", ours), sub/ and the link
// "link" -> ../target/r.xml with the row's owner.
struct WalkCase {
  const char* name;
  uid_t dir_owner;  // kUser stands for the user running the test
  mode_t dir_mode;
  uid_t link_owner;
  const char* path;
  refusal why;          // refusal::none: saved and read
  const char* refused;  // what the refusal names, below the scratch directory
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class SafeSaveWalk : public SafeSave, public ::testing::WithParamInterface<WalkCase> {
 protected:
  uid_t owner(uid_t who) const { return who == kUser ? geteuid() : who; }

  void lay_out(const WalkCase& c) {
    fs::create_directories(dir_ / "target");
    fs::create_directories(dir_ / "d" / "sub");
    std::ofstream(dir_ / "target" / "r.xml") << "old";
    std::ofstream(dir_ / "d" / "r.xml") << "old";
    std::ofstream(dir_ / "d" / "sub" / "r.xml") << "old";
    fs::create_symlink("../target/r.xml", dir_ / "d" / "link");
    ASSERT_EQ(lchown((dir_ / "d" / "link").c_str(), owner(c.link_owner), owner(c.link_owner)), 0);
    ASSERT_EQ(chown((dir_ / "d").c_str(), owner(c.dir_owner), owner(c.dir_owner)), 0);
    ASSERT_EQ(chmod((dir_ / "d").c_str(), c.dir_mode), 0);
  }
};

TEST_P(SafeSaveWalk, SavesAndReadsOnlyWhereNoOtherUserCanSteer) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's files need root";
  const WalkCase& c = GetParam();
  lay_out(c);
  const std::string path = (dir_ / c.path).string();

  unique_fd in;
  const save_result read = open_to_read_at(AT_FDCWD, path, kOtherEndWait, &in);
  EXPECT_EQ(read.why, c.why);
  EXPECT_EQ(static_cast<bool>(in), c.why == refusal::none);

  const save_result saved = save_text(path, "new", rules_);
  EXPECT_EQ(saved.why, c.why);
  if (c.why == refusal::none) {
    EXPECT_TRUE(saved.saved());
    EXPECT_EQ(file_text(path), "new");
  } else {
    EXPECT_EQ(saved.at, step::refused);
    EXPECT_EQ(saved.file, (dir_ / c.refused).string());
    EXPECT_EQ(saved.owner, owner(c.why == refusal::foreign_link ? c.link_owner : c.dir_owner));
    for (const char* file : {"target/r.xml", "d/r.xml", "d/sub/r.xml"}) {
      EXPECT_EQ(file_text(dir_ / file), "old") << file;
    }
  }
  for (const fs::path& d : {dir_, dir_ / "target", dir_ / "d", dir_ / "d" / "sub"}) {
    for (const std::string& name : entries(d)) EXPECT_NE(name.rfind(".t-", 0), 0u) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SafeSaveWalk,
    ::testing::Values(
        WalkCase{"OthersLinkInStickyWorldWritable", 0, 01777, kOther, "d/link",
                 refusal::foreign_link, "d/link"},
        WalkCase{"OthersLinkInStickyGroupWritable", 0, 01770, kOther, "d/link",
                 refusal::foreign_link, "d/link"},
        WalkCase{"OwnLinkInStickyWorldWritable", 0, 01777, kUser, "d/link", refusal::none, ""},
        WalkCase{"OthersLinkInPlainDirectory", 0, 0755, kOther, "d/link", refusal::none, ""},
        WalkCase{"FileInStickyWorldWritable", 0, 01777, kOther, "d/r.xml", refusal::none, ""},
        WalkCase{"ThroughAnotherUsersDirectory", kOther, 0755, kUser, "d/sub/r.xml",
                 refusal::shared_directory, "d"},
        WalkCase{"IntoAnotherUsersDirectory", kOther, 0755, kUser, "d/r.xml",
                 refusal::shared_directory, "d"},
        WalkCase{"ThroughAGroupWritableDirectory", 0, 0775, kUser, "d/sub/r.xml",
                 refusal::shared_directory, "d"},
        WalkCase{"BackOutOfAnotherUsersDirectory", kOther, 0755, kUser, "d/../target/r.xml",
                 refusal::shared_directory, "d"}),
    [](const auto& info) { return std::string(info.param.name); });

// A relative path starts from the directory the caller gives, also when it
// is reached through /proc/self/fd; an absolute one from the root.
TEST_F(SafeSave, RelativePathStartsFromTheBaseDirectory) {
  fs::create_directories(dir_ / "base");
  fs::create_directories(dir_ / "elsewhere");
  testhost::WorkingDir in_elsewhere(dir_ / "elsewhere");
  unique_fd base(open((dir_ / "base").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(base);
  ASSERT_TRUE(save_text_at(base.get(), "a.xml", "a", rules_).saved());
  ASSERT_TRUE(
      save_text("/proc/self/fd/" + std::to_string(base.get()) + "/b.xml", "b", rules_).saved());
  ASSERT_TRUE(save_text_at(base.get(), (dir_ / "c.xml").string(), "c", rules_).saved());
  EXPECT_EQ(entries(dir_ / "base"), (std::vector<std::string>{"a.xml", "b.xml"}));
  EXPECT_TRUE(entries(dir_ / "elsewhere").empty());
  EXPECT_EQ(file_text(dir_ / "c.xml"), "c");

  unique_fd in;
  ASSERT_TRUE(open_to_read_at(base.get(), "a.xml", kOtherEndWait, &in).saved());
  char first = 0;
  EXPECT_EQ(read(in.get(), &first, 1), 1);
  EXPECT_EQ(first, 'a');
}

// A FIFO with no process at the other end ends the wait after the time
// given: no reader for a save, no writer for a read.
TEST_F(SafeSave, FifoWithoutTheOtherEndDoesNotBlock) {
  const fs::path fifo = dir_ / "p";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  rules_.other_end_wait = std::chrono::milliseconds(200);
  const auto began = std::chrono::steady_clock::now();
  const save_result saved = save_text(fifo.string(), "report", rules_);
  unique_fd in;
  const save_result read = open_to_read_at(AT_FDCWD, fifo.string(), rules_.other_end_wait, &in);
  const auto took = std::chrono::steady_clock::now() - began;

  for (const save_result& r : {saved, read}) {
    EXPECT_EQ(r.at, step::waiting);
    EXPECT_EQ(r.err, ETIMEDOUT);
    EXPECT_EQ(r.file, fifo.string());
  }
  EXPECT_FALSE(in);
  EXPECT_GE(took, std::chrono::milliseconds(400));
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"p"});
}

// With a process at the other end the text goes through the FIFO.
TEST_F(SafeSave, FifoWithTheOtherEndCarriesTheText) {
  const fs::path fifo = dir_ / "p";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = file_text(fifo); });
  EXPECT_TRUE(save_text(fifo.string(), "report", rules_).saved());
  reader.join();
  EXPECT_EQ(got, "report");

  std::thread writer([&] { std::ofstream(fifo) << "back"; });
  unique_fd in;
  EXPECT_TRUE(open_to_read_at(AT_FDCWD, fifo.string(), kOtherEndWait, &in).saved());
  std::string read_back(8, '\0');
  const ssize_t n = in ? read(in.get(), read_back.data(), read_back.size()) : -1;
  writer.join();
  EXPECT_EQ(n, 4);
  EXPECT_EQ(read_back.substr(0, 4), "back");
}

// A file the caller opened is taken as it is; the same file by its name is
// refused when others may write it.
TEST_F(SafeSave, CallersDescriptorIsReadWhateverTheFilesMode) {
  const fs::path report = dir_ / "r.xml";
  std::ofstream(report) << "report";
  ASSERT_EQ(chmod(report.c_str(), 0666), 0);
  unique_fd given(open(report.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(given);

  unique_fd in;
  EXPECT_TRUE(
      open_to_read_at(AT_FDCWD, "/dev/fd/" + std::to_string(given.get()), kOtherEndWait, &in)
          .saved());
  EXPECT_TRUE(in);
  const save_result by_name = open_to_read_at(AT_FDCWD, report.string(), kOtherEndWait, &in);
  EXPECT_EQ(by_name.at, step::refused);
  EXPECT_EQ(by_name.why, refusal::writable_by_others);
  EXPECT_EQ(by_name.mode, 0666u);
  EXPECT_FALSE(in);
}

}  // namespace
