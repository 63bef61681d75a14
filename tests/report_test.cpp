// The discovery report writer (-d): the document, the recommended action per
// adapter, and an old report that only a complete new one replaces.
#include <gtest/gtest.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "main/vexor.h"
#include "sim/simhost.h"
#include "tests/host_builders.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

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

class ReportAction : public ::testing::TestWithParam<ActionCase> {
 protected:
  void SetUp() override { g_ninfo.assign(1, nic_info{}); }
  void TearDown() override { g_ninfo.clear(); }

  static void fill(const char* installed, const std::vector<const char*>& catalog) {
    nic_info& nic = g_ninfo[0];
    nic.flags = NIC_USABLE;
    parseversions(installed, &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
    for (const char* v : catalog) {
      uint32_t a, b, c;
      parseversions(v, &a, &b, &c);
      nic.uFwROMmaj.push_back(a);
      nic.uFwROMmin.push_back(b);
      nic.uFwROMrel.push_back(c);
    }
    nic.fw_count = static_cast<int>(catalog.size());
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

class SaveReport : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vexor-report-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    ppyxflash_fout = std::tmpfile();
    ASSERT_NE(ppyxflash_fout, nullptr);

    nic_info nic;
    nic.flags = NIC_USABLE;
    nic.pbus_info = "0000:81:00.1";
    nic.ven_id = 0x15b3;
    nic.dev_id = 0x1003;
    nic.pcurrent_mac = "0002c9aabbcc4";
    nic.psid = "QRV0000000001";
    // Non-ASCII text and characters that need escaping in an attribute.
    nic.pxmlName = {std::string("Carte r\xc3\xa9seau <QV> & \"dual\"")};
    nic.fw_count = 1;
    nic.uFwROMmaj = {2};
    nic.uFwROMmin = {42};
    nic.uFwROMrel = {5000};
    g_ninfo = {nic};
    g_nNics = 1;
  }
  void TearDown() override {
    std::fclose(ppyxflash_fout);
    ppyxflash_fout = nullptr;
    g_ninfo.clear();
    g_nNics = 0;
    std::error_code ec;
    fs::remove_all(dir_, ec);
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

  std::string log() const {
    std::fflush(ppyxflash_fout);
    std::rewind(ppyxflash_fout);
    std::string text;
    for (int c; (c = std::fgetc(ppyxflash_fout)) != EOF;) text += static_cast<char>(c);
    return text;
  }

  std::vector<std::string> entries(const fs::path& d) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(SaveReport, WritesExactlyWhatTheLibraryWouldWrite) {
  xml_doc_ptr doc = document();
  const fs::path ours = dir_ / "ours.xml", library = dir_ / "library.xml";
  ASSERT_EQ(save_discovery_report(doc.get(), ours.string()), 0) << log();
  ASSERT_GT(xmlSaveFileEnc(library.c_str(), doc.get(), "UTF-8"), 0);
  const std::string bytes = slurp(ours);
  EXPECT_EQ(bytes, slurp(library));
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << bytes;
  EXPECT_TRUE(has(bytes, "<product_id value=\"Carte r\xc3\xa9seau &lt;QV&gt; &amp; &quot;dual&quot;\"/>"))
      << bytes;
}

TEST_F(SaveReport, ReplacesTheOldReportAndLeavesNothingElse) {
  const fs::path report = dir_ / "nicdiscovery.xml";
  std::ofstream(report) << "old report\n";
  xml_doc_ptr doc = document();
  ASSERT_EQ(save_discovery_report(doc.get(), report.string()), 0) << log();
  EXPECT_TRUE(has(slurp(report), "<busnumber value=\"0000:81\"/>"));
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"nicdiscovery.xml"});

  // The mode of a plainly created file, not the temporary file's 0600.
  mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(report.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(SaveReport, FailureIsLoggedAndKeepsWhatWasThere) {
  xml_doc_ptr doc = document();

  // The report's directory does not exist: nothing can be created there.
  const fs::path missing = dir_ / "no-such-dir" / "report.xml";
  EXPECT_EQ(save_discovery_report(doc.get(), missing.string()), 1);
  std::string text = log();
  EXPECT_TRUE(has(text, ERROR_TAG)) << text;
  EXPECT_TRUE(has(text, missing.string())) << text;
  EXPECT_TRUE(has(text, std::strerror(ENOENT))) << text;

  // The report's name is taken by a directory: the rename fails after the
  // whole document was written; the temporary file must go.
  const fs::path taken = dir_ / "taken";
  fs::create_directories(taken / "inside");
  EXPECT_EQ(save_discovery_report(doc.get(), taken.string()), 1);
  EXPECT_TRUE(fs::is_directory(taken / "inside"));
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"taken"});
  text = log();
  EXPECT_TRUE(has(text, taken.string())) << text;
}

// ---------------------------------------------------------------------------
// The report on a simulated host
// ---------------------------------------------------------------------------

sim::Function quorvane(const std::string& address, uint16_t device,
                       std::vector<std::string> interfaces, const std::string& fw,
                       const std::string& psid, const std::string& mac) {
  sim::Function f;
  f.address = address;
  f.device = device;
  f.interfaces = std::move(interfaces);
  sim::Adapter a;
  a.fw = fw;
  a.psid = psid;
  a.mac = mac;
  f.flash = a;
  return f;
}

sim::Function ostrova(const std::string& address) {
  sim::Function f;
  f.address = address;
  f.vendor = 0x1f1c;
  f.device = 0x0042;
  f.subsystem_vendor = 0x1f1c;
  f.subsystem_device = 0x0001;
  f.pci_class = 0x020000;
  f.interfaces = {"eno1"};
  return f;
}

std::string catalog_entry(const std::string& name, const std::string& devid,
                          const std::string& psid, const std::string& rom,
                          const std::string& file) {
  return "  <Firmware name=\"" + name + "\" venid=\"15B3\" devid=\"" + devid +
         "\" subvenid=\"15B3\" PSID=\"" + psid + "\" subdevid=\"0050\" rom=\"" + rom +
         "\" fwFile=\"" + file + "\"/>\n";
}

// Four adapters, one per action, and another vendor's NIC:
//  04:00.0 installed 2.42.5000, catalog 2.9.1000 and 2.42.5000 -> rewrite
//  05:00.0 installed 2.10.0, catalog 2.9.9 and 2.10.1 -> upgrade, two names
//  81:00.0 installed 2.10.0, catalog 2.9.9 -> downgrade
//  af:00.0 no catalog entry, no interface -> Nothing
sim::HostSpec several_adapters() {
  sim::HostSpec desc;
  desc.functions = {
      ostrova("0000:02:00.0"),
      quorvane("0000:04:00.0", 0x1003, {"ib0"}, "2.42.5000", "QRV0000000004", "0002c9000004"),
      // Created in this order; ls lists enp5s0 first.
      quorvane("0000:05:00.0", 0x1007, {"ib5", "enp5s0"}, "2.10.0", "QRV0000000005",
               "0002c9000005"),
      quorvane("0000:81:00.0", 0x1017, {"ens81f0"}, "2.10.0", "QRV0000000081", "0002c9000081"),
      quorvane("0000:af:00.0", 0x1003, {}, "2.36.5000", "QRV00000000AF", "0002c90000af"),
  };
  desc.catalog_xml =
      "<?xml version=\"1.0\"?>\n<NICFWData>\n" +
      catalog_entry("QV-A", "1003", "QRV0000000004", "2.9.1000", "qva-2.9.1000.bin") +
      catalog_entry("QV-A", "1003", "QRV0000000004", "2.42.5000", "qva-2.42.5000.bin") +
      catalog_entry("QV-B", "1007", "QRV0000000005", "2.9.9", "qvb-2.9.9.bin") +
      catalog_entry("QV-B", "1007", "QRV0000000005", "2.10.1", "qvb-2.10.1.bin") +
      catalog_entry("QV-C", "1017", "QRV0000000081", "2.9.9", "qvc-2.9.9.bin") + "</NICFWData>\n";
  desc.images = {{"qva-2.9.1000.bin", "QRV0000000004", "2.9.1000"},
                 {"qva-2.42.5000.bin", "QRV0000000004", "2.42.5000"},
                 {"qvb-2.9.9.bin", "QRV0000000005", "2.9.9"},
                 {"qvb-2.10.1.bin", "QRV0000000005", "2.10.1"},
                 {"qvc-2.9.9.bin", "QRV0000000081", "2.9.9"}};
  return desc;
}

std::string expected_device(const std::string& device_id, const std::string& devid,
                            const std::string& mac, const std::string& product,
                            const std::string& bus, const std::string& psid,
                            const std::string& version, const std::string& active,
                            const std::string& action) {
  return "        <device>\n"
         "            <device_id value=\"" + device_id + "\"/>\n"
         "            <venid value=\"15B3\"/>\n"
         "            <devid value=\"" + devid + "\"/>\n"
         "            <subvenid value=\"15B3\"/>\n"
         "            <subdevid value=\"0050\"/>\n"
         "            <macaddress value=\"" + mac + "\"/>\n"
         "            <product_id value=\"" + product + "\"/>\n"
         "            <busnumber value=\"" + bus + "\"/>\n"
         "            <devicenumber value=\"00\"/>\n"
         "            <funcnumber value=\"0\"/>\n"
         "            <slotnumber value=\"\"/>\n"
         "            <nictype value=\"QUORVANE\"/>\n"
         "            <fw_item>\n"
         "                <type value=\"ROM\"/>\n"
         "                <firmware_id value=\"" + psid + "\"/>\n"
         "                <version value=\"" + version + "\"/>\n"
         "                <active_version value=\"" + active + "\"/>\n"
         "                <action value=\"" + action + "\"/>\n"
         "                <duration value=\"210\"/>\n"
         "                <message value=\"\"/>\n"
         "                <shared value=\"no\"/>\n"
         "            </fw_item>\n"
         "        </device>\n";
}

using DiscoveryReport = testhost::HostTest;

TEST_F(DiscoveryReport, DocumentForSeveralAdapters) {
  sim::SimHost& h = host(several_adapters());
  sim::RunResult r = h.run({"-d"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<zk_rom_discovery version=\"2.0.0.0\">\n"
      "    <type value=\"QUORVANE_NIC\"/>\n"
      "    <alt_name value=\"Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for "
      "Linux\"/>\n"
      "    <version value=\"1.0.0\"/>\n"
      "    <takes_effect value=\"reboot\"/>\n"
      "    <devices>\n" +
      expected_device("ib0", "1003", "0002c90000044", "QV-A", "0000:04", "QRV0000000004",
                      "2.9.1000", "2.42.5000", "rewrite") +
      expected_device("enp5s0", "1007", "0002c90000054", "QV-B", "0000:05", "QRV0000000005",
                      "2.9.9", "2.10.0", "upgrade") +
      expected_device("ens81f0", "1017", "0002c90000814", "QV-C", "0000:81", "QRV0000000081",
                      "2.9.9", "2.10.0", "downgrade") +
      expected_device("", "1003", "0002c90000af4", "", "0000:af", "QRV00000000AF", "",
                      "2.36.5000", "Nothing") +
      "    </devices>\n"
      "</zk_rom_discovery>\n";
  EXPECT_EQ(h.read_file("nicdiscovery.xml"), expected);
  // The adapter without an interface is reported with an empty device_id.
  EXPECT_TRUE(has(h.event_log(),
                  "deviceId:write_XML_device_elements: Error at xmlTextWriterStartElement\n"))
      << h.event_log();
  EXPECT_TRUE(h.burns().empty());
}

TEST_F(DiscoveryReport, ReportNamedOnTheCommandLine) {
  sim::SimHost& h = host(several_adapters());
  sim::RunResult r = h.run({"-d", "site-report.xml"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(h.read_file("site-report.xml"), "<firmware_id value=\"QRV0000000081\"/>"));
  EXPECT_FALSE(fs::exists(fs::path(h.component_dir()) / "nicdiscovery.xml"));
}

struct NoAdapterCase {
  const char* name;
  bool vendor_adapter_without_psid;
};

class DiscoveryWithoutUsableAdapter : public DiscoveryReport,
                                      public ::testing::WithParamInterface<NoAdapterCase> {};

TEST_P(DiscoveryWithoutUsableAdapter, ExitsWithTwoAndKeepsTheOldReport) {
  sim::HostSpec desc;
  desc.functions = {ostrova("0000:02:00.0")};
  if (GetParam().vendor_adapter_without_psid) {
    sim::Function f = quorvane("0000:81:00.0", 0x1003, {"ib0"}, "2.42.5000", "x", "0002c9000081");
    f.flash->psid = std::nullopt;
    desc.functions.push_back(f);
  }
  desc.catalog_xml = "<NICFWData/>\n";
  sim::SimHost& h = host(desc);
  h.write_file("nicdiscovery.xml", "the old report\n");
  sim::RunResult r = h.run({"-d"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_EQ(h.read_file("nicdiscovery.xml"), "the old report\n");
}

INSTANTIATE_TEST_SUITE_P(Hosts, DiscoveryWithoutUsableAdapter,
                         ::testing::Values(NoAdapterCase{"OnlyAnotherVendor", false},
                                           NoAdapterCase{"AdapterWithoutPsid", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The old report survives a save that cannot complete. Each setup mounts a
// file system inside the run's namespace and runs vexor in the same shell.
struct SaveFailureCase {
  const char* name;
  const char* setup;  // prepares dir/ with dir/r.xml holding "old"
  const char* error;  // errno text expected in the log
};

class DiscoverySaveFailure : public DiscoveryReport,
                             public ::testing::WithParamInterface<SaveFailureCase> {};

TEST_P(DiscoverySaveFailure, KeepsTheOldReportAndSaysWhy) {
  sim::SimHost& h = host(several_adapters());
  sim::RunResult r = h.run_shell(std::string(GetParam().setup) +
                                 " && ./vexor -d dir/r.xml >/dev/null; echo \"status=$?\"; "
                                 "cat dir/r.xml; echo; ls -A dir");
  EXPECT_TRUE(has(r.out, "status=2\nold\nr.xml\n") || has(r.out, "status=2\nold\nfill\nr.xml\n"))
      << r.out << r.err;
  const std::string log = h.event_log();
  EXPECT_TRUE(has(log, std::string(ERROR_TAG)) && has(log, "could not save dir/r.xml") &&
              has(log, GetParam().error))
      << log;
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, DiscoverySaveFailure,
    ::testing::Values(
        SaveFailureCase{"Full",
                        "mkdir -p dir && mount -t tmpfs -o size=8k tmpfs dir && "
                        "printf old > dir/r.xml && "
                        "{ dd if=/dev/zero of=dir/fill bs=1k count=64 2>/dev/null; true; }",
                        "No space left on device"},
        SaveFailureCase{"ReadOnly",
                        "mkdir -p dir && printf old > dir/r.xml && mount --bind dir dir && "
                        "mount -o remount,bind,ro dir",
                        "Read-only file system"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
