// Files only ever appended to: made with the mode asked for, written whole,
// and refused when they could lead vexor's writes or reads elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "common/appended_file.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;

class AppendedFile : public ::testing::Test {
 protected:
  fs::path at(const char* name) const { return scratch_.path() / name; }

 private:
  testhost::ScratchDir scratch_{"vexor-appended"};
};

TEST_F(AppendedFile, IsMadeWithItsModeAndOnlyAppendedTo) {
  const ::mode_t old_umask = ::umask(077);
  appended_file made = open_appended(at("history").string(), 0644, true);
  ::umask(old_umask);
  ASSERT_TRUE(made) << made.err;
  EXPECT_TRUE(made.created);
  EXPECT_TRUE(append_synced(made.fd.get(), "one\n"));

  appended_file again = open_appended(at("history").string(), 0644, true);
  ASSERT_TRUE(again);
  EXPECT_FALSE(again.created);
  std::string text;
  EXPECT_TRUE(read_whole(again.fd.get(), &text));
  EXPECT_EQ(text, "one\n");
  EXPECT_TRUE(append_synced(again.fd.get(), "two\n"));
  EXPECT_EQ(testhost::file_text(at("history")), "one\ntwo\n");
  struct stat st {};
  ASSERT_EQ(::stat(at("history").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_TRUE(sync_directory_of(at("history").string()));
}

TEST_F(AppendedFile, MissingIsNotMadeUnlessAsked) {
  const appended_file missing = open_appended(at("history").string(), 0644, false);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.err, ENOENT);
  EXPECT_FALSE(fs::exists(at("history")));
}

struct RefusalCase {
  const char* name;
  std::function<void(const fs::path& file, const fs::path& dir)> make;
  int err;              // the open's errno, 0 when it opened
  const char* refusal;  // why a file that opened is refused, null for none
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class AppendedFileRefused : public AppendedFile,
                            public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(AppendedFileRefused, NamesWhyAndWritesNothing) {
  const RefusalCase& c = GetParam();
  std::ofstream(at("target")) << "kept\n";
  c.make(at("history"), at("."));
  const appended_file file = open_appended(at("history").string(), 0644, true);
  EXPECT_FALSE(file);
  EXPECT_EQ(file.err, c.err);
  if (c.refusal == nullptr) {
    EXPECT_EQ(file.refusal, nullptr);
  } else {
    EXPECT_STREQ(file.refusal, c.refusal);
  }
  EXPECT_EQ(testhost::file_text(at("target")), "kept\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, AppendedFileRefused,
    ::testing::Values(
        RefusalCase{"SymbolicLink",
                    [](const fs::path& f, const fs::path&) { fs::create_symlink("target", f); },
                    ELOOP, nullptr},
        RefusalCase{"DanglingLink",
                    [](const fs::path& f, const fs::path&) { fs::create_symlink("nowhere", f); },
                    ELOOP, nullptr},
        RefusalCase{"HardLink",
                    [](const fs::path& f, const fs::path& d) {
                      fs::create_hard_link(d / "target", f);
                    },
                    0, "it has more than one name (a hard link)"},
        RefusalCase{"Fifo", [](const fs::path& f, const fs::path&) { ::mkfifo(f.c_str(), 0600); },
                    0, "it is not a regular file"},
        RefusalCase{"Directory",
                    [](const fs::path& f, const fs::path&) { fs::create_directory(f); }, EISDIR,
                    nullptr},
        RefusalCase{"WritableByOthers",
                    [](const fs::path& f, const fs::path&) {
                      std::ofstream(f) << "";
                      ::chmod(f.c_str(), 0666);
                    },
                    0, "its group or others may write it"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppendedFile, OwnedByAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  std::ofstream(at("history")) << "";
  ASSERT_EQ(::chown(at("history").c_str(), 65534, 65534), 0);
  const appended_file file = open_appended(at("history").string(), 0644, true);
  EXPECT_FALSE(file);
  EXPECT_STREQ(file.refusal, "another user owns it");
}

}  // namespace
