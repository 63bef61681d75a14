// Host probes seen through vexor on a simulated host: the enumeration and
// its order, the Secure Boot gate and the flash utility it picks, and the
// values the inventory takes from the utility's query output.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

// A function of the vendor as the flash utility reports it by default.
sim::Function vendor_function(const std::string& address, uint32_t pci_class = 0x020700) {
  sim::Function f = testhost::adapter(address, 0x1003, "QRV0000000001", "2.36.5000");
  f.pci_class = pci_class;
  return f;
}

sim::Function foreign_function(const std::string& address, uint16_t vendor, uint32_t pci_class) {
  sim::Function f = testhost::other_vendor(address);
  f.vendor = f.subsystem_vendor = vendor;
  f.pci_class = pci_class;
  return f;
}

using testhost::host_of;

// The "[i] address vendor" lines that follow the adapter list heading.
std::vector<std::string> listed(const std::string& out) {
  static const std::string heading =
      "List of Network Adapters detected on the Server.................\n";
  std::vector<std::string> lines;
  size_t pos = out.find(heading);
  if (pos == std::string::npos) return lines;
  std::istringstream in(out.substr(pos + heading.size()));
  std::string line;
  while (std::getline(in, line) && line.rfind('[', 0) == 0) lines.push_back(line);
  return lines;
}

// The addresses the flash utility was queried for, with the program that ran.
std::vector<std::string> queries(const sim::SimHost& host) {
  std::vector<std::string> q;
  for (const auto& argv : host.journal()) {
    if (argv.size() == 4 && argv[3] == "q") q.push_back(argv[0] + " " + argv[2]);
  }
  return q;
}

using OnSimHost = testhost::HostTest;

using SimEnumeration = OnSimHost;

TEST_F(SimEnumeration, SortedOnePerPhysicalDeviceWhateverTheDeclaredOrder) {
  // Declared from the highest address down, functions of a device last-first.
  auto r = run(host_of({vendor_function("0100:02:00.1"), vendor_function("0100:02:00.0"),
                        vendor_function("0000:81:00.1"), vendor_function("0000:81:00.0"),
                        foreign_function("0000:06:00.1", 0x1f1c, 0x020000),
                        foreign_function("0000:06:00.0", 0x1f1c, 0x010802),
                        foreign_function("0000:05:00.0", 0x1d0f, 0x028000),
                        vendor_function("0000:04:00.0", 0x0c0600),
                        foreign_function("0000:03:00.0", 0x1f1c, 0x010802)}),
               {"-c"});
  const std::vector<std::string> lines = listed(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out << r.err;
  EXPECT_EQ(lines[0], "[0] 0000:04:00.0 Quorvane Technologies");
  // A vendor missing from the ID database shows libpci's numeric fallback.
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[1\] 0000:05:00\.0 .*1d0f.*)")))
      << lines[1];
  // The lowest function of a matching class, not function 0 of the device.
  EXPECT_EQ(lines[2], "[2] 0000:06:00.1 Ostrova Systems");
  EXPECT_EQ(lines[3], "[3] 0000:81:00.0 Quorvane Technologies");
  // Only the kept function of a dual-port adapter is queried; nothing in
  // domain 0x0100 is.
  std::vector<std::string> q = queries(host());
  std::sort(q.begin(), q.end());
  q.erase(std::unique(q.begin(), q.end()), q.end());
  EXPECT_EQ(q, (std::vector<std::string>{"./nic_fw/pyxflash 0000:04:00.0",
                                         "./nic_fw/pyxflash 0000:81:00.0"}));
}

TEST_F(SimEnumeration, NoDeviceOfTheFourClasses) {
  auto r = run(host_of({foreign_function("0000:03:00.0", 0x1f1c, 0x010802),
                        foreign_function("0000:04:00.0", 0x15b3, 0x0c0300)}),
               {"-c"});
  EXPECT_NE(r.out.find("NO Interface Found\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("get_interface_list filed RC = 1\n"), std::string::npos) << r.err;
  EXPECT_TRUE(listed(r.out).empty()) << r.out;
  EXPECT_TRUE(host().journal().empty());
}

TEST_F(SimEnumeration, EveryDeviceAndWholeVendorNameBeyondOldLimits) {
  std::vector<sim::Function> functions;
  for (int bus = 1; bus <= 120; ++bus) {
    char addr[16];
    std::snprintf(addr, sizeof addr, "0000:%02x:00.0", bus);
    functions.push_back(foreign_function(addr, 0x1f1c, 0x020000));
  }
  sim::HostSpec desc = host_of(functions);
  const std::string long_name =
      "Ostrova Systems Advanced Network Fabric Products Division GmbH & Co";
  desc.vendor_names = {{0x15b3, "Quorvane Technologies"}, {0x1f1c, long_name}};
  auto r = run(desc, {"-c"});
  const std::vector<std::string> lines = listed(r.out);
  ASSERT_EQ(lines.size(), 120u) << r.out;
  // So many entries come out of the directory scan in no useful order; the
  // list is in address order all the same.
  for (int i = 0; i < 120; ++i) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "[%d] 0000:%02x:00.0 ", i, i + 1);
    EXPECT_EQ(lines[static_cast<size_t>(i)], expected + long_name);
  }
}

struct GateCase {
  const char* name;
  sim::SecureBoot secure_boot;
  sim::Tool qtk;
  sim::Tool quarz;
  int status;
  std::vector<std::string> out_in_order;  // texts that appear in this order
  const char* utility;                    // program of the queries, or null: none ran
};

void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

using SimGate = testhost::HostTestWithParam<GateCase>;

constexpr const char* kToolsMissing =
    "SecureBoot is enabled. qtk and quarz tools are not available/installed for firmware flash.\n";

TEST_P(SimGate, OutcomeAndUtilityOfTheRun) {
  const GateCase& c = GetParam();
  sim::HostSpec desc = host_of({vendor_function("0000:81:00.0")});
  desc.secure_boot = c.secure_boot;
  desc.qtk = c.qtk;
  desc.quarz = c.quarz;
  auto r = run(desc, {"-c"});
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  size_t pos = 0;
  for (const std::string& text : c.out_in_order) {
    size_t found = r.out.find(text, pos);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << text << "\n" << r.out;
    pos = found + text.size();
  }
  const std::vector<std::string> q = queries(host());
  if (c.utility == nullptr) {
    EXPECT_TRUE(q.empty());
    EXPECT_TRUE(listed(r.out).empty()) << r.out;
  } else {
    ASSERT_EQ(q.size(), 3u);
    for (const std::string& one : q) EXPECT_EQ(one, std::string(c.utility) + " 0000:81:00.0");
  }
  if (c.status != 0) {
    EXPECT_EQ(r.out.find("SecureBoot is disabled."), std::string::npos) << r.out;
  }
  // The gate prints an error only where one is expected above.
  const bool error_expected =
      std::any_of(c.out_in_order.begin(), c.out_in_order.end(),
                  [](const std::string& t) { return t.find("ERROR") != std::string::npos; });
  if (!error_expected) {
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  }
}

const sim::Tool kPresent{true, 0};
const sim::Tool kAbsent{false, 0};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SimGate,
    ::testing::Values(
        GateCase{"MokutilAbsent", sim::SecureBoot::absent, kPresent, kPresent, 0,
                 {"SecureBoot is disabled.\n"}, "./nic_fw/pyxflash"},
        GateCase{"Disabled", sim::SecureBoot::disabled, kPresent, kPresent, 0,
                 {"SecureBoot is disabled.\n"}, "./nic_fw/pyxflash"},
        GateCase{"Unreadable", sim::SecureBoot::garbage, kAbsent, kAbsent, 0,
                 {"SecureBoot is disabled.\n"}, "./nic_fw/pyxflash"},
        GateCase{"EnabledWithTools", sim::SecureBoot::enabled, kPresent, kPresent, 0,
                 {"SecureBoot is enabled.\n"}, "/usr/bin/quarz"},
        // Only status 127 means a missing tool; other failures go on.
        GateCase{"EnabledServiceToolFails", sim::SecureBoot::enabled, sim::Tool{true, 3},
                 kPresent, 0, {"SecureBoot is enabled.\n"}, "/usr/bin/quarz"},
        GateCase{"EnabledServiceToolMissing", sim::SecureBoot::enabled, kAbsent, kPresent, 1,
                 {"\nERROR: \"/usr/bin/qtk status\" command not found.\n", kToolsMissing},
                 nullptr},
        GateCase{"EnabledServiceToolNotFoundStatus", sim::SecureBoot::enabled,
                 sim::Tool{true, 127}, kPresent, 1,
                 {"\nERROR: \"/usr/bin/qtk status\" command not found.\n", kToolsMissing},
                 nullptr},
        GateCase{"EnabledFlashUtilityMissing", sim::SecureBoot::enabled, kPresent, kAbsent, 1,
                 {kToolsMissing}, nullptr}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });
// clang-format on

struct SimQueryCase {
  const char* name;
  sim::Adapter adapter;
  std::string psid_shown;  // PSID in the adapter identity line
  int failed_queries;      // "get_firmware_info filed" entries in the error file
};

void PrintTo(const SimQueryCase& c, std::ostream* os) { *os << c.name; }

class SimQuery : public testhost::HostTestWithParam<SimQueryCase> {
 protected:
  std::string error_file_text() {
    const auto files = testhost::files_named(host().tmp_dir(), "data");
    return files.empty() ? "" : testhost::file_text(files.front());
  }
};

sim::Adapter adapter_with(std::optional<std::string> psid, std::string query_error = "") {
  sim::Adapter a = testhost::flash_state(std::move(psid), "2.36.5000");
  a.query_error = std::move(query_error);
  return a;
}

using testhost::count_of;

TEST_P(SimQuery, ValueTheInventorySees) {
  const SimQueryCase& c = GetParam();
  sim::Function f = vendor_function("0000:81:00.0");
  f.flash = c.adapter;
  auto r = run(host_of({f}), {"-c"});
  EXPECT_NE(r.out.find("\nQuorvane card info for 0000:81:00.0 = FW_VERSION 2.36.5000, BUS_INFO "
                       "0000:81:00.0, PSID " +
                       c.psid_shown + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(count_of(error_file_text(), "get_firmware_info filed RC = 1"),
            static_cast<size_t>(c.failed_queries))
      << error_file_text();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SimQuery,
    ::testing::Values(
        SimQueryCase{"Plain", adapter_with("QRV0000000001"), "QRV0000000001", 0},
        SimQueryCase{"BlanksInsideDropped", adapter_with("QRV 0000 01"), "QRV000001", 0},
        // A tab stays in the value; the message shows it as an escape.
        SimQueryCase{"TabsKept", adapter_with("QRV\t01"), "QRV\\t01", 0},
        // Nothing after the label: an empty value, and a failed query.
        SimQueryCase{"NothingAfterLabel", adapter_with(""), "", 1},
        // The error text goes to standard error; it is searched all the same,
        // and of two PSID lines the first wins. No Base MAC line at all.
        SimQueryCase{"ErrorOutputMergedFirstLineWins",
                     adapter_with("unused", "FW Version: 2.36.5000\nPSID: FIRST\nPSID: SECOND"),
                     "FIRST", 1}),
    [](const ::testing::TestParamInfo<SimQueryCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(OnSimHost, BaseMacJoinsTheTrailingCount) {
  auto r = run(host_of({vendor_function("0000:81:00.0")}), {"-d"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(host().read_file("nicdiscovery.xml").find("<macaddress value=\"0002c9aabbcc4\"/>"),
            std::string::npos)
      << host().read_file("nicdiscovery.xml");
}

}  // namespace
