// The inventory build seen from outside: vexor run on a simulated host, its
// console, exit status, event log and query-error file.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <regex>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using sim::Function;
using sim::HostSpec;
using testhost::CatalogEntry;
using testhost::count_of;
using testhost::other_vendor;

constexpr const char* kPsid = "QRV0000000001";
constexpr const char* kNotCompleted =
    "\nNIC firmware update did not complete.  Check log for errors. \n";
constexpr const char* kListHeading = " PCI-ID              \t\tNIC\n";

// A function of board 1003 as the flash utility reports it.
Function vendor_function(const std::string& address, std::optional<std::string> fw,
                         std::optional<std::string> psid,
                         std::optional<std::string> mac = "0002c9aabbcc") {
  return testhost::adapter(address, 0x1003, std::move(psid), std::move(fw), std::move(mac));
}

// A catalog entry of board devid whose image is named after the entry.
CatalogEntry catalog_entry(const std::string& name, const std::string& devid,
                           const std::string& psid, const std::string& rom) {
  return {name, devid, psid, rom, name + ".bin"};
}

HostSpec host_of(std::vector<Function> functions,
                 std::vector<CatalogEntry> entries = {
                     catalog_entry("CardA", "1003", kPsid, "2.42.5000")}) {
  return testhost::host_of(std::move(functions), entries);
}

std::string skip_line(const std::string& address) {
  return "Skipping interface " + address +
         " as it is the second device of Quorvane adapter with PSID " + kPsid + ".\n";
}

class Inventory : public testhost::HostTest {
 protected:
  // The query-error file this run left in the simulated /tmp.
  std::string error_file() {
    std::string found;
    int n = 0;
    for (const auto& path : testhost::files_named(host().tmp_dir(), "data")) {
      if (path.filename().string().size() == 10) {
        found = path.string();
        ++n;
      }
    }
    EXPECT_EQ(n, 1) << "query-error files in " << host().tmp_dir();
    return found;
  }
  std::string error_file_text() {
    std::string path = error_file();
    return path.empty() ? "" : testhost::file_text(path);
  }
};

TEST_F(Inventory, DualPortAdapterIsBuiltOnce) {
  auto r = run(host_of({vendor_function("0000:81:00.0", "2.36.5000", kPsid),
                        vendor_function("0000:82:00.0", "2.36.5000", kPsid)}),
               {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_of(r.out, skip_line("0000:82:00.0")), 1u) << r.out;
  EXPECT_EQ(count_of(r.out, kListHeading), 1u) << r.out;
  // Both functions were queried: three queries each.
  EXPECT_EQ(host().journal().size(), 6u);
}

TEST_F(Inventory, ThirdFunctionOfOneAdapterIsSkippedOncePerEarlierMatch) {
  auto r = run(host_of({vendor_function("0000:81:00.0", "2.36.5000", kPsid),
                        vendor_function("0000:82:00.0", "2.36.5000", kPsid),
                        vendor_function("0000:83:00.0", "2.36.5000", kPsid)}),
               {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_of(r.out, skip_line("0000:82:00.0")), 1u) << r.out;
  EXPECT_EQ(count_of(r.out, skip_line("0000:83:00.0")), 2u) << r.out;
  EXPECT_EQ(count_of(r.out, kListHeading), 1u) << r.out;
}

TEST_F(Inventory, SameMacWithAnotherPsidIsNotSkipped) {
  auto r = run(host_of({vendor_function("0000:81:00.0", "2.36.5000", kPsid),
                        vendor_function("0000:82:00.0", "2.36.5000", "QRV0000000002")}),
               {"-c"});
  EXPECT_EQ(count_of(r.out, "Skipping interface"), 0u) << r.out;
  EXPECT_EQ(count_of(r.out, kListHeading), 2u) << r.out;
}

TEST_F(Inventory, FunctionsWithoutPsidAreNeverSkippedAndLackData) {
  auto r = run(host_of({vendor_function("0000:81:00.0", "2.36.5000", std::nullopt),
                        vendor_function("0000:82:00.0", "2.36.5000", std::nullopt)}),
               {});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find(kNotCompleted), std::string::npos) << r.out;
  EXPECT_EQ(count_of(r.out, "Skipping interface"), 0u) << r.out;

  std::string errors = error_file_text();
  for (const char* address : {"0000:81:00.0", "0000:82:00.0"}) {
    EXPECT_EQ(count_of(errors,
                       std::string("\n\nFWUPG_ERROR: PSID or FW_Version is not found for ") +
                           address + " interface\n"),
              1u)
        << errors;
  }
  // One failed query (PSID) per function, naming the unit and a line.
  std::regex query_failure("\n\nFWUPG_ERROR: get_firmware_info filed RC = 1\ninventory,[0-9]+\n\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(errors.begin(), errors.end(), query_failure),
                          std::sregex_iterator()),
            2)
      << errors;
}

TEST_F(Inventory, AllVendorFunctionsWithoutFirmwareVersionFail) {
  auto r = run(host_of({vendor_function("0000:81:00.0", std::nullopt, kPsid, "0002c9000001"),
                        vendor_function("0000:82:00.0", std::nullopt, kPsid, "0002c9000002")}),
               {});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find(kNotCompleted), std::string::npos) << r.out;
}

TEST_F(Inventory, OneFunctionWithFirmwareVersionIsEnough) {
  auto r = run(host_of({vendor_function("0000:81:00.0", std::nullopt, kPsid, "0002c9000001"),
                        vendor_function("0000:82:00.0", "2.36.5000", kPsid, "0002c9000002")}),
               {"-d"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(count_of(host().read_file("nicdiscovery.xml"), "<device>"), 1u);
}

TEST_F(Inventory, OnlyOtherVendorsFindNothing) {
  auto r = run(host_of({other_vendor("0000:02:00.0"), other_vendor("0000:03:00.0")}), {});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("Interface 0000:02:00.0 is not Quorvane one.\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Interface 0000:03:00.0 is not Quorvane one.\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(kNotCompleted), std::string::npos) << r.out;
  EXPECT_TRUE(host().journal().empty()) << "other vendors' functions are never queried";
}

TEST_F(Inventory, NumericVendorNameCountsAsTheVendor) {
  HostSpec desc = host_of({vendor_function("0000:81:00.0", "2.36.5000", kPsid)});
  desc.vendor_names = {{0x1f1c, "Ostrova Systems"}};
  auto r = run(desc, {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("is not Quorvane one"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\\[0\\] 0000:81:00\\.0 [^\n]*15b3[^\n]*\n")))
      << r.out;
  EXPECT_EQ(count_of(r.out, kListHeading), 1u) << r.out;
}

TEST_F(Inventory, AdapterWithoutCatalogEntryIsStillUsable) {
  auto r = run(host_of({vendor_function("0000:81:00.0", "2.36.5000", kPsid)},
                       {catalog_entry("Other", "1017", kPsid, "16.35.1012")}),
               {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("      ROM       2.36.5000    ROM\t\tNothing\t\t\t0000:81:00.0\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(std::regex_search(
      host().event_log(),
      std::regex(
          "\\[ERROR\\]     \\[[^\\]]+\\] For 0000:81:00\\.0 no matching firmware file in XML\n")))
      << host().event_log();
}

TEST_F(Inventory, PrintsTheAdapterIdentity) {
  Function f = vendor_function("0000:81:00.0", "2.36.5000", kPsid);
  f.device = 0x1a2b;
  f.subsystem_device = 0x00ef;
  auto r = run(host_of({other_vendor("0000:02:00.0"), f}), {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;

  std::string errfile = error_file();
  std::string name = "/tmp/" + fs::path(errfile).filename().string();
  std::string expected =
      "List of Network Adapters detected on the Server.................\n"
      "[0] 0000:02:00.0 Ostrova Systems\n"
      "[1] 0000:81:00.0 Quorvane Technologies\n"
      "\nIf PSID or FW_Version is not found for some interfaces, please check " +
      name +
      "\n\n"
      "Interface 0000:02:00.0 is not Quorvane one.\n"
      "\nQuorvane card info for 0000:81:00.0 = FW_VERSION 2.36.5000, BUS_INFO 0000:81:00.0, "
      "PSID QRV0000000001\n"
      "0000:81:00.0\n"
      "DEVICE INFO---------->15b3 1a2b 15b3 ef\n"
      "pciIdString-------------->15B3-1A2B-15B3-00EF-QRV0000000001\n\n";
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  // Nothing failed, so the error file is there but empty.
  EXPECT_EQ(error_file_text(), "");
}

TEST_F(Inventory, LongPsidIsComparedWhole) {
  const std::string psid = "QRV00000000000000000000000000000000000042";  // 41 characters
  auto r = run(host_of({vendor_function("0000:81:00.0", "2.36.5000", psid)},
                       {catalog_entry("Cut", "1003", psid.substr(0, 29), "2.40.7000"),
                        catalog_entry("Whole", "1003", psid, "2.42.5000")}),
               {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("pciIdString-------------->15B3-1003-15B3-0050-" + psid + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("15B3-1003-15B3-0050 \tWhole \n\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("2.40.7000"), std::string::npos) << r.out;
}

TEST_F(Inventory, MissingCatalogEndsTheRun) {
  HostSpec desc = host_of({vendor_function("0000:81:00.0", "2.36.5000", kPsid)});
  desc.catalog_xml.reset();
  auto r = run(desc, {"-c"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(host().event_log().find("] Unable to open nic_fw/NICFWData.xml\n"), std::string::npos)
      << host().event_log();
}

}  // namespace
