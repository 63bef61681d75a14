// Values from outside (a report, the catalog, the flash utility, the vendor
// names) in vexor's log lines and console messages: a forged entry stays part
// of the entry it came in, a terminal sequence never reaches the screen
// through vexor's own messages, and a catalog image name cannot lead out of
// nic_fw/.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"

namespace {

using testhost::kAddrA;
using testhost::kAddrB;
using testhost::ReportDevice;

// What a forged entry looks like: a whole log line of the run's own form.
const std::string kForgedEntry = "[INFO]      [Thu Jan  1 00:00:00 2026] FORGED";

sim::HostSpec base_host() {
  sim::HostSpec desc = testhost::two_adapter_host();
  desc.secure_boot = sim::SecureBoot::disabled;
  return desc;
}

// Adapter A of two_adapter_host() as a report names it, asking for an upgrade.
ReportDevice device_a() {
  return {.devid = "1017",
          .mac = "@MAC@",
          .product = "QX",
          .bus = "0000:05",
          .psid = "QRV11",
          .version = "@VERSION@",
          .active = "16.35.1012",
          .action = "upgrade"};
}

// A report of adapter A with its MAC and version written as raw XML text, so
// that character references (&#10;) reach the values.
std::string report_with(const std::string& mac_xml, const std::string& version_xml) {
  std::string r = testhost::report_xml({device_a()});
  r.replace(r.find("@MAC@"), 5, mac_xml);
  r.replace(r.find("@VERSION@"), 9, version_xml);
  return r;
}

void no_change(sim::HostSpec&) {}

// Catalog entry names can hold line breaks and the C1 controls (XML allows
// no ESC).
void catalog_name_forging(sim::HostSpec& desc) {
  std::vector<testhost::CatalogEntry> entries = testhost::two_adapter_catalog();
  for (auto& e : entries)
    if (e.devid == "1017")
      e.name = "QX-50&#13;&#10;" + kForgedEntry +
               " \xc2\x9b"
               "2J";
  testhost::set_catalog(desc, entries);
}

void psid_with_escapes(sim::HostSpec& desc) {
  desc.functions[0].flash->psid = "QRV11\x1b]0;owned\x07\x1b[2J";
}

void mac_with_carriage_return(sim::HostSpec& desc) {
  desc.functions[0].flash->mac = "0002c9aabb11\r" + kForgedEntry + "\x1b[2J";
}

void vendor_name_with_escapes(sim::HostSpec& desc) {
  desc.functions.push_back(testhost::other_vendor("0000:02:00.0"));
  desc.vendor_names = {{0x15b3, "Quorvane Technologies"}, {0x1f1c, "Ostrova \x1b[5mSystems"}};
}

struct OutsideCase {
  const char* name;
  void (*setup)(sim::HostSpec&);
  std::vector<std::string> args;
  std::string report;  // fault.xml when not empty
  int status;
  std::string shown;  // the value as vexor shows it, in the log or on standard output
};

void PrintTo(const OutsideCase& c, std::ostream* os) { *os << c.name; }

bool has_terminal_control(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0x1b || c == '\r' || c == 0x07) return true;
    if (c == 0xc2 && i + 1 < text.size() &&
        (static_cast<unsigned char>(text[i + 1]) & 0xe0) == 0x80)
      return true;  // U+0080 to U+009F
  }
  return false;
}

// The lines of text that start with the forged entry.
int forged_lines(const std::string& text) {
  std::istringstream in(text);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.rfind(kForgedEntry, 0) == 0;
  return n;
}

using OutsideValues = testhost::HostTestWithParam<OutsideCase>;

TEST_P(OutsideValues, StayInTheirEntryAndShowNoTerminalSequence) {
  const OutsideCase& c = GetParam();
  sim::HostSpec desc = base_host();
  c.setup(desc);
  sim::SimHost& h = host(desc);
  if (!c.report.empty()) h.write_file("fault.xml", c.report);
  const sim::RunResult r = h.run(c.args);
  const std::string log = h.event_log();

  EXPECT_EQ(r.status, c.status) << r.out << r.err << log;
  EXPECT_NE((r.out + log).find(c.shown), std::string::npos)
      << c.shown << "\nnot in:\n"
      << r.out << log;
  EXPECT_FALSE(has_terminal_control(r.out)) << r.out;
  EXPECT_FALSE(has_terminal_control(log)) << log;
  EXPECT_EQ(forged_lines(r.out), 0) << r.out;
  EXPECT_EQ(forged_lines(log), 0) << log;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Values, OutsideValues,
    ::testing::Values(
        // A report's MAC goes into the success line after a good burn.
        OutsideCase{"report_mac_forging_a_success", no_change, {"-u", "fault.xml"},
                    report_with("0002c9aabb11&#10;" + kForgedEntry +
                                    " MAC 0002c9aabb11 Upgrade SUCCESS&#13;\\n\xc2\x9b" "2J",
                                "16.35.2000"),
                    0,
                    "MAC 0002c9aabb11\\n" + kForgedEntry +
                        " MAC 0002c9aabb11 Upgrade SUCCESS\\r\\\\n\\u009b2J Upgrade SUCCESS\n"},
        OutsideCase{"report_version_forging_an_entry", no_change, {"-u", "fault.xml"},
                    report_with("0002c9aabb11", "16.99.0&#10;" + kForgedEntry), 2,
                    "asks for version 16.99.0\\n" + kForgedEntry + ", which the catalog"},
        OutsideCase{"catalog_name_in_the_listing", catalog_name_forging, {"-c"}, "", 0,
                    "\tQX-50\\r\\n" + kForgedEntry + " \\u009b2J \n"},
        OutsideCase{"catalog_name_in_the_selection", catalog_name_forging, {"-y"}, "", 0,
                    "Selecting QX-50\\r\\n" + kForgedEntry + " \\u009b2J MAC: "},
        OutsideCase{"utility_psid_in_the_adapter_line", psid_with_escapes, {"-c"}, "", 0,
                    "PSID QRV11\\x1b]0;owned\\x07\\x1b[2J\n"},
        // The query drops every blank of a value.
        OutsideCase{"utility_mac_in_the_selection", mac_with_carriage_return, {"-y"}, "", 0,
                    "MAC: 0002c9aabb11\\r[INFO][ThuJan100:00:002026]FORGED\\x1b[2J4 \n"},
        OutsideCase{"vendor_name_in_the_adapter_list", vendor_name_with_escapes, {"-c"}, "", 0,
                    "0000:02:00.0 Ostrova \\x1b[5mSystems\n"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// Image names
// ---------------------------------------------------------------------------

// How a mode is run, and what it burns besides adapter A.
struct ImageMode {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> burned;  // -y also rewrites B, which runs the latest image
};

void PrintTo(const ImageMode& m, std::ostream* os) { *os << m.name; }

const ImageMode kImageModes[] = {
    {"silent", {"-s"}, {}},
    {"yes", {"-y"}, {kAddrB}},
    {"apply", {"-u", "fault.xml"}, {}},
};

const char* const kImageNames[] = {"../../../../../etc/passwd", "sub/qx50-2000.bin", ".."};

using ImageNames = testhost::HostTestWithParam<std::tuple<ImageMode, const char*>>;

TEST_P(ImageNames, NotAPlainFileNameIsNeverBurned) {
  const auto& [mode, image] = GetParam();
  sim::HostSpec desc = base_host();
  std::vector<testhost::CatalogEntry> entries = testhost::two_adapter_catalog();
  entries[1].file = image;  // A's newer entry
  desc.catalog_xml = testhost::catalog_xml(entries);
  sim::SimHost& h = host(desc);
  h.write_file("fault.xml", report_with("0002c9aabb11", "16.35.2000"));
  const sim::RunResult r = h.run(mode.args);
  const std::string log = h.event_log();

  // Counted as failed: a failed burn (-s, -y) or a failed device (-u, whose
  // only device it is).
  EXPECT_EQ(r.status, 2) << r.out << r.err << log;
  EXPECT_EQ(testhost::burned_addresses(h), mode.burned);
  EXPECT_NE(log.find(std::string("\"") + image + "\""), std::string::npos) << log;
  EXPECT_NE(log.find("is not a plain file name; not flashed"), std::string::npos) << log;
  // Nor does the line that says what a yes burns (-y) offer it.
  EXPECT_EQ(r.out.find("burns version 16.35.2000"), std::string::npos) << r.out;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Modes, ImageNames, ::testing::Combine(::testing::ValuesIn(kImageModes),
                                          ::testing::ValuesIn(kImageNames)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::to_string(info.index);
    });
// clang-format on

}  // namespace
