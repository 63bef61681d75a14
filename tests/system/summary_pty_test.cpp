// What the update run shows an administrator on a terminal besides its
// specified texts: before each question the line naming what a yes burns,
// and after the closing message one row per adapter saying what became of
// it.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/pty_reader.h"

using testhost::adapter;
using testhost::host_of;

namespace {

using testpty::run_on_terminal;
using testpty::TerminalRun;

const char* const kHeading = "\nWhat this run did, adapter by adapter:\n";

// A host with an adapter for each way the run can end for one: flashed,
// failed, answered no, already the latest, no catalog entry, the second
// function of the first, no firmware version; and another vendor's card.
sim::HostSpec every_outcome_host() {
  auto failing = adapter("0000:02:00.0", 0x1017, "QRV02", "16.35.1012", "0002c9aabb02");
  failing.flash->burn = sim::BurnBehaviour::fail;
  std::vector<testhost::CatalogEntry> entries;
  for (const std::string n : {"01", "02", "03", "04", "08"})
    entries.push_back({"Quorvane QX-50", "1017", "QRV" + n, "16.35.2000", "qx50-" + n + ".bin"});
  return host_of({adapter("0000:01:00.0", 0x1017, "QRV01", "16.35.1012", "0002c9aabb01"), failing,
                  adapter("0000:03:00.0", 0x1017, "QRV03", "16.35.1012", "0002c9aabb03"),
                  adapter("0000:04:00.0", 0x1017, "QRV04", "16.35.2000", "0002c9aabb04"),
                  adapter("0000:06:00.0", 0x1017, "QRV99", "16.35.1012", "0002c9aabb06"),
                  adapter("0000:07:00.0", 0x1017, "QRV01", "16.35.1012", "0002c9aabb01"),
                  adapter("0000:08:00.0", 0x1017, "QRV08", std::nullopt, "0002c9aabb08"),
                  testhost::other_vendor("0000:09:00.0")},
                 entries);
}

using Summary = testhost::HostTest;

}  // namespace

TEST_F(Summary, EveryOutcomeAfterTheClosingMessage) {
  sim::SimHost& h = host(every_outcome_host());
  const TerminalRun r = run_on_terminal(h, {}, "y\ny\nn\n\n");
  EXPECT_EQ(r.status, 2) << r.screen;

  std::smatch kept;
  const std::string log = h.event_log();
  ASSERT_TRUE(std::regex_search(log, kept, std::regex("burn of 0000:02:00.0 is kept in (\\S+)")))
      << log;
  const std::string rows =
      "Address       Before      After       Outcome\n"
      "0000:01:00.0  16.35.1012  16.35.2000  flashed\n"
      "0000:02:00.0  16.35.1012  16.35.1012  failed (output kept in " +
      kept[1].str() +
      ")\n"
      "0000:03:00.0  16.35.1012  16.35.1012  not flashed (answered no)\n"
      "0000:04:00.0  16.35.2000  16.35.2000  not flashed (already the latest)\n"
      "0000:06:00.0  16.35.1012  16.35.1012  left out (no catalog entry)\n"
      "0000:07:00.0  16.35.1012  16.35.1012  left out (second function of 0000:01:00.0)\n"
      "0000:08:00.0  -           -           left out (no firmware version or PSID from the "
      "flash utility)\n"
      "A reboot is needed before the new firmware runs on 0000:01:00.0.\n";
  // Right after the specified closing message, which stays as it was.
  EXPECT_NE(r.screen.find(
                "\nNIC firmware update completed with errors. \n" + std::string(kHeading) + rows),
            std::string::npos)
      << r.screen;
  EXPECT_EQ(r.screen.find("0000:09:00.0  "), std::string::npos) << "another vendor's card listed";
  // Each question is preceded by what a yes burns.
  EXPECT_NE(r.screen.find("A yes burns version 16.35.2000 from ./nic_fw/qx50-03.bin: an upgrade "
                          "from 16.35.1012.\nWould you like to flash the firmware?\n y/n/q (y):"),
            std::string::npos)
      << r.screen;
  EXPECT_NE(r.screen.find("Please Quit the updation.\nA yes burns version 16.35.2000 from "
                          "./nic_fw/qx50-04.bin: a rewrite of the installed version.\n"
                          "Would you like to flash the firmware?\n y/n/q (n):"),
            std::string::npos)
      << r.screen;
}

struct EndingCase {
  const char* label;
  std::vector<std::string> args;
  std::string input;
  int status;
  std::string closing;  // the specified text the summary follows
  std::string summary;  // "" when none may be shown
  std::string shown;    // also on the screen ("" nothing more)
};

using Endings = testhost::HostTestWithParam<EndingCase>;

// Adapter A has a newer image, B runs one newer than the catalog's latest.
TEST_P(Endings, SummaryFollowsEveryEnding) {
  const auto& c = GetParam();
  auto desc = testhost::two_adapter_host();
  desc.functions[1].flash->fw = "2.50.0";
  sim::SimHost& h = host(desc);
  const TerminalRun r = run_on_terminal(h, c.args, c.input);
  EXPECT_EQ(r.status, c.status) << r.screen;
  if (c.summary.empty()) {
    EXPECT_EQ(r.screen.find("adapter by adapter"), std::string::npos) << r.screen;
    EXPECT_EQ(r.screen.find(" burns version "), std::string::npos) << r.screen;
  } else {
    EXPECT_NE(r.screen.find(c.closing + kHeading + c.summary), std::string::npos) << r.screen;
  }
  EXPECT_NE(r.screen.find(c.shown), std::string::npos) << r.screen;
}

const char* const kColumns = "Address       Before      After       Outcome\n";

INSTANTIATE_TEST_SUITE_P(
    Summary, Endings,
    ::testing::Values(
        EndingCase{"yes_to_all_says_what_it_burns",
                   {"-y"},
                   "",
                   0,
                   "\n\nPlease Reboot node for new image to be loaded into silicon\n\n",
                   std::string(kColumns) +
                       "0000:05:00.0  16.35.1012  16.35.2000  flashed\n"
                       "0000:81:00.0  2.50.0      2.42.5000   flashed\n"
                       "A reboot is needed before the new firmware runs on 0000:05:00.0, "
                       "0000:81:00.0.\n",
                   "-y burns version 2.42.5000 from ./nic_fw/qx100-2.42.bin: a downgrade from "
                   "2.50.0.\n"},
        EndingCase{"quit_at_the_first",
                   {},
                   "q\n",
                   3,
                   "\nFirmware upgrade cancelled by User \n",
                   std::string(kColumns) +
                       "0000:05:00.0  16.35.1012  16.35.1012  not flashed (quit before it)\n"
                       "0000:81:00.0  2.50.0      2.50.0      not flashed (quit before it)\n",
                   ""},
        EndingCase{"c_offers_no_more",
                   {"-p"},
                   "c\n",
                   0,
                   "\n\nPlease Reboot node for new image to be loaded into silicon\n\n",
                   std::string(kColumns) +
                       "0000:05:00.0  16.35.1012  16.35.2000  flashed\n"
                       "0000:81:00.0  2.50.0      2.50.0      not flashed (not offered after "
                       "\"c\")\n"
                       "A reboot is needed before the new firmware runs on 0000:05:00.0.\n",
                   ""},
        EndingCase{"silent_shows_none", {"-s"}, "", 0, "", "", ""},
        EndingCase{"silent_force_shows_none", {"-sF"}, "", 0, "", "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Summary, FollowsAFailedInventoryToo) {
  sim::SimHost& h =
      host(host_of({adapter("0000:05:00.0", 0x1017, "QRV11", std::nullopt, "0002c9aabb11"),
                    adapter("0000:81:00.0", 0x1003, std::nullopt, "2.42.5000", "0002c9aabb22")}));
  const TerminalRun r = run_on_terminal(h, {}, "");
  EXPECT_EQ(r.status, 2) << r.screen;
  const std::string why = "left out (no firmware version or PSID from the flash utility)\n";
  EXPECT_NE(r.screen.find("\nNIC firmware update did not complete.  Check log for errors. \n" +
                          std::string(kHeading) + "Address       Before     After      Outcome\n" +
                          "0000:05:00.0  -          -          " + why +
                          "0000:81:00.0  2.42.5000  2.42.5000  " + why),
            std::string::npos)
      << r.screen;
}
