// The run lock: which second holder the first one lets in, the process id
// the file holds, and a lock that cannot be had at all.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "common/run_lock.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

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
  const std::string path = (dir.path() / "vexor.lock").string();
  // Locks of two descriptors conflict even within one process, just as
  // those of two runs do.
  file_lock first = lock_file(path, c.first_exclusive);
  ASSERT_EQ(first.how, file_lock::kind::held);
  EXPECT_TRUE(::fcntl(first.fd.get(), F_GETFD) & FD_CLOEXEC);
  const file_lock second = lock_file(path, c.second_exclusive);
  EXPECT_EQ(second.how, c.second);
  if (c.second == file_lock::kind::busy) {
    EXPECT_EQ(second.holder, ::getpid());
    EXPECT_FALSE(second.fd);
  }
  EXPECT_EQ(testhost::file_text(path), std::to_string(::getpid()) + "\n");

  first.fd.reset();
  EXPECT_EQ(lock_file(path, true).how,
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

TEST(RunLock, LongerEarlierIdIsReplacedWhole) {
  testhost::ScratchDir dir;
  const std::string path = (dir.path() / "vexor.lock").string();
  { std::ofstream(path) << "123456789012\n"; }
  const file_lock lock = lock_file(path, true);
  ASSERT_EQ(lock.how, file_lock::kind::held);
  EXPECT_EQ(testhost::file_text(path), std::to_string(::getpid()) + "\n");
}

TEST(RunLock, MissingDirectoryIsUnavailableWithItsError) {
  testhost::ScratchDir dir;
  const file_lock lock = lock_file((dir.path() / "no-such-dir/vexor.lock").string(), true);
  EXPECT_EQ(lock.how, file_lock::kind::unavailable);
  EXPECT_EQ(lock.err, ENOENT);
  EXPECT_FALSE(lock.fd);
}

}  // namespace
