// Whether a file that decides what root does is its owner's alone: the file,
// every directory on the way from the working directory (or /), and what
// links lead to.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "common/trusted_files.h"
#include "tests/fixtures.h"

namespace {

namespace fs = std::filesystem;
using kind = trust_check::kind;

void file(const fs::path& path, mode_t mode) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

void directory(const fs::path& path, mode_t mode) {
  fs::create_directories(path);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

// The component directory of the cases: nic_fw/ and bin/, both 0755, with a
// program in each.
void component() {
  directory("nic_fw", 0755);
  directory("bin", 0755);
  file("nic_fw/tool", 0755);
  file("bin/real", 0755);
}

struct TrustCase {
  const char* name;
  std::function<void()> lay_out;  // run in the working directory
  const char* path;
  kind how;
  const char* why;  // how why begins; "~" stands for the working directory
};

class TrustedFile : public ::testing::TestWithParam<TrustCase> {};

TEST_P(TrustedFile, IsTheOwnersAloneOrSaysWhoElseCanWriteIt) {
  const TrustCase& c = GetParam();
  testhost::ScratchDir scratch;
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  testhost::WorkingDir inside(scratch.path());
  component();
  c.lay_out();
  const trust_check got = check_trusted_file(c.path, ::getuid());
  EXPECT_EQ(got.how, c.how) << got.why;
  std::string why = c.why;
  if (!why.empty() && why[0] == '~') why = scratch.path().string() + why.substr(1);
  EXPECT_EQ(got.why.substr(0, why.size()), why);
  if (c.how != kind::untrusted) {
    EXPECT_EQ(got.why, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrustedFile,
    ::testing::Values(
        TrustCase{"program", [] {}, "./nic_fw/tool", kind::trusted, ""},
        TrustCase{"group_writable_file", [] { file("nic_fw/tool", 0775); }, "./nic_fw/tool",
                  kind::untrusted, "nic_fw/tool is writable by "},
        TrustCase{"everyones_directory", [] { directory("nic_fw", 0777); }, "./nic_fw/tool",
                  kind::untrusted, "nic_fw is writable by every user"},
        TrustCase{"sticky_directory", [] { directory("nic_fw", 01777); }, "nic_fw/tool",
                  kind::untrusted, "nic_fw is writable by every user"},
        TrustCase{"group_writable_working_directory", [] { directory(".", 0775); }, "nic_fw/tool",
                  kind::untrusted, "~ is writable by "},
        TrustCase{"missing_file", [] {}, "nic_fw/absent.bin", kind::missing, ""},
        TrustCase{"file_on_the_way", [] {}, "nic_fw/tool/more", kind::missing, ""},
        TrustCase{"missing_below_an_everyones_directory", [] { directory("drop", 0777); },
                  "drop/absent.bin", kind::untrusted, "drop is writable by every user"},
        TrustCase{"link_to_a_trusted_program",
                  [] {
                    fs::remove("nic_fw/tool");
                    fs::create_symlink("../bin/real", "nic_fw/tool");
                  },
                  "nic_fw/tool", kind::trusted, ""},
        TrustCase{"link_into_an_everyones_directory",
                  [] {
                    file("drop/real", 0755);
                    directory("drop", 0777);
                    fs::remove("nic_fw/tool");
                    fs::create_symlink("../drop/real", "nic_fw/tool");
                  },
                  "nic_fw/tool", kind::untrusted, "nic_fw/../drop is writable by every user"},
        TrustCase{"absolute_link_to_a_writable_directory",
                  [] { fs::create_symlink("/tmp", "nic_fw/t"); }, "nic_fw/t/x", kind::untrusted,
                  "/tmp is "},
        TrustCase{"link_loop",
                  [] {
                    fs::create_symlink("b", "nic_fw/a");
                    fs::create_symlink("a", "nic_fw/b");
                  },
                  "nic_fw/a", kind::untrusted, "nic_fw/a: Too many levels of symbolic links"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrustedFileOwner, AnotherOwnersFileIsRefusedFromTheFirstDirectory) {
  testhost::ScratchDir scratch;
  testhost::WorkingDir inside(scratch.path());
  component();
  const trust_check got = check_trusted_file("nic_fw/tool", ::getuid() + 1);
  EXPECT_EQ(got.how, kind::untrusted);
  EXPECT_EQ(got.why.rfind(scratch.path().string() + " is owned by ", 0), 0u) << got.why;
}

TEST(TrustedFileOwner, SystemProgramsAreRootsFromSlashDown) {
  // /bin is a link to usr/bin on a merged-/usr system: it is followed.
  const trust_check got = check_trusted_file("/bin/sh", 0);
  EXPECT_EQ(got.how, kind::trusted) << got.why;
}

struct WritersCase {
  const char* name;
  uid_t uid;
  gid_t gid;
  mode_t mode;
  const char* text;
};

class OtherWriters : public ::testing::TestWithParam<WritersCase> {};

TEST_P(OtherWriters, NamesWhoCanWriteBesidesRoot) {
  const WritersCase& c = GetParam();
  struct stat st {};
  st.st_uid = c.uid;
  st.st_gid = c.gid;
  st.st_mode = S_IFREG | c.mode;
  EXPECT_EQ(other_writers(st), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OtherWriters,
    ::testing::Values(
        WritersCase{"roots_program", 0, 0, 0755, ""},
        WritersCase{"users_file", 4242, 0, 0644, "owned by uid 4242, not by root (uid 0)"},
        WritersCase{"everyones_file", 0, 0, 0666, "writable by every user"},
        WritersCase{"groups_file", 0, 4242, 0664, "writable by gid 4242"},
        WritersCase{"users_everyone_file", 4242, 4242, 0777,
                    "owned by uid 4242, not by root (uid 0)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
