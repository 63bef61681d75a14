// The update run (default and silent modes) on simulated hosts; the flash
// utility's journal shows exactly which burns ran with which arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

using testhost::adapter;
using testhost::count_of;
using testhost::host_of;
using testhost::two_adapter_host;
using Argv = std::vector<std::string>;

namespace {

const char* const kReboot = "\n\nPlease Reboot node for new image to be loaded into silicon\n\n";
const char* const kPromptYes = "Would you like to flash the firmware?\n y/n/q (y):";
const char* const kPromptNo = "Would you like to flash the firmware?\n y/n/q (n):";

Argv burn_of(const std::string& address, const std::string& image, bool silent_form = false) {
  return testhost::burn_argv(address, image, silent_form);
}

const Argv kBurnA = burn_of("0000:05:00.0", "qx50-2000.bin");
const Argv kBurnB = burn_of("0000:81:00.0", "qx100-2.42.bin");

using Update = testhost::HostTest;
using UpdateFailures = testhost::HostTest;
using UpdateSecureBoot = testhost::HostTest;

}  // namespace

struct AnswerCase {
  const char* label;
  std::string input;
  int status;
  std::vector<Argv> burns;
  bool reboot_notice;
};

using InteractiveAnswers = testhost::HostTestWithParam<AnswerCase>;

TEST_P(InteractiveAnswers, DecideWhatIsBurned) {
  const auto& c = GetParam();
  sim::SimHost& h = host(two_adapter_host());
  auto r = h.run({}, c.input);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(h.burns(), c.burns);
  EXPECT_EQ(r.out.find(kReboot) != std::string::npos, c.reboot_notice) << r.out;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Update, InteractiveAnswers,
    ::testing::Values(
        AnswerCase{"yes_then_no", "y\nn\n", 0, {kBurnA}, true},
        AnswerCase{"enter_takes_each_default", "\n\n", 0, {kBurnA}, true},
        AnswerCase{"no_to_both", "n\nn\n", 0, {}, false},
        AnswerCase{"no_then_yes_rewrites_latest", "no\nYES\n", 0, {kBurnB}, true},
        AnswerCase{"quit_after_first_flashed", "y\nq\n", 3, {kBurnA}, false},
        AnswerCase{"end_of_input_quits", "", 3, {}, false},
        AnswerCase{"mixed_case_is_no", "yEs\nn\n", 0, {}, false}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST_F(Update, QuestionsShowInstalledAndAvailableVersions) {
  sim::SimHost& h = host(two_adapter_host());
  auto r = h.run({}, "y\nn\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string a_block =
      "Repository has New firmware version for interface 0000:05:00.0.................Please "
      "flash the newer version\n"
      "\nCurrent Firmware Version is 16.35.1012 on 0000:05:00.0 \n"
      "Repository has these firmware versions............[1] Image Version  16.35.1012\n"
      "[2] Image Version  16.35.2000\n"
      "A yes burns version 16.35.2000 from ./nic_fw/qx50-2000.bin: an upgrade from 16.35.1012.\n" +
      std::string(kPromptYes);
  EXPECT_NE(r.out.find(a_block), std::string::npos) << r.out;
  const std::string b_block =
      "\nCurrent Firmware Version is 2.42.5000 on 0000:81:00.0 \n"
      "Repository has these firmware versions............[1] Image Version  2.36.5000\n"
      "[2] Image Version  2.42.5000\n"
      "Repository doesn't have newer firmware version, Installed firmware version is the latest "
      "one..........Please Quit the updation.\n"
      "A yes burns version 2.42.5000 from ./nic_fw/qx100-2.42.bin: a rewrite of the installed "
      "version.\n" +
      std::string(kPromptNo);
  EXPECT_NE(r.out.find(b_block), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Firmware Flashed:\tSUCCESS  for interface 0000:05:00.0\n\n"),
            std::string::npos);

  std::string log = h.event_log();
  EXPECT_EQ(
      count_of(log, "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n"), 1u);
  // The utility prints the base MAC followed by a count; the query joins
  // them, and the log shows the value as the inventory recorded it.
  EXPECT_NE(log.find("\nSelecting Quorvane QX-50 MAC: 0002c9aabb114 \n"), std::string::npos) << log;
  EXPECT_NE(log.find("MAC 0002c9aabb114 Upgrade SUCCESS\n"), std::string::npos) << log;
  EXPECT_NE(log.find("*** WARNING *** - Installed firmware is the latest firmware\n"),
            std::string::npos);
  // Each answer is logged with its question, as typed.
  EXPECT_NE(log.find(std::string(kPromptYes) + " y\n\n"), std::string::npos) << log;
  // The burned adapter now runs the new version.
  EXPECT_EQ(h.adapter("0000:05:00.0").fw, "16.35.2000");
}

TEST_F(Update, AnswerCFlashesTheFirstAndOffersNoOther) {
  std::vector<sim::Function> functions;
  std::vector<testhost::CatalogEntry> entries;
  for (int i = 1; i <= 3; ++i) {
    std::string addr = "0000:0" + std::to_string(i) + ":00.0";
    std::string psid = "QRV0" + std::to_string(i);
    functions.push_back(
        adapter(addr, 0x1017, psid, "16.35.1012", "0002c9aabb0" + std::to_string(i)));
    entries.push_back({"Quorvane QX-50", "1017", psid, "16.35.2000", psid + ".bin"});
  }
  sim::SimHost& h = host(host_of(functions, entries));
  auto r = h.run({}, "c\ny\ny\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(h.burns(), (std::vector<Argv>{burn_of("0000:01:00.0", "QRV01.bin")}));
  EXPECT_EQ(count_of(r.out, "y/n/q"), 1u);
  EXPECT_EQ(count_of(r.out, "Current Firmware Version"), 1u);
  EXPECT_NE(r.out.find(kReboot), std::string::npos);
}

TEST_F(Update, QuitAfterAFlashSaysCancelled) {
  sim::SimHost& h = host(two_adapter_host());
  auto r = h.run({}, "y\nq\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("\nFirmware upgrade cancelled by User \n"), std::string::npos);
}

TEST_F(Update, EndOfInputQuits) {
  sim::SimHost& h = host(two_adapter_host());
  auto r = h.run({}, "");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("Unknown input problem!\nQuit...\n"), std::string::npos);
  EXPECT_TRUE(h.burns().empty());
}

struct SilentCase {
  const char* label;
  Argv args;
  int status;
  std::vector<Argv> burns;
};

using SilentRuns = testhost::HostTestWithParam<SilentCase>;

TEST_P(SilentRuns, BurnWithoutAsking) {
  const auto& c = GetParam();
  sim::SimHost& h = host(two_adapter_host());
  auto r = h.run(c.args);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(h.burns(), c.burns);
  EXPECT_EQ(r.out.find("y/n/q"), std::string::npos) << "a question was shown";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Update, SilentRuns,
    ::testing::Values(
        SilentCase{"silent_flashes_only_newer", {"-s"}, 0,
                   {burn_of("0000:05:00.0", "qx50-2000.bin", true)}},
        SilentCase{"silent_force_rewrites", {"-sF"}, 0,
                   {burn_of("0000:05:00.0", "qx50-2000.bin", true),
                    burn_of("0000:81:00.0", "qx100-2.42.bin", true)}},
        SilentCase{"slash_forms", {"/s", "/F"}, 0,
                   {burn_of("0000:05:00.0", "qx50-2000.bin", true),
                    burn_of("0000:81:00.0", "qx100-2.42.bin", true)}},
        SilentCase{"yes_to_all_rewrites", {"-y"}, 0, {kBurnA, kBurnB}}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

struct SilentOutcomeCase {
  const char* label;
  Argv args;
  std::vector<std::string> failing;  // addresses whose burn fails
  int status;
  std::vector<std::string> reason;  // in the one reason line; none: no reason line
};

using SilentOutcomes = testhost::HostTestWithParam<SilentOutcomeCase>;

// A and C have a newer image, B runs the latest, D gives no firmware
// version: the exit status and the reason line say the same, whichever
// burn fails first.
TEST_P(SilentOutcomes, ReasonCountsAndNamesTheFailedAdapters) {
  const auto& c = GetParam();
  auto desc = two_adapter_host();
  desc.functions.push_back(adapter("0000:82:00.0", 0x1017, "QRV33", "16.35.1012", "0002c9aabb33"));
  desc.functions.push_back(adapter("0000:83:00.0", 0x1017, "QRV44", std::nullopt, "0002c9aabb44"));
  auto entries = testhost::two_adapter_catalog();
  entries.push_back({"Quorvane QX-50", "1017", "QRV33", "16.35.2000", "qx50c-2000.bin"});
  testhost::set_catalog(desc, entries);
  for (auto& f : desc.functions) {
    for (const auto& failing : c.failing)
      if (f.address == failing) f.flash->burn = sim::BurnBehaviour::fail;
  }
  sim::SimHost& h = host(desc);
  const auto r = h.run(c.args);
  EXPECT_EQ(r.status, c.status) << r.out << r.err << h.event_log();
  testhost::expect_reason(r.err, c.reason);
}

const std::string kFailedBurn = ": the burn failed, output in /tmp/data";
const std::string kUnread = "gave no firmware version or PSID (0000:83:00.0) (see pyxflash.log)";

INSTANTIATE_TEST_SUITE_P(
    Update, SilentOutcomes,
    ::testing::Values(
        SilentOutcomeCase{"first_fails",
                          {"-s"},
                          {"0000:05:00.0"},
                          2,
                          {"vexor: 1 of 2 devices failed (0000:05:00.0" + kFailedBurn,
                           "); 1 flashed; 1 " + kUnread}},
        SilentOutcomeCase{"last_fails",
                          {"-s"},
                          {"0000:82:00.0"},
                          2,
                          {"vexor: 1 of 2 devices failed (0000:82:00.0" + kFailedBurn,
                           "); 1 flashed; 1 " + kUnread}},
        SilentOutcomeCase{"both_fail",
                          {"-s"},
                          {"0000:05:00.0", "0000:82:00.0"},
                          2,
                          {"vexor: 2 of 2 devices failed (0000:05:00.0" + kFailedBurn,
                           "; 0000:82:00.0" + kFailedBurn, "); 0 flashed; 1 " + kUnread}},
        SilentOutcomeCase{"force_rewrites_and_one_fails",
                          {"-sF"},
                          {"0000:81:00.0"},
                          2,
                          {"vexor: 1 of 3 devices failed (0000:81:00.0" + kFailedBurn,
                           "); 2 flashed; 1 " + kUnread}},
        SilentOutcomeCase{"none_fails", {"-s"}, {}, 0, {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Update, SilentRunWithEverythingLatestExitsOneWithoutSummary) {
  auto desc = two_adapter_host();
  desc.functions[0].flash->fw = "16.35.2000";
  sim::SimHost& h = host(desc);
  auto r = h.run({"-s"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(h.burns().empty());
  EXPECT_EQ(r.out.find("NIC firmware"), std::string::npos);
  EXPECT_EQ(r.out.find("Reboot"), std::string::npos);
}

TEST_F(Update, BurnsTheGreatestOrderingKeyNotTheGreatestNumber) {
  sim::SimHost& h =
      host(host_of({adapter("0000:81:00.0", 0x1003, "QRV22", "2.9.1000", "0002c9aabb22")},
                   {{"Quorvane QX-100", "1003", "QRV22", "2.10.700", "qx-2.10.700.bin"},
                    {"Quorvane QX-100", "1003", "QRV22", "2.9.1000", "qx-2.9.1000.bin"}}));
  // 2.10.700 is numerically newer than the installed 2.9.1000, so -s flashes;
  // but the image burned is the one that sorts last by the ordering key.
  auto r = h.run({"-s"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(h.burns(), (std::vector<Argv>{burn_of("0000:81:00.0", "qx-2.9.1000.bin", true)}));
}

TEST_F(UpdateFailures, OneFailedAndOneSuccessfulBurnExitTwo) {
  auto desc = two_adapter_host();
  desc.functions[1].flash->fw = "2.36.5000";
  desc.functions[1].flash->burn = sim::BurnBehaviour::fail;
  sim::SimHost& h = host(desc);
  auto r = h.run({}, "y\ny\n");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.out.find("\nNIC firmware update completed with errors. \n"), std::string::npos);
  EXPECT_EQ(r.out.find(kReboot), std::string::npos);
  std::string log = h.event_log();
  EXPECT_NE(log.find("Upgrade failed\n \n"), std::string::npos) << log;
  EXPECT_NE(log.find("Output of the failed burn of 0000:81:00.0 is kept in /tmp/data"),
            std::string::npos)
      << log;
}

TEST_F(UpdateFailures, KilledBurnCountsAsFailed) {
  auto desc = two_adapter_host();
  desc.functions[0].flash->burn = sim::BurnBehaviour::killed;
  sim::SimHost& h = host(desc);
  auto r = h.run({"-s"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_EQ(h.burns().size(), 1u);
  std::string log = h.event_log();
  EXPECT_NE(log.find("was ended by signal 9"), std::string::npos) << log;
  EXPECT_NE(log.find("Upgrade failed\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Upgrade SUCCESS"), std::string::npos) << log;
}

// A flash utility that the shell can run (it answers the queries) but that
// cannot be executed directly, as the burn does: a script without "#!".
TEST_F(UpdateFailures, UtilityThatCannotBeExecutedCountsAsFailed) {
  auto desc = two_adapter_host();
  sim::SimHost& h = host(desc);
  h.write_file("nic_fw/pyxflash",
               "case \"$2\" in\n"
               "  0000:05:00.0) echo 'FW Version:   16.35.1012'; echo 'PSID:   QRV11';"
               " echo 'Base MAC:  0002c9aabb11  4';;\n"
               "  *) echo 'FW Version:   2.42.5000'; echo 'PSID:   QRV22';;\n"
               "esac\n");
  h.run_shell("chmod 755 nic_fw/pyxflash");
  auto r = h.run({"-s"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(h.event_log().find("Upgrade failed\n"), std::string::npos);
}

TEST_F(UpdateFailures, LowerCaseMismatchIsReportedAsNotSupported) {
  auto desc = two_adapter_host();
  sim::SimHost& h = host(desc);
  h.write_file(
      "nic_fw/pyxflash",
      "#!/bin/sh\n"
      "if [ \"$#\" -ge 5 ]; then echo 'pyxflash: error: psid mismatch, the image is for another board';"
      " exit 1; fi\n"
      "case \"$2\" in\n"
      "  0000:05:00.0) echo 'FW Version:   16.35.1012'; echo 'PSID:   QRV11';;\n"
      "  *) echo 'FW Version:   2.42.5000'; echo 'PSID:   QRV22';;\n"
      "esac\n");
  h.run_shell("chmod 755 nic_fw/pyxflash");
  auto r = h.run({"-s"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  // The search command is echoed even in silent mode.
  EXPECT_NE(r.out.find("grep -i \"PSID Mismatch\" /tmp/data"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" > /dev/null \n"), std::string::npos) << r.out;
  EXPECT_NE(h.event_log().find("Fimware upgrade on this device is not supported\n \n"),
            std::string::npos)
      << h.event_log();
}

TEST_F(UpdateSecureBoot, BurnsRunTheSystemUtilityWithImagesFromComponent) {
  auto desc = two_adapter_host();
  desc.secure_boot = sim::SecureBoot::enabled;
  desc.qtk.present = true;
  desc.quarz.present = true;
  sim::SimHost& h = host(desc);
  auto r = h.run({"-s"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  Argv expected = burn_of("0000:05:00.0", "qx50-2000.bin", true);
  expected[0] = "quarz";
  EXPECT_EQ(h.burns(), (std::vector<Argv>{expected}));
  // The queries ran the system utility too (through the shell, by path).
  for (const auto& call : h.journal()) EXPECT_EQ(call.at(0).find("pyxflash"), std::string::npos);
  EXPECT_EQ(h.journal().front().at(0), "/usr/bin/quarz");
}

TEST_F(Update, InventoryFailurePassesItsResultThrough) {
  auto r = run(host_of({testhost::other_vendor("0000:03:00.0")}), {});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nNIC firmware update did not complete.  Check log for errors. \n"),
            std::string::npos);
}
