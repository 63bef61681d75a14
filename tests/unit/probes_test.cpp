// Host probes: bus-address parsing, sorting, sysfs identifiers, and the flash
// utility's query run against a stand-in utility.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <pci/pci.h>
}

#include "common/common_utilities.h"
#include "common/flash_utility.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// pci_filter_parse_pciid

struct ParseCase {
  const char* text;
  const char* message;  // nullptr: success
  int domain, bus, slot, func;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParsePciid : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParsePciid, StoresFieldsUpToTheFailingOne) {
  const ParseCase& c = GetParam();
  pci_filter f;
  f.domain = f.bus = f.slot = f.func = -1;
  const char* msg = pci_filter_parse_pciid(&f, c.text);
  if (c.message == nullptr) {
    EXPECT_EQ(msg, nullptr) << msg;
  } else {
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(msg, c.message);
  }
  EXPECT_EQ(f.domain, c.domain);
  EXPECT_EQ(f.bus, c.bus);
  EXPECT_EQ(f.slot, c.slot);
  EXPECT_EQ(f.func, c.func);
}

constexpr const char* kMissing = "Invalid input. Either colon or dot missing!";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, ParsePciid,
    ::testing::Values(
        ParseCase{"0000:81:00.0", nullptr, 0, 0x81, 0, 0},
        ParseCase{"00ff:0a:1f.7", nullptr, 0xff, 0x0a, 0x1f, 7},
        ParseCase{"0000:81:20.0", "Invalid slot number", 0, 0x81, -1, -1},
        ParseCase{"0000:81:00.8", "Invalid function number", 0, 0x81, 0, -1},
        ParseCase{"0000:81:00.-1", "Invalid function number", 0, 0x81, 0, -1},
        ParseCase{"0000:81:00", kMissing, 0, 0x81, -1, -1},
        ParseCase{"0000", kMissing, 0, -1, -1, -1},
        ParseCase{"", kMissing, -1, -1, -1, -1},
        ParseCase{"0000:81:1f.*", nullptr, 0, 0x81, 0x1f, -1},
        ParseCase{"0000:81:*.1", nullptr, 0, 0x81, -1, 1},
        ParseCase{"0000:81:.", nullptr, 0, 0x81, -1, -1},
        ParseCase{"0100:81:00.0", "Invalid domain number", -1, -1, -1, -1},
        ParseCase{"ffff:81:00.0", "Invalid domain number", -1, -1, -1, -1},
        ParseCase{"0000:-1:00.0", "Invalid bus number", 0, -1, -1, -1},
        // Fields are found by position: the domain is not optional.
        ParseCase{"03:00.0", nullptr, 3, 0, 0, 0},
        // No hexadecimal digits read as 0.
        ParseCase{"0000:zz:00.0", nullptr, 0, 0, 0, 0},
        // A slot field longer than two characters is refused, not clipped.
        ParseCase{"0000:81:100.0", "Invalid slot number", 0, 0x81, -1, -1},
        ParseCase{"0000:81:0001.0", "Invalid slot number", 0, 0x81, -1, -1},
        // A dot before the last colon leaves no slot field.
        ParseCase{"0000.81:00:0", kMissing, 0, 0, -1, -1},
        // A function too large for a long must not wrap into range.
        ParseCase{"0000:81:00.10000000000000001", "Invalid function number", 0, 0x81, 0, -1}));
// clang-format on

// ---------------------------------------------------------------------------
// cmp_pci_id_nums

TEST(CmpPciIdNums, SortsAddressesNumericallyIgnoringCase) {
  std::vector<const char*> ids = {"0000:81:00.0", "0000:0B:00.0", "0000:05:00.1",
                                  "0001:00:00.0", "0000:0a:00.0", "0000:05:00.0"};
  std::qsort(ids.data(), ids.size(), sizeof(const char*), cmp_pci_id_nums);
  std::vector<std::string> got(ids.begin(), ids.end());
  EXPECT_EQ(got, (std::vector<std::string>{"0000:05:00.0", "0000:05:00.1", "0000:0a:00.0",
                                           "0000:0B:00.0", "0000:81:00.0", "0001:00:00.0"}));
}

TEST(CmpPciIdNums, EqualIgnoringCase) {
  const char* a = "0000:AB:00.0";
  const char* b = "0000:ab:00.0";
  EXPECT_EQ(cmp_pci_id_nums(&a, &b), 0);
}

// ---------------------------------------------------------------------------
// get_pci_info

TEST(GetPciInfo, EmptyOrNullAddressFailsSilentlyAndLeavesOutputs) {
  for (const char* addr : {static_cast<const char*>(nullptr), ""}) {
    int32_t v = 11, d = 12, sv = 13, sd = 14;
    testhost::OutputCapture out(STDOUT_FILENO), err(STDERR_FILENO);
    EXPECT_EQ(get_pci_info(addr, &v, &d, &sv, &sd), 1);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(v, 11);
    EXPECT_EQ(d, 12);
    EXPECT_EQ(sv, 13);
    EXPECT_EQ(sd, 14);
  }
}

TEST(GetPciInfo, MissingDeviceNamesItsVendorFile) {
  // Addresses of no device, the second far longer than any fixed path buffer.
  const std::string long_addr = "ffff:ff:1f.7" + std::string(300, '7');
  for (const std::string& addr : {std::string("ffff:ff:1f.7"), long_addr}) {
    int32_t v = 11, d = 12, sv = 13, sd = 14;
    testhost::OutputCapture err(STDERR_FILENO);
    EXPECT_EQ(get_pci_info(addr.c_str(), &v, &d, &sv, &sd), 1);
    EXPECT_EQ(err.text(), "ERROR: could not open /sys/bus/pci/devices/" + addr +
                              "/vendor (errno=2), common_utilities,700\n");
    EXPECT_EQ(v, 11);
    EXPECT_EQ(sd, 14);
  }
}

// ---------------------------------------------------------------------------
// get_firmware_info against a stand-in for the shipped flash utility.
//
// The query runs "./nic_fw/pyxflash" relative to the working directory, so
// each test works in a fresh directory holding a small shell script there.

class QueryDir : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    fs::create_directory(dir_ / "nic_fw");
  }

  // Installs nic_fw/pyxflash: it records its command line in "journal",
  // writes stdout_text to standard output and stderr_text to standard error.
  void install_utility(const std::string& stdout_text, const std::string& stderr_text = "",
                       const std::string& extra = "") {
    write("out.txt", stdout_text);
    write("err.txt", stderr_text);
    write("nic_fw/pyxflash",
          "#!/bin/sh\n"
          "echo \"$0 $*\" >> journal\n"
          "cat out.txt\n"
          "cat err.txt >&2\n" +
              extra);
    fs::permissions(dir_ / "nic_fw/pyxflash", fs::perms::owner_all);
  }

  void write(const std::string& rel, const std::string& content) {
    std::ofstream(dir_ / rel, std::ios::binary) << content;
  }
  std::string read(const std::string& rel) { return testhost::file_text(dir_ / rel); }

  testhost::ScratchDir scratch_{"vexor-probes"};
  const fs::path dir_ = scratch_.path();
  testhost::WorkingDir cwd_{dir_};
};

struct ExtractCase {
  const char* name;
  std::string out;
  std::string err;
  const char* label;
  int32_t rc;
  opt_text value;
};

void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }

class QueryExtract : public QueryDir, public ::testing::WithParamInterface<ExtractCase> {};

TEST_P(QueryExtract, ValueOfFirstLabelledLine) {
  const ExtractCase& c = GetParam();
  install_utility(c.out, c.err);
  opt_text value;
  EXPECT_EQ(get_firmware_info("0000:81:00.0", &value, c.label), c.rc);
  EXPECT_EQ(value, c.value);
}

const std::string kQuery =
    "Device:  0000:81:00.0\n"
    "Board name:  Quorvane test board\n"
    "FW Version:  16.35.2000\n"
    "Built on:  2026-03-12\n"
    "Base MAC:  0002c9aabbcc  4\n"
    "Flash size:  16 MiB\n"
    "PSID:  QRV0000000001\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, QueryExtract,
    ::testing::Values(
        ExtractCase{"Version", kQuery, "", "FW Version", 0, "16.35.2000"},
        ExtractCase{"Psid", kQuery, "", "PSID", 0, "QRV0000000001"},
        ExtractCase{"FirstMatchWins", "PSID: AAA\nPSID: BBB\n", "", "PSID", 0, "AAA"},
        // The first labelled line ends the search even when its value is empty.
        ExtractCase{"NothingAfterLabel", "PSID:\nFW Version: 1.2.3\n", "", "PSID", 1, ""},
        ExtractCase{"LabelMissing", "FW Version: 1.2.3\n", "", "PSID", 1, std::nullopt},
        ExtractCase{"NoOutput", "", "", "PSID", 1, std::nullopt},
        // The reader hands over a last line that has no newline.
        ExtractCase{"LastLineWithoutNewline", "FW Version: 1.2.3", "", "FW Version", 0, "1.2.3"},
        ExtractCase{"ErrorOutputMerged", "Board name:  Quorvane test board\n", "PSID: from stderr\n", "PSID", 0,
                    "fromstderr"},
        ExtractCase{"LongValueKeptWhole", "PSID: " + std::string(300, 'Q') + "\n", "", "PSID", 0,
                    std::string(300, 'Q')},
        ExtractCase{"LongLineBeforeLabel", std::string(2000, 'x') + "\nPSID: P1\n", "", "PSID",
                    0, "P1"}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(QueryDir, RunsShippedUtilityWithAddressAndQueryCommand) {
  install_utility("PSID: P1\n");
  opt_text value;
  ASSERT_EQ(get_firmware_info("0000:05:00.1", &value, "PSID"), 0);
  EXPECT_EQ(read("journal"), "./nic_fw/pyxflash -d 0000:05:00.1 q\n");
}

TEST_F(QueryDir, MissingUtilityIsAFailedQuery) {
  opt_text value;
  EXPECT_EQ(get_firmware_info("0000:81:00.0", &value, "PSID"), 1);
  EXPECT_EQ(value, std::nullopt);
}

TEST_F(QueryDir, AddressWithShellSyntaxNeverReachesTheShell) {
  install_utility("PSID: P1\n");
  opt_text value;
  EXPECT_EQ(get_firmware_info("0000:81:00.0; touch pwned", &value, "PSID"), 1);
  EXPECT_EQ(get_firmware_info("$(touch pwned)", &value, "PSID"), 1);
  EXPECT_EQ(value, std::nullopt);
  EXPECT_FALSE(fs::exists(dir_ / "pwned"));
  EXPECT_FALSE(fs::exists(dir_ / "journal"));
}

TEST_F(QueryDir, UtilityStillWritingAfterTheMatchDoesNotBlock) {
  // Far more than a pipe holds follows the labelled line; the call must
  // return rather than wait for a writer that nobody reads.
  install_utility("PSID: P1\n", "", "head -c 4000000 /dev/zero | tr '\\0' 'x'\n");
  opt_text value;
  EXPECT_EQ(get_firmware_info("0000:81:00.0", &value, "PSID"), 0);
  EXPECT_EQ(value, "P1");
}

}  // namespace
