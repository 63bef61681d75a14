// The run lock: which second holder the first one lets in, the directory it
// makes, and every place it refuses to lock: a link, a file or directory that
// someone else owns or can write, a file with a second name.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "common/run_lock.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;

struct PairCase {
  const char* name;
  bool first_exclusive;
  bool second_exclusive;
  file_lock::kind second;
};

class RunLockPair : public ::testing::TestWithParam<PairCase> {};

TEST_P(RunLockPair, SecondHolderIsLetInOnlyBesideAnotherSharedOne) {
  const PairCase& c = GetParam();
  testhost::ScratchDir dir;
  const std::string path = (dir.path() / "vexor/vexor.lock").string();
  // Locks of two descriptors conflict even within one process, just as
  // those of two runs do.
  file_lock first = lock_file(path, c.first_exclusive, ::getuid());
  ASSERT_EQ(first.how, file_lock::kind::held) << first.why;
  EXPECT_TRUE(::fcntl(first.fd.get(), F_GETFD) & FD_CLOEXEC);
  const file_lock second = lock_file(path, c.second_exclusive, ::getuid());
  EXPECT_EQ(second.how, c.second);
  // Both name the same file, by which its holders are found.
  EXPECT_EQ(second.ino, first.ino);
  EXPECT_EQ(second.dev, first.dev);
  EXPECT_EQ(static_cast<bool>(second.fd), c.second == file_lock::kind::held);

  first.fd.reset();
  EXPECT_EQ(lock_file(path, true, ::getuid()).how,
            c.second == file_lock::kind::held ? file_lock::kind::busy  // the second still holds it
                                              : file_lock::kind::held);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, RunLockPair,
    ::testing::Values(PairCase{"exclusive_then_exclusive", true, true, file_lock::kind::busy},
                      PairCase{"exclusive_then_shared", true, false, file_lock::kind::busy},
                      PairCase{"shared_then_exclusive", false, true, file_lock::kind::busy},
                      PairCase{"shared_then_shared", false, false, file_lock::kind::held}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunLock, MakesItsDirectoryForItsOwnerAloneAndLeavesTheFileEmpty) {
  testhost::ScratchDir dir;
  const fs::path lock_dir = dir.path() / "vexor";
  const file_lock lock = lock_file((lock_dir / "vexor.lock").string(), true, ::getuid());
  ASSERT_EQ(lock.how, file_lock::kind::held) << lock.why;
  struct stat st;
  ASSERT_EQ(::stat(lock_dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((lock_dir / "vexor.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(st.st_size, 0);
}

// A lock directory or file made wrong before the run, by a hand or a program
// other than vexor's.
struct RefusalCase {
  const char* name;
  std::function<void(const fs::path& dir)> lay_out;  // dir: the lock's directory
  uid_t owner_offset;                                // added to this user's id
  const char* why;                                   // how what follows the path at fault begins
  const char* at_fault;                              // "dir" or "file"
};

class RunLockRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RunLockRefusal, NothingIsLockedCreatedOrWritten) {
  const RefusalCase& c = GetParam();
  testhost::ScratchDir scratch;
  const fs::path dir = scratch.path() / "vexor", elsewhere = scratch.path() / "elsewhere";
  fs::create_directory(elsewhere);
  std::ofstream(elsewhere / "precious") << "precious\n";
  c.lay_out(dir);
  const fs::path path = dir / "vexor.lock";
  const file_lock lock = lock_file(path.string(), true, ::getuid() + c.owner_offset);
  EXPECT_EQ(lock.how, file_lock::kind::unavailable);
  EXPECT_FALSE(lock.fd);
  const std::string at_fault = std::string(c.at_fault) == "dir" ? dir.string() : path.string();
  const std::string expected = at_fault + c.why;
  EXPECT_EQ(lock.why.substr(0, expected.size()), expected) << lock.why;
  EXPECT_EQ(testhost::file_text(elsewhere / "precious"), "precious\n");
  EXPECT_FALSE(fs::exists(elsewhere / "vexor.lock"));
}

void own_directory(const fs::path& dir) {
  fs::create_directory(dir);
  ::chmod(dir.c_str(), 0700);
}

INSTANTIATE_TEST_SUITE_P(
    Places, RunLockRefusal,
    ::testing::Values(
        RefusalCase{"directory_is_a_link",
                    [](const fs::path& dir) { fs::create_directory_symlink("elsewhere", dir); }, 0,
                    " is a symbolic link, not a directory", "dir"},
        RefusalCase{"directory_writable_by_its_group",
                    [](const fs::path& dir) {
                      fs::create_directory(dir);
                      ::chmod(dir.c_str(), 0770);
                    },
                    0, " is writable by ", "dir"},
        RefusalCase{"directory_of_another_user", own_directory, 1, " is owned by ", "dir"},
        RefusalCase{"file_is_a_link",
                    [](const fs::path& dir) {
                      own_directory(dir);
                      fs::create_symlink("../elsewhere/precious", dir / "vexor.lock");
                    },
                    0, " is a symbolic link", "file"},
        RefusalCase{"link_to_a_missing_file",
                    [](const fs::path& dir) {
                      own_directory(dir);
                      fs::create_symlink("../elsewhere/vexor.lock", dir / "vexor.lock");
                    },
                    0, " is a symbolic link", "file"},
        RefusalCase{"file_with_a_second_name",
                    [](const fs::path& dir) {
                      own_directory(dir);
                      fs::create_hard_link(dir.parent_path() / "elsewhere/precious",
                                           dir / "vexor.lock");
                    },
                    0, " has 2 links, not one", "file"},
        RefusalCase{"file_is_a_directory",
                    [](const fs::path& dir) { fs::create_directories(dir / "vexor.lock"); }, 0,
                    ": Is a directory", "file"},
        RefusalCase{"file_is_a_fifo",
                    [](const fs::path& dir) {
                      own_directory(dir);
                      ::mkfifo((dir / "vexor.lock").c_str(), 0600);
                    },
                    0, " is not a regular file", "file"},
        RefusalCase{"file_writable_by_its_group",
                    [](const fs::path& dir) {
                      own_directory(dir);
                      std::ofstream(dir / "vexor.lock");
                      ::chmod((dir / "vexor.lock").c_str(), 0660);
                    },
                    0, " is writable by ", "file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunLock, MissingParentIsUnavailableWithItsError) {
  testhost::ScratchDir dir;
  const fs::path lock_dir = dir.path() / "no-such-dir/vexor";
  const file_lock lock = lock_file((lock_dir / "vexor.lock").string(), true, ::getuid());
  EXPECT_EQ(lock.how, file_lock::kind::unavailable);
  EXPECT_EQ(lock.why, lock_dir.string() + ": No such file or directory");
}

}  // namespace
