// The discovery report writer (-d): the recommended version and action per
// adapter, and saving, where an old report only a complete new one replaces.
#include <gtest/gtest.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "main/vexor.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using testhost::file_text;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Best available version and recommended action of one adapter
// ---------------------------------------------------------------------------

struct ActionCase {
  const char* installed;
  std::vector<const char*> catalog;  // in catalog order
  const char* version;
  const char* action;
};

class ReportAction : public testhost::RunStateTestWithParam<ActionCase> {
 protected:
  static void fill(const char* installed, const std::vector<const char*>& catalog) {
    g_ninfo = {testhost::record_with_catalog(
        testhost::entries_with_roms({catalog.begin(), catalog.end()}))};
    nic_info& nic = g_ninfo[0];
    parseversions(installed, &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
  }
};

TEST_P(ReportAction, VersionFollowsTheOrderingKeyActionTheNumbers) {
  const ActionCase& c = GetParam();
  fill(c.installed, c.catalog);
  std::string version = "stale", action = "stale", active = "stale";
  build_XML_FW_item_version("ROM", version, 0);
  recommend_XML_FW_action("ROM", action, 0);
  build_XML_FW_item_active_version("ROM", active, 0);
  EXPECT_EQ(version, c.version) << "installed " << c.installed;
  EXPECT_EQ(action, c.action) << "installed " << c.installed;
  EXPECT_EQ(active, c.installed);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogs, ReportAction,
    ::testing::Values(
        // The four actions and the examples where version and action point at
        // different entries are in the document test further down.
        ActionCase{"2.42.5000", {"2.42.5001"}, "2.42.5001", "upgrade"},
        ActionCase{"2.42.5000", {"2.41.9999", "1.99.9999"}, "2.41.9999", "downgrade"},
        ActionCase{"16.35.1012", {"10.0.0", "16.35.1012"}, "16.35.1012", "rewrite"},
        // Numerically 10 is above 2, whatever the digit strings say.
        ActionCase{"2.9.1000", {"10.0.0"}, "10.0.0", "upgrade"}));

TEST_F(ReportAction, EveryCatalogEntryCountsHoweverManyMatched) {
  std::vector<std::string> texts;
  for (int i = 0; i < 59; ++i) texts.push_back("1.0." + std::to_string(i));
  texts.push_back("9.0.0");  // the 60th entry is the best by key and by number
  std::vector<const char*> catalog;
  for (const auto& t : texts) catalog.push_back(t.c_str());
  fill("2.0.0", catalog);
  std::string version, action;
  build_XML_FW_item_version("ROM", version, 0);
  recommend_XML_FW_action("ROM", action, 0);
  EXPECT_EQ(version, "9.0.0");
  EXPECT_EQ(action, "upgrade");
}

// ---------------------------------------------------------------------------
// Saving: the library's bytes, and nothing lost on failure
// ---------------------------------------------------------------------------

class SaveReport : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    ppyxflash_fout = std::tmpfile();
    ASSERT_NE(ppyxflash_fout, nullptr);

    // Non-ASCII text and characters that need escaping in an attribute.
    nic_info nic = testhost::record_with_catalog(
        {{"Carte r\xc3\xa9seau <QV> & \"dual\"", "1003", "QRV0000000001", "2.42.5000", "qv.bin"}},
        "0000:81:00.1");
    nic.ven_id = 0x15b3;
    nic.dev_id = 0x1003;
    nic.pcurrent_mac = "0002c9aabbcc4";
    nic.psid = "QRV0000000001";
    g_ninfo = {nic};
    g_nNics = 1;
  }

  static xml_doc_ptr document() {
    xml_doc_ptr doc;
    xml_writer_ptr writer;
    write_XML_start_elements(writer, doc);
    EXPECT_TRUE(writer && doc);
    write_XML_device_elements(writer.get(), 0);
    EXPECT_GE(xmlTextWriterEndDocument(writer.get()), 0);
    writer.reset();
    return doc;
  }

  std::string log() const { return testhost::stream_text(ppyxflash_fout); }

  std::vector<std::string> entries(const fs::path& d) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testhost::ScratchDir scratch_{"vexor-report-test"};
  const fs::path dir_ = scratch_.path();
};

TEST_F(SaveReport, WritesExactlyWhatTheLibraryWouldWrite) {
  xml_doc_ptr doc = document();
  const fs::path ours = dir_ / "ours.xml", library = dir_ / "library.xml";
  ASSERT_EQ(save_discovery_report(doc.get(), ours.string(), 1), 0) << log();
  ASSERT_GT(xmlSaveFileEnc(library.c_str(), doc.get(), "UTF-8"), 0);
  const std::string bytes = file_text(ours);
  EXPECT_EQ(bytes, file_text(library));
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << bytes;
  EXPECT_TRUE(
      has(bytes, "<product_id value=\"Carte r\xc3\xa9seau &lt;QV&gt; &amp; &quot;dual&quot;\"/>"))
      << bytes;
}

// A document short of the devices written (the library stops at a value it
// cannot take, and the rest is lost) never replaces a report.
TEST_F(SaveReport, IncompleteDocumentIsNotSaved) {
  const fs::path report = dir_ / "nicdiscovery.xml";
  std::ofstream(report) << "old report\n";
  xml_doc_ptr doc = document();
  EXPECT_EQ(save_discovery_report(doc.get(), report.string(), 2), 1);
  EXPECT_EQ(file_text(report), "old report\n");
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"nicdiscovery.xml"});
  EXPECT_TRUE(has(log(), "came out incomplete")) << log();
}

// What a value from outside becomes in the report: valid UTF-8 of
// characters XML allows is kept, every byte of an invalid sequence and every
// character XML does not allow is shown as '?'.
struct ValueCase {
  const char* name;
  std::string psid;
  std::string written;  // the attribute value as the file holds it
};

class SaveReportValue : public SaveReport, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(SaveReportValue, FileHoldsTheValueAsXmlCanHoldIt) {
  g_ninfo[0].psid = GetParam().psid;
  xml_doc_ptr doc = document();
  const fs::path report = dir_ / "r.xml";
  ASSERT_EQ(save_discovery_report(doc.get(), report.string(), 1), 0) << log();
  const std::string text = file_text(report);
  EXPECT_TRUE(has(text, "<firmware_id value=\"" + GetParam().written + "\"/>")) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, SaveReportValue,
    ::testing::Values(
        ValueCase{"TwoByteCharacter", "QRV\xc3\xa9", "QRV\xc3\xa9"},
        ValueCase{"FourByteCharacter", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        ValueCase{"DeleteAndC1Control", "a\x7f\xc2\x85", "a\x7f\xc2\x85"},
        ValueCase{"TabKeptAsAReference", "a\tb", "a&#9;b"},
        ValueCase{"StrayContinuationByte", "\x80QRV", "?QRV"},
        ValueCase{"OverlongSlash", "\xc0\xaf", "??"}, ValueCase{"Surrogate", "\xed\xa0\x80", "???"},
        ValueCase{"BeyondU10FFFF", "\xf4\x90\x80\x80", "????"},
        ValueCase{"FiveByteLead", "\xf8\x88\x80\x80\x80", "?????"},
        ValueCase{"CutShort", "QRV\xe2\x82", "QRV??"},
        ValueCase{"NonCharacters", "\xef\xbf\xbe\xef\xbf\xbf", "??"},
        ValueCase{"Controls", "\x01\x1f", "??"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
