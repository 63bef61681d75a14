// The firmware catalog reader: which elements match an adapter, what each
// match keeps, and how a broken or missing catalog ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "main/vexor.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;

// The adapter every test looks up: vendor 15B3, device 1003, subsystem
// 15B3/0050, PSID QRV0000000001.
constexpr const char* kAdapterId = "15B3-1003-15B3-0050-QRV0000000001";

// An element carrying the adapter's ids, with free subsystem values.
std::string matching(const std::string& name, const std::string& rom, const std::string& file) {
  return testhost::catalog_entry_xml({name, "1003", "QRV0000000001", rom, file, "0000", "0000"});
}

// Runs each test in a fresh directory holding nic_fw/, with one adapter
// record and an open event log.
class Catalog : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    fs::create_directory(dir_.path() / "nic_fw");
    ppyxflash_fout = std::fopen("pyxflash.log", "a");
    ASSERT_NE(ppyxflash_fout, nullptr);
    g_ninfo.assign(1, nic_info{});
    sub_ven_id_new = "15B3";
    sub_dev_id_new = "0050";
  }

  void write_catalog(const std::string& body) {
    std::ofstream(dir_.path() / "nic_fw" / "NICFWData.xml") << body;
  }
  void write_elements(const std::string& elements) {
    write_catalog(testhost::catalog_document(elements));
  }
  int read() {
    entries_.assign(MAX_FW_ENTRIES, XMLFW_INFO{});
    return read_NIC_FW_xml_file(kAdapterId, entries_);
  }
  int count() const { return g_ninfo[0].fw_count; }
  std::string log() const { return testhost::file_text(dir_.path() / "pyxflash.log"); }

  testhost::ScratchDir dir_{"vexor-catalog"};
  testhost::WorkingDir cwd_{dir_.path()};
  std::vector<XMLFW_INFO> entries_;
};

struct MatchCase {
  const char* what;
  const char* attributes;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.what; }

class CatalogMatching : public Catalog, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(CatalogMatching, JudgesOneElement) {
  write_elements(std::string("<fw ") + GetParam().attributes + " rom=\"2.42.5000\"/>\n");
  EXPECT_EQ(read(), GetParam().matches ? 1 : 0) << GetParam().what;
  EXPECT_EQ(count(), GetParam().matches ? 1 : 0) << GetParam().what;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rules, CatalogMatching,
    ::testing::Values(
        MatchCase{"exact ids, other subsystem values",
                  "venid=\"15B3\" devid=\"1003\" subvenid=\"FFFF\" PSID=\"QRV0000000001\" "
                  "subdevid=\"1234\"",
                  true},
        MatchCase{"empty subsystem values",
                  "venid=\"15B3\" devid=\"1003\" subvenid=\"\" PSID=\"QRV0000000001\" subdevid=\"\"",
                  true},
        MatchCase{"PSID before the ids",
                  "PSID=\"QRV0000000001\" devid=\"1003\" venid=\"15B3\" subvenid=\"x\" subdevid=\"y\"",
                  true},
        MatchCase{"lower-case vendor id",
                  "venid=\"15b3\" devid=\"1003\" subvenid=\"0\" PSID=\"QRV0000000001\" subdevid=\"0\"",
                  false},
        MatchCase{"three-digit device id",
                  "venid=\"15B3\" devid=\"003\" subvenid=\"0\" PSID=\"QRV0000000001\" subdevid=\"0\"",
                  false},
        MatchCase{"five-digit device id",
                  "venid=\"15B3\" devid=\"01003\" subvenid=\"0\" PSID=\"QRV0000000001\" "
                  "subdevid=\"0\"",
                  false},
        MatchCase{"leading blank",
                  "venid=\" 15B3\" devid=\"1003\" subvenid=\"0\" PSID=\"QRV0000000001\" "
                  "subdevid=\"0\"",
                  false},
        MatchCase{"trailing blank",
                  "venid=\"15B3\" devid=\"1003 \" subvenid=\"0\" PSID=\"QRV0000000001\" "
                  "subdevid=\"0\"",
                  false},
        MatchCase{"PSID in another case",
                  "venid=\"15B3\" devid=\"1003\" subvenid=\"0\" PSID=\"qrv0000000001\" subdevid=\"0\"",
                  false},
        MatchCase{"no subvenid",
                  "venid=\"15B3\" devid=\"1003\" PSID=\"QRV0000000001\" subdevid=\"0\"", false},
        MatchCase{"no PSID", "venid=\"15B3\" devid=\"1003\" subvenid=\"0\" subdevid=\"0\"", false},
        MatchCase{"no subdevid", "venid=\"15B3\" devid=\"1003\" subvenid=\"0\" PSID=\"QRV0000000001\"",
                  false},
        MatchCase{"attribute names are case-sensitive",
                  "VENID=\"15B3\" devid=\"1003\" subvenid=\"0\" PSID=\"QRV0000000001\" "
                  "subdevid=\"0\"",
                  false}));
// clang-format on

TEST_F(Catalog, MatchesKeepFileOrderWithTheirOwnVersionsAndImages) {
  write_elements(matching("first", "2.42.5000", "a.bin") +
                 testhost::catalog_entry_xml(
                     {"other", "1011", "QRV0000000001", "9.9.9", "other.bin", "0", "0"}) +
                 matching("second", "2.36.5000", "b.bin"));
  ASSERT_EQ(read(), 1);
  ASSERT_EQ(count(), 2);
  EXPECT_EQ(entries_[0].pxmlName, "first");
  EXPECT_EQ(entries_[0].pxmlRom, "2.42.5000");
  EXPECT_EQ(entries_[0].pxmlFwImage, "a.bin");
  EXPECT_EQ(entries_[1].pxmlName, "second");
  EXPECT_EQ(entries_[1].pxmlRom, "2.36.5000");
  EXPECT_EQ(entries_[1].pxmlFwImage, "b.bin");
  // Subsystem texts are the adapter's own, not the file's.
  EXPECT_EQ(entries_[1].pxmlSubVenId, "15B3");
  EXPECT_EQ(entries_[1].pxmlSubDevId, "0050");
  EXPECT_EQ(entries_[1].pxmlVenId, "15B3");
  EXPECT_EQ(entries_[1].pxmlPSID, "QRV0000000001");
  EXPECT_FALSE(entries_[2].pxmlName.has_value());
}

TEST_F(Catalog, RomBeforeSubdevidGoesToTheEntryAppendedBefore) {
  write_elements(
      "<fw rom=\"1.1.1\" fwFile=\"lost.bin\" name=\"n\" venid=\"15B3\" devid=\"1003\" "
      "subvenid=\"0\" PSID=\"QRV0000000001\" subdevid=\"0\"/>\n"
      "<fw rom=\"2.2.2\" name=\"m\" venid=\"15B3\" devid=\"1003\" subvenid=\"0\" "
      "PSID=\"QRV0000000001\" subdevid=\"0\"/>\n");
  ASSERT_EQ(read(), 1);
  ASSERT_EQ(count(), 2);
  EXPECT_EQ(entries_[0].pxmlRom, "2.2.2");  // the first one's own was lost
  EXPECT_FALSE(entries_[0].pxmlFwImage.has_value());
  EXPECT_FALSE(entries_[1].pxmlRom.has_value());
}

TEST_F(Catalog, ElementWithoutSubdevidOverwritesTheLastEntry) {
  write_elements(matching("first", "2.42.5000", "a.bin") +
                 "<fw name=\"notes\" rom=\"0.0.1\" fwFile=\"n/a\"/>\n");
  ASSERT_EQ(read(), 1);
  ASSERT_EQ(count(), 1);
  EXPECT_EQ(entries_[0].pxmlName, "first");
  EXPECT_EQ(entries_[0].pxmlRom, "0.0.1");
  EXPECT_EQ(entries_[0].pxmlFwImage, "n/a");
}

TEST_F(Catalog, ValuesCarryOverFromEarlierElements) {
  write_elements(matching("family", "2.42.5000", "a.bin") +
                 "<fw subvenid=\"0\" subdevid=\"0\" rom=\"2.40.7000\" fwFile=\"b.bin\"/>\n");
  ASSERT_EQ(read(), 1);
  ASSERT_EQ(count(), 2);
  EXPECT_EQ(entries_[1].pxmlName, "family");
  EXPECT_EQ(entries_[1].pxmlRom, "2.40.7000");
}

TEST_F(Catalog, UnrelatedAttributeOnTheRootIsIgnored) {
  write_catalog("<catalog version=\"7\" xmlns:x=\"urn:x\">\n" +
                matching("a", "2.42.5000", "a.bin") + "</catalog>\n");
  EXPECT_EQ(read(), 1);
  EXPECT_EQ(count(), 1);
}

TEST_F(Catalog, EmptyCatalogMatchesNothing) {
  write_catalog("<?xml version=\"1.0\"?>\n<catalog/>\n");
  EXPECT_EQ(read(), 0);
  EXPECT_EQ(count(), 0);
}

TEST_F(Catalog, MalformedCatalogKeepsTheEntriesBeforeTheError) {
  std::string filler;
  for (int i = 0; i < 400; ++i) filler += "<note text=\"padding padding padding\"/>\n";
  write_catalog("<catalog>\n" + matching("before", "2.42.5000", "a.bin") + filler + "<broken <<\n" +
                matching("after", "2.36.5000", "b.bin") + "</catalog>\n");
  EXPECT_EQ(read(), 1);
  ASSERT_EQ(count(), 1);
  EXPECT_EQ(entries_[0].pxmlName, "before");
}

TEST_F(Catalog, MissingCatalogLogsAndExits) {
  EXPECT_EXIT(read(), ::testing::ExitedWithCode(1), "");
  EXPECT_NE(log().find("[ERROR]     ["), std::string::npos) << log();
  EXPECT_NE(log().find("] Unable to open nic_fw/NICFWData.xml\n"), std::string::npos) << log();
}

TEST_F(Catalog, MatchesBeyondTheInventoryBufferAreDroppedWithAWarning) {
  std::string elements;
  for (int i = 0; i < MAX_FW_ENTRIES + 2; ++i) {
    elements += matching("n" + std::to_string(i), "1.1." + std::to_string(i), "f.bin");
  }
  elements += "<fw rom=\"9.9.9\" fwFile=\"late.bin\"/>\n";
  write_elements(elements);
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(count(), MAX_FW_ENTRIES);
  ASSERT_EQ(entries_.size(), static_cast<size_t>(MAX_FW_ENTRIES));
  EXPECT_EQ(entries_.back().pxmlName, "n99");
  EXPECT_EQ(entries_.back().pxmlRom, "1.1.99");
  EXPECT_EQ(entries_.back().pxmlFwImage, "f.bin");
  std::string text = log();
  EXPECT_NE(text.find("[WARNING]   ["), std::string::npos) << text;
  EXPECT_NE(text.find(kAdapterId), std::string::npos) << text;
  EXPECT_NE(text.find("first 100"), std::string::npos) << text;
  EXPECT_EQ(text.find("[WARNING]"), text.rfind("[WARNING]")) << "one line per reading";
}

TEST_F(Catalog, RecordOutsideTheInventoryCountsNothing) {
  write_elements(matching("a", "2.42.5000", "a.bin"));
  nic_count = 3;
  EXPECT_EQ(read(), 0);
  EXPECT_FALSE(entries_[0].pxmlName.has_value());
}

}  // namespace
