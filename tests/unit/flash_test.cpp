// Flashing one adapter, in-process: the cases that the simulated host cannot
// easily produce (no child process at all, no image name) and the helpers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "main/vexor.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

// A fresh run-wide state, one adapter record selected for a burn, and an
// event log the test can read.
class FlashOne : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    g_iFlag = FLAG_SILENT;
    silent = 2;
    read_discovery = 1;  // take the image from the first entry, no selection
    ppyxflash_fout = std::tmpfile();
    ASSERT_NE(ppyxflash_fout, nullptr);
    g_ninfo = {testhost::record_with_catalog(
        {{"Quorvane QX-100", "1003", "QRV0000000001", "2.42.5000", "qx.bin"}})};
    g_ninfo[0].flags |= NIC_SELECTED;
    // The burns here fail; their history is not the working directory's.
    g_history_path.clear();
  }
  void TearDown() override {
    g_history_path = BURN_HISTORY;
    RunStateTest::TearDown();
  }
  std::string log_text() { return testhost::stream_text(ppyxflash_fout); }
};

}  // namespace

struct MacCase {
  const char* in;
  const char* out;
};

class FormatMac : public ::testing::TestWithParam<MacCase> {};

TEST_P(FormatMac, DropsSeparatorsWithoutReadingPastTheEnd) {
  EXPECT_EQ(format_mac(GetParam().in), GetParam().out);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Texts, FormatMac,
    ::testing::Values(MacCase{"00:02:c9:f3:e7:e0", "0002c9f3e7e0"},
                      MacCase{"00-02-c9-f3-e7-e0", "0002c9f3e7e0"},
                      // Any separator: positions decide, not characters.
                      MacCase{"00x02xc9xf3xe7xe0", "0002c9f3e7e0"},
                      MacCase{"00:02:c9:f3:e7:e0 extra", "0002c9f3e7e0"},
                      // What the flash utility prints: no separators, count joined.
                      MacCase{"0002c9aabbcc4", "0002c9aabbcc4"},
                      MacCase{"00:02:c9", "0002c9"}, MacCase{"", ""}));
// clang-format on

TEST(DoCommand, ReturnsTheExitStatusAndEchoesTheLine) {
  testhost::OutputCapture out;
  EXPECT_EQ(do_command("exit 3"), 3);
  EXPECT_EQ(do_command("true"), 0);
  EXPECT_EQ(out.text(), "exit 3 \ntrue \n");
}

TEST(DoCommand, CommandEndedBySignalIsNotSuccess) {
  testhost::OutputCapture out;
  EXPECT_NE(do_command("kill -9 $$"), 0);
}

TEST_F(FlashOne, UnselectedAdapterIsLeftAlone) {
  g_ninfo[0].flags = NIC_USABLE;
  testhost::OutputCapture out;
  EXPECT_EQ(do_update_firmware(0), 0);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(log_text(), "");
  EXPECT_EQ(g_iFlag & (STATUS_FAILED | STATUS_FLASHED), 0);
}

TEST_F(FlashOne, EntryWithoutImageNameIsReportedAndNotBurned) {
  g_ninfo[0].pxmlFwImage = {opt_text{}};
  do_update_firmware(0);
  EXPECT_TRUE(g_iFlag & STATUS_FAILED);
  EXPECT_FALSE(g_iFlag & STATUS_FLASHED);
  EXPECT_NE(log_text().find("No firmware image file name for 0000:81:00.0 in nic_fw/NICFWData.xml"),
            std::string::npos);
}

// When no child process can be made at all the wait status would read 0; the
// burn must still count as failed. Running out of file descriptors stops the
// burn before its child exists, which takes that same path.
namespace {
// Runs one burn with room for the output file but not for the child's
// standard input; exits 42 when it was counted as failed and not as flashed.
[[noreturn]] void burn_without_descriptors() {
  // Keep the echo of the search command off the test's output.
  if (!std::freopen("/dev/null", "w", stdout)) std::_Exit(2);
  int probe = ::dup(0);  // the lowest free descriptor
  ::close(probe);
  struct rlimit lim;
  lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(probe + 1);
  ::setrlimit(RLIMIT_NOFILE, &lim);
  do_update_firmware(0);
  // It must have taken the no-child path, not failed for another reason.
  std::fflush(ppyxflash_fout);
  std::rewind(ppyxflash_fout);
  char line[512];
  bool no_child = false;
  while (std::fgets(line, sizeof line, ppyxflash_fout))
    if (std::strstr(line, "Unable to start the flash utility for 0000:81:00.0")) no_child = true;
  std::_Exit(no_child && (g_iFlag & STATUS_FAILED) && !(g_iFlag & STATUS_FLASHED) ? 42 : 1);
}
}  // namespace

TEST_F(FlashOne, NoChildProcessCountsAsFailed) {
  EXPECT_EXIT(burn_without_descriptors(), ::testing::ExitedWithCode(42), "");
}
