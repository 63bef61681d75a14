// The update run (default and silent modes) on simulated hosts; the flash
// utility's journal shows exactly which burns ran with which arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/host_builders.h"

using testhost::adapter;
using testhost::catalog;
using testhost::count_of;
using Argv = std::vector<std::string>;

namespace {

const char* const kReboot = "\n\nPlease Reboot node for new image to be loaded into silicon\n\n";
const char* const kPromptYes = "Would you like to flash the firmware?\n y/n/q (y):";
const char* const kPromptNo = "Would you like to flash the firmware?\n y/n/q (n):";

// Adapter A (0000:05:00.0) has a newer image; adapter B (0000:81:00.0)
// already runs the latest one.
sim::HostSpec two_adapters() {
  sim::HostSpec desc;
  desc.functions.push_back(adapter("0000:05:00.0", 0x1017, "QRV11", "16.35.1012", "0002c9aabb11"));
  desc.functions.push_back(adapter("0000:81:00.0", 0x1003, "QRV22", "2.42.5000", "0002c9aabb22"));
  desc.catalog_xml = catalog({
      {"Quorvane QX-50", "15B3", "1017", "QRV11", "16.35.1012", "qx50-1012.bin"},
      {"Quorvane QX-50", "15B3", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"},
      {"Quorvane QX-100", "15B3", "1003", "QRV22", "2.36.5000", "qx100-2.36.bin"},
      {"Quorvane QX-100", "15B3", "1003", "QRV22", "2.42.5000", "qx100-2.42.bin"},
  });
  desc.images = {{"qx50-1012.bin", "QRV11", "16.35.1012"},
                 {"qx50-2000.bin", "QRV11", "16.35.2000"},
                 {"qx100-2.36.bin", "QRV22", "2.36.5000"},
                 {"qx100-2.42.bin", "QRV22", "2.42.5000"}};
  return desc;
}

Argv burn_of(const std::string& address, const std::string& image, bool silent_form = false) {
  Argv v{"pyxflash"};
  if (silent_form) v.push_back("-s");
  for (const char* a : {"-y", "-d"}) v.push_back(a);
  v.push_back(address);
  v.push_back("-i");
  v.push_back("./nic_fw/" + image);
  v.push_back("b");
  return v;
}

const Argv kBurnA = burn_of("0000:05:00.0", "qx50-2000.bin");
const Argv kBurnB = burn_of("0000:81:00.0", "qx100-2.42.bin");

}  // namespace

struct AnswerCase {
  const char* label;
  std::string input;
  int status;
  std::vector<Argv> burns;
  bool reboot_notice;
};

class InteractiveAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(InteractiveAnswers, DecideWhatIsBurned) {
  const auto& c = GetParam();
  sim::SimHost host(two_adapters());
  auto r = host.run({}, c.input);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(host.burns(), c.burns);
  EXPECT_EQ(r.out.find(kReboot) != std::string::npos, c.reboot_notice) << r.out;
}

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

TEST(Update, QuestionsShowInstalledAndAvailableVersions) {
  sim::SimHost host(two_adapters());
  auto r = host.run({}, "y\nn\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string a_block =
      "Repository has New firmware version for interface 0000:05:00.0.................Please "
      "flash the newer version\n"
      "\nCurrent Firmware Version is 16.35.1012 on 0000:05:00.0 \n"
      "Repository has these firmware versions............[1] Image Version  16.35.1012\n"
      "[2] Image Version  16.35.2000\n" +
      std::string(kPromptYes);
  EXPECT_NE(r.out.find(a_block), std::string::npos) << r.out;
  const std::string b_block =
      "\nCurrent Firmware Version is 2.42.5000 on 0000:81:00.0 \n"
      "Repository has these firmware versions............[1] Image Version  2.36.5000\n"
      "[2] Image Version  2.42.5000\n"
      "Repository doesn't have newer firmware version, Installed firmware version is the latest "
      "one..........Please Quit the updation.\n" +
      std::string(kPromptNo);
  EXPECT_NE(r.out.find(b_block), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Firmware Flashed:\tSUCCESS  for interface 0000:05:00.0\n\n"),
            std::string::npos);

  std::string log = host.event_log();
  EXPECT_EQ(count_of(log, "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n"),
            1u);
  // The utility prints the base MAC followed by a count; the query joins
  // them, and the log shows the value as the inventory recorded it.
  EXPECT_NE(log.find("\nSelecting Quorvane QX-50 MAC: 0002c9aabb114 \n"), std::string::npos) << log;
  EXPECT_NE(log.find("MAC 0002c9aabb114 Upgrade SUCCESS\n"), std::string::npos) << log;
  EXPECT_NE(log.find("*** WARNING *** - Installed firmware is the latest firmware\n"),
            std::string::npos);
  // Each answer is logged with its question, as typed.
  EXPECT_NE(log.find(std::string(kPromptYes) + " y\n\n"), std::string::npos) << log;
  // The burned adapter now runs the new version.
  EXPECT_EQ(host.adapter("0000:05:00.0").fw, "16.35.2000");
}

TEST(Update, AnswerCFlashesTheFirstAndOffersNoOther) {
  sim::HostSpec desc;
  std::vector<testhost::CatalogEntry> entries;
  for (int i = 1; i <= 3; ++i) {
    std::string addr = "0000:0" + std::to_string(i) + ":00.0";
    std::string psid = "QRV0" + std::to_string(i);
    desc.functions.push_back(adapter(addr, 0x1017, psid, "16.35.1012", "0002c9aabb0" + std::to_string(i)));
    entries.push_back({"Quorvane QX-50", "15B3", "1017", psid, "16.35.2000", psid + ".bin"});
    desc.images.push_back({psid + ".bin", psid, "16.35.2000"});
  }
  desc.catalog_xml = catalog(entries);
  sim::SimHost host(desc);
  auto r = host.run({}, "c\ny\ny\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(host.burns(), (std::vector<Argv>{burn_of("0000:01:00.0", "QRV01.bin")}));
  EXPECT_EQ(count_of(r.out, "y/n/q"), 1u);
  EXPECT_EQ(count_of(r.out, "Current Firmware Version"), 1u);
  EXPECT_NE(r.out.find(kReboot), std::string::npos);
}

TEST(Update, QuitAfterAFlashSaysCancelled) {
  sim::SimHost host(two_adapters());
  auto r = host.run({}, "y\nq\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("\nFirmware upgrade cancelled by User \n"), std::string::npos);
}

TEST(Update, EndOfInputQuits) {
  sim::SimHost host(two_adapters());
  auto r = host.run({}, "");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("Unknown input problem!\nQuit...\n"), std::string::npos);
  EXPECT_TRUE(host.burns().empty());
}

struct SilentCase {
  const char* label;
  Argv args;
  int status;
  std::vector<Argv> burns;
};

class SilentRuns : public ::testing::TestWithParam<SilentCase> {};

TEST_P(SilentRuns, BurnWithoutAsking) {
  const auto& c = GetParam();
  sim::SimHost host(two_adapters());
  auto r = host.run(c.args);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(host.burns(), c.burns);
  EXPECT_EQ(r.out.find("y/n/q"), std::string::npos) << "a question was shown";
}

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

TEST(Update, SilentRunWithEverythingLatestExitsOneWithoutSummary) {
  auto desc = two_adapters();
  desc.functions[0].flash->fw = "16.35.2000";
  sim::SimHost host(desc);
  auto r = host.run({"-s"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(host.burns().empty());
  EXPECT_EQ(r.out.find("NIC firmware"), std::string::npos);
  EXPECT_EQ(r.out.find("Reboot"), std::string::npos);
}

TEST(Update, BurnsTheGreatestOrderingKeyNotTheGreatestNumber) {
  sim::HostSpec desc;
  desc.functions.push_back(adapter("0000:81:00.0", 0x1003, "QRV22", "2.9.1000", "0002c9aabb22"));
  desc.catalog_xml = catalog({
      {"Quorvane QX-100", "15B3", "1003", "QRV22", "2.10.700", "qx-2.10.700.bin"},
      {"Quorvane QX-100", "15B3", "1003", "QRV22", "2.9.1000", "qx-2.9.1000.bin"},
  });
  desc.images = {{"qx-2.10.700.bin", "QRV22", "2.10.700"}, {"qx-2.9.1000.bin", "QRV22", "2.9.1000"}};
  sim::SimHost host(desc);
  // 2.10.700 is numerically newer than the installed 2.9.1000, so -s flashes;
  // but the image burned is the one that sorts last by the ordering key.
  auto r = host.run({"-s"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(host.burns(),
            (std::vector<Argv>{burn_of("0000:81:00.0", "qx-2.9.1000.bin", true)}));
}

TEST(UpdateFailures, OneFailedAndOneSuccessfulBurnExitTwo) {
  auto desc = two_adapters();
  desc.functions[1].flash->fw = "2.36.5000";
  desc.functions[1].flash->burn = sim::BurnBehaviour::fail;
  sim::SimHost host(desc);
  auto r = host.run({}, "y\ny\n");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.out.find("\nNIC firmware update completed with errors. \n"), std::string::npos);
  EXPECT_EQ(r.out.find(kReboot), std::string::npos);
  std::string log = host.event_log();
  EXPECT_NE(log.find("Upgrade failed\n \n"), std::string::npos) << log;
  EXPECT_NE(log.find("Output of the failed burn of 0000:81:00.0 is kept in /tmp/data"),
            std::string::npos)
      << log;
}

TEST(UpdateFailures, KilledBurnCountsAsFailed) {
  auto desc = two_adapters();
  desc.functions[0].flash->burn = sim::BurnBehaviour::killed;
  sim::SimHost host(desc);
  auto r = host.run({"-s"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_EQ(host.burns().size(), 1u);
  std::string log = host.event_log();
  EXPECT_NE(log.find("was ended by signal 9"), std::string::npos) << log;
  EXPECT_NE(log.find("Upgrade failed\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Upgrade SUCCESS"), std::string::npos) << log;
}

// A flash utility that the shell can run (it answers the queries) but that
// cannot be executed directly, as the burn does: a script without "#!".
TEST(UpdateFailures, UtilityThatCannotBeExecutedCountsAsFailed) {
  auto desc = two_adapters();
  sim::SimHost host(desc);
  host.write_file("nic_fw/pyxflash",
                  "case \"$2\" in\n"
                  "  0000:05:00.0) echo 'FW Version:   16.35.1012'; echo 'PSID:   QRV11';"
                  " echo 'Base MAC:  0002c9aabb11  4';;\n"
                  "  *) echo 'FW Version:   2.42.5000'; echo 'PSID:   QRV22';;\n"
                  "esac\n");
  host.run_shell("chmod 755 nic_fw/pyxflash");
  auto r = host.run({"-s"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(host.event_log().find("Upgrade failed\n"), std::string::npos);
}

TEST(UpdateFailures, LowerCaseMismatchIsReportedAsNotSupported) {
  auto desc = two_adapters();
  sim::SimHost host(desc);
  host.write_file("nic_fw/pyxflash",
                  "#!/bin/sh\n"
                  "if [ \"$#\" -ge 5 ]; then echo 'pyxflash: error: psid mismatch, the image is for another board';"
                  " exit 1; fi\n"
                  "case \"$2\" in\n"
                  "  0000:05:00.0) echo 'FW Version:   16.35.1012'; echo 'PSID:   QRV11';;\n"
                  "  *) echo 'FW Version:   2.42.5000'; echo 'PSID:   QRV22';;\n"
                  "esac\n");
  host.run_shell("chmod 755 nic_fw/pyxflash");
  auto r = host.run({"-s"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  // The search command is echoed even in silent mode.
  EXPECT_NE(r.out.find("grep -i \"PSID Mismatch\" /tmp/data"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" > /dev/null \n"), std::string::npos) << r.out;
  EXPECT_NE(host.event_log().find("Fimware upgrade on this device is not supported\n \n"),
            std::string::npos)
      << host.event_log();
}

TEST(UpdateSecureBoot, BurnsRunTheSystemUtilityWithImagesFromComponent) {
  auto desc = two_adapters();
  desc.secure_boot = sim::SecureBoot::enabled;
  desc.qtk.present = true;
  desc.quarz.present = true;
  sim::SimHost host(desc);
  auto r = host.run({"-s"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  Argv expected = burn_of("0000:05:00.0", "qx50-2000.bin", true);
  expected[0] = "quarz";
  EXPECT_EQ(host.burns(), (std::vector<Argv>{expected}));
  // The queries ran the system utility too (through the shell, by path).
  for (const auto& call : host.journal()) EXPECT_EQ(call.at(0).find("pyxflash"), std::string::npos);
  EXPECT_EQ(host.journal().front().at(0), "/usr/bin/quarz");
}

TEST(Update, InventoryFailurePassesItsResultThrough) {
  sim::HostSpec desc;
  desc.functions.push_back(testhost::other_vendor("0000:03:00.0"));
  desc.catalog_xml = catalog({});
  sim::SimHost host(desc);
  auto r = host.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nNIC firmware update did not complete.  Check log for errors. \n"),
            std::string::npos);
}
