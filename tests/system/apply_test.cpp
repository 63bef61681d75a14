// The apply mode (-u): reading a discovery report, looking each device up in
// the catalog, resolving family images through getqrvninfo, and flashing;
// and a report from outside that must never run a command or reach outside
// ./nic_fw/.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "main/vexor.h"
#include "sim/hostfile.h"
#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using Burns = std::vector<std::vector<std::string>>;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Hosts and reports
// ---------------------------------------------------------------------------

using Dev = testhost::ReportDevice;
using testhost::report_xml;
using testhost::with;

// An adapter whose interface and MAC address are named after its bus.
sim::Function adapter(const std::string& address, uint16_t device, const std::string& psid,
                      const std::string& fw) {
  const std::string bus = address.substr(5, 2);
  return testhost::adapter(address, device, psid, fw, "0002c90000" + bus, {"ib" + bus});
}

// A  0000:04:00.0  2.10.0 -> catalog 2.42.5000            (upgrade)
// B  0000:05:00.0  2.10.2 -> catalog 2.10.1               (downgrade)
// C  0000:81:00.0  2.36.5000 -> 2.40.7000, then 2.42.5000 (upgrade; the first entry is burned)
// D  0000:82:00.0  2.50.0 -> a family image, resolved by getqrvninfo to qvd-2.50.0.bin
// E  0000:83:00.0  no catalog entry                       (Nothing)
std::vector<testhost::CatalogEntry> apply_catalog() {
  return {{"QV-1003", "1003", "QRV0000000004", "2.42.5000", "qva-2.42.5000.bin"},
          {"QV-1007", "1007", "QRV0000000005", "2.10.1", "qvb-2.10.1.bin"},
          {"QV-1017", "1017", "QRV0000000081", "2.40.7000", "qvc-2.40.7000.bin"},
          {"QV-1017", "1017", "QRV0000000081", "2.42.5000", "qvc-2.42.5000.bin"},
          {"QV-1003", "1003", "QRV0000000082", "2.50.0", "Belmora-qv.bin"},
          {"QV-1003", "1003", "QRV0000000082", "2.50.0", "qvd-2.50.0.bin"}};
}

sim::HostSpec apply_host(bool with_c = true) {
  std::vector<sim::Function> functions = {
      adapter("0000:04:00.0", 0x1003, "QRV0000000004", "2.10.0"),
      adapter("0000:05:00.0", 0x1007, "QRV0000000005", "2.10.2"),
      adapter("0000:82:00.0", 0x1003, "QRV0000000082", "2.50.0"),
      adapter("0000:83:00.0", 0x1003, "QRV0000000083", "2.36.5000")};
  if (with_c) functions.push_back(adapter("0000:81:00.0", 0x1017, "QRV0000000081", "2.36.5000"));
  return testhost::host_of(functions, apply_catalog());
}

// A device of the report at bus, of board devid with psid, asking for
// version; the rest is A's.
Dev dev_at(const std::string& bus, const std::string& devid, const std::string& psid,
           const std::string& version, const std::string& action = "upgrade") {
  return {.devid = devid, .bus = bus, .psid = psid, .version = version, .action = action};
}

std::vector<std::string> burn(const std::string& address, const std::string& image) {
  return testhost::burn_argv(address, image, true);
}

class ApplyTest : public testhost::HostTest {
 protected:
  sim::RunResult apply(const std::string& report) {
    host().write_file("report.xml", report);
    return host().run({"-u", "report.xml"});
  }
  // Files getqrvninfo's answers went through, which must all be gone.
  std::vector<fs::path> data_files() {
    return testhost::files_named(host().component_dir(), "data");
  }
};

// ---------------------------------------------------------------------------
// Round trip
// ---------------------------------------------------------------------------

TEST_F(ApplyTest, RoundTripFlashesWhatTheReportAsksFor) {
  sim::SimHost& h = host(apply_host(false));
  ASSERT_EQ(h.run({"-d"}).status, 0);
  const std::string first = h.read_file("nicdiscovery.xml");
  ASSERT_TRUE(has(first, "<action value=\"Nothing\"/>")) << first;

  sim::RunResult r = h.run({"-u", "nicdiscovery.xml"});
  EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), (Burns{burn("0000:04:00.0", "qva-2.42.5000.bin"),
                              burn("0000:05:00.0", "qvb-2.10.1.bin"),
                              burn("0000:82:00.0", "qvd-2.50.0.bin")}));
  EXPECT_TRUE(data_files().empty());

  ASSERT_EQ(h.run({"-d"}).status, 0);
  const std::string second = h.read_file("nicdiscovery.xml");
  for (const char* installed : {"2.42.5000", "2.10.1", "2.50.0"}) {
    EXPECT_TRUE(has(second, std::string("<active_version value=\"") + installed +
                                "\"/>\n                <action value=\"rewrite\"/>"))
        << installed << "\n"
        << second;
  }
  EXPECT_TRUE(has(second,
                  "<active_version value=\"2.36.5000\"/>\n"
                  "                <action value=\"Nothing\"/>"))
      << second;
}

// ---------------------------------------------------------------------------
// Hand-written reports
// ---------------------------------------------------------------------------

struct ApplyCase {
  const char* name;
  std::vector<Dev> devices;
  Burns burns;
  int status;
  std::vector<std::string> reason;     // in the one reason line; none: no reason line
  const char* failing_burn = nullptr;  // address whose burn fails
};

class ApplyReport : public ApplyTest, public ::testing::WithParamInterface<ApplyCase> {};

// The exit status and the reason line go together: a device that asked
// for a flash and was not flashed fails the run, and the line says which.
TEST_P(ApplyReport, FlashesAndCountsFailures) {
  const ApplyCase& c = GetParam();
  sim::HostSpec desc = apply_host();
  for (auto& f : desc.functions) {
    if (c.failing_burn && f.address == c.failing_burn) f.flash->burn = sim::BurnBehaviour::fail;
  }
  host(desc);
  sim::RunResult r = apply(report_xml(c.devices));
  EXPECT_EQ(r.status, c.status) << r.out << r.err << host().event_log();
  EXPECT_EQ(host().burns(), c.burns);
  const std::string said = testhost::expect_reason(r.err, c.reason);
  // Whatever the line names is in the log too.
  if (!said.empty()) {
    EXPECT_TRUE(has(host().event_log(), said.substr(7, said.rfind(" (see") - 7)))
        << host().event_log();
  }
}

const Dev A;
const Dev B = dev_at("0000:05", "1007", "QRV0000000005", "2.10.1");
const Dev C = dev_at("0000:81", "1017", "QRV0000000081", "2.42.5000");
// Of the family resolved by getqrvninfo.
const Dev D = dev_at("0000:82", "1003", "QRV0000000082", "2.50.0");

// E at 0000:83:00.0 has no catalog entry.
const Dev E = dev_at("0000:83", "1003", "QRV0000000083", "2.36.5000");
const std::string kBurnFailed = ": the burn failed, output in /tmp/data";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyReport,
    ::testing::Values(
        ApplyCase{"LowerCaseIds", {with(with(A, &Dev::venid, "15b3"), &Dev::subvenid, "15b3")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0, {}},
        ApplyCase{"FiveDigitIdReadsFourDigits", {with(A, &Dev::devid, "10037")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0, {}},
        ApplyCase{"EmptyIdMatchesNothing", {with(A, &Dev::devid, "")}, {}, 2,
                  {"1 of 1 devices failed (0000:04:00.0: no entry in nic_fw/NICFWData.xml for its "
                   "ids and PSID QRV0000000004); 0 flashed (see pyxflash.log)"}},
        ApplyCase{"InstalledVersionNotKnown", {with(A, &Dev::active, "n/a")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0, {}},
        ApplyCase{"ActionContainingRewrite", {with(A, &Dev::action, "rewrite-now")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0, {}},
        ApplyCase{"AllFlashed", {A, B, C},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin"), burn("0000:05:00.0", "qvb-2.10.1.bin"),
                   burn("0000:81:00.0", "qvc-2.42.5000.bin")},
                  0, {}},
        ApplyCase{"NothingIsNotFlashed",
                  {with(A, &Dev::action, "Nothing"), B},
                  {burn("0000:05:00.0", "qvb-2.10.1.bin")}, 0, {}},
        // The first burn fails, the two after it flash.
        ApplyCase{"FirstOfThreeFails", {A, B, C},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin"), burn("0000:05:00.0", "qvb-2.10.1.bin"),
                   burn("0000:81:00.0", "qvc-2.42.5000.bin")},
                  2, {"1 of 3 devices failed (0000:04:00.0" + kBurnFailed, "); 2 flashed (see pyxflash.log)"},
                  "0000:04:00.0"},
        ApplyCase{"LastOfTwoFails", {A, B},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin"), burn("0000:05:00.0", "qvb-2.10.1.bin")},
                  2, {"1 of 2 devices failed (0000:05:00.0" + kBurnFailed, "); 1 flashed"},
                  "0000:05:00.0"},
        ApplyCase{"FailedFlashThenNothing", {A, with(B, &Dev::action, "Nothing")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 2,
                  {"1 of 1 devices failed (0000:04:00.0" + kBurnFailed, "); 0 flashed"},
                  "0000:04:00.0"},
        ApplyCase{"NoCatalogEntryAmongFlashed", {A, E}, {burn("0000:04:00.0", "qva-2.42.5000.bin")},
                  2, {"1 of 2 devices failed (0000:83:00.0: no entry in nic_fw/NICFWData.xml for its "
                      "ids and PSID QRV0000000083); 1 flashed"}},
        ApplyCase{"NoSuchVersionAmongFlashed", {with(C, &Dev::version, "2.41.0"), B},
                  {burn("0000:05:00.0", "qvb-2.10.1.bin")}, 2,
                  {"1 of 2 devices failed (0000:81:00.0: asks for version 2.41.0, which the catalog "
                   "does not hold); 1 flashed"}},
        ApplyCase{"UnreadableAddressAmongFlashed", {with(A, &Dev::bus, "0000:zz"), B},
                  {burn("0000:05:00.0", "qvb-2.10.1.bin")}, 2,
                  {"1 of 2 devices failed (device 1: no valid PCI address); 1 flashed"}},
        // A device that asks for nothing fails only in the old sense: every
        // device of the report failing.
        ApplyCase{"NothingWithoutEntryBesideAFlash", {with(E, &Dev::action, "Nothing"), A},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0, {}},
        ApplyCase{"OnlyNothingWithoutEntry", {with(E, &Dev::action, "Nothing")}, {}, 2,
                  {"no device of the report report.xml could be used (0000:83:00.0: no entry in "
                   "nic_fw/NICFWData.xml for its ids and PSID QRV0000000083)"}},
        ApplyCase{"RepeatAskingWhereTheFirstDidNot", {with(A, &Dev::action, "Nothing"), A}, {}, 2,
                  {"1 of 1 devices failed (0000:04:00.0: repeats the address of device 1, which "
                   "asked for no flash); 0 flashed"}},
        ApplyCase{"NoDevice", {}, {}, 2,
                  {"the report report.xml holds no device (see pyxflash.log)"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ApplyTest, EmptyDeviceElementDoesNotAdvanceThePosition) {
  sim::SimHost& h = host(apply_host());
  // Two devices counted; B's values land in the first record, the second
  // stays empty and fails: one of two failed.
  sim::RunResult r = apply(report_xml("        <device/>\n" + testhost::device_xml(B)));
  EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), (Burns{burn("0000:05:00.0", "qvb-2.10.1.bin")}));
  EXPECT_TRUE(has(h.event_log(),
                  "read_discovery_report: device 2 has an invalid PCI address \"\"; not flashed\n"))
      << h.event_log();
}

struct BrokenReportCase {
  const char* name;
  std::optional<std::string> content;  // nullopt: no report file
  const char* logged;
};

class ApplyBrokenReport : public ApplyTest,
                          public ::testing::WithParamInterface<BrokenReportCase> {};

TEST_P(ApplyBrokenReport, ExitsWithTwoBeforeFlashing) {
  sim::SimHost& h = host(apply_host());
  if (GetParam().content) h.write_file("report.xml", *GetParam().content);
  sim::RunResult r = h.run({"-u", "report.xml"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_TRUE(h.burns().empty());
  EXPECT_TRUE(has(h.event_log(), std::string(ERROR_TAG))) << h.event_log();
  EXPECT_TRUE(has(h.event_log(), GetParam().logged)) << h.event_log();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyBrokenReport,
    ::testing::Values(
        BrokenReportCase{"Missing", std::nullopt, "read_discovery_report: Failed to open report.xml\n"},
        // Well-formed up to a device that asks for a flash, then broken.
        BrokenReportCase{"Malformed", testhost::cut_before(report_xml({A}), "<duration") + "<<",
                         "read_discovery_report: Failed to parse report.xml\n"},
        BrokenReportCase{"Empty", std::string(), "read_discovery_report: Failed to parse report.xml\n"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Any number of devices and any length of text.
TEST_F(ApplyTest, ManyDevicesAndLongTexts) {
  sim::SimHost& h = host(apply_host());
  std::vector<Dev> devs(60, with(A, &Dev::action, "Nothing"));
  // Each at an address of its own: a repeated address is never flashed.
  for (size_t i = 0; i < devs.size(); ++i) {
    static constexpr char kHex[] = "0123456789abcdef";
    const size_t number = i == 8 ? 0 : i + 0x20;  // two hex digits
    devs[i].device = {kHex[number >> 4 & 0xf], kHex[number & 0xf]};
  }
  devs[7].psid = std::string(100000, 'Q');
  devs[8].action = std::string(50000, 'x') + "upgrade";
  devs[9].bus = std::string(50000, '0');
  sim::RunResult r = apply(report_xml(devs));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(h.burns(), (Burns{burn("0000:04:00.0", "qva-2.42.5000.bin")}));
  EXPECT_TRUE(has(h.event_log(), "device 10 has an invalid PCI address \"00000000")) << r.err;
}

// ---------------------------------------------------------------------------
// Which version is burned
// ---------------------------------------------------------------------------

// The demo host as the issue met it: -d recommends 16.35.2000 for A
// (catalog 16.35.1012, 16.35.2000) and 2.42.5000 for B (catalog 2.36.5000,
// 2.40.7000, 2.42.5000); -u of that report burned the first entries.
TEST_F(ApplyTest, DemoHostBurnsTheVersionsItsReportNames) {
  sim::SimHost& h = host(sim::parse_host_file(std::string(VEXOR_SIM_HOSTS) + "/demo.host"));
  ASSERT_EQ(h.run({"-d"}).status, 0);
  const std::string report = h.read_file("nicdiscovery.xml");
  sim::RunResult r = h.run({"-u", "nicdiscovery.xml"});
  EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), (Burns{burn("0000:05:00.0", "qx200-16.35.2000.bin"),
                              burn("0000:81:00.0", "qx100-2.42.5000.bin")}));

  // A framework pins B to a version in the middle of the catalog.
  const std::string from = "<version value=\"2.42.5000\"/>";
  std::string pinned = report;
  ASSERT_TRUE(has(pinned, from)) << pinned;
  pinned.replace(pinned.find(from), from.size(), "<version value=\"2.40.7000\"/>");
  h.write_file("pinned.xml", pinned);
  r = h.run({"-u", "pinned.xml"});
  EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns().back(), burn("0000:81:00.0", "qx100-2.40.7000.bin"));
  EXPECT_EQ(h.adapter("0000:81:00.0").fw, "2.40.7000");
}

struct VersionCase {
  const char* name;
  std::string report;
  Burns burns;
  int status;
  const char* logged;  // in the log ("" nothing looked for)
};

using ApplyVersion = testhost::HostTestWithParam<VersionCase>;

TEST_P(ApplyVersion, BurnsTheCatalogEntryOfTheReportsVersion) {
  sim::SimHost& h = host(apply_host());
  h.write_file("report.xml", GetParam().report);
  sim::RunResult r = h.run({"-u", "report.xml"});
  EXPECT_EQ(r.status, GetParam().status) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), GetParam().burns);
  EXPECT_TRUE(has(h.event_log(), GetParam().logged)) << h.event_log();
}

// C's catalog entries: 2.40.7000 first, then 2.42.5000.
std::string report_of_c(const std::string& version) {
  return report_xml({with(C, &Dev::version, version)});
}

// A report written by hand, without the fw_item's version element; the
// header's version "1.0.0" stays.
std::string without_version(const std::vector<Dev>& devices) {
  std::string text = report_xml(devices);
  for (const Dev& d : devices) {
    const std::string line = "                <version value=\"" + d.version + "\"/>\n";
    text.erase(text.find(line), line.size());
  }
  return text;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyVersion,
    ::testing::Values(
        VersionCase{"NotTheFirstEntry", report_of_c("2.42.5000"),
                    {burn("0000:81:00.0", "qvc-2.42.5000.bin")}, 0, ""},
        VersionCase{"ComparedAsThreeNumbers", report_of_c("2.042.05000"),
                    {burn("0000:81:00.0", "qvc-2.42.5000.bin")}, 0, ""},
        VersionCase{"NotInTheCatalog", report_of_c("2.41.0"), {}, 2,
                    "read_discovery_report: Error at read_NIC_FW_xml_file\n"},
        VersionCase{"NotInTheCatalogNamesPositionAddressVersion",
                    report_xml({A, with(C, &Dev::version, "2.41.0")}),
                    {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 2,
                    "read_discovery_report: device 2 (0000:81:00.0) asks for version 2.41.0, "
                    "which the catalog does not hold for it; not flashed\n"},
        VersionCase{"NoVersionElement", without_version({C}),
                    {burn("0000:81:00.0", "qvc-2.40.7000.bin")}, 0, ""},
        // -d writes it empty when the catalog had nothing for the adapter.
        VersionCase{"EmptyVersion", report_of_c(""), {burn("0000:81:00.0", "qvc-2.40.7000.bin")},
                    0, ""},
        // The version matters only to a device that is flashed.
        VersionCase{"NotFlashedDeviceWithAnUnknownVersion",
                    report_xml({with(with(C, &Dev::version, "9.9.9"), &Dev::action, "Nothing"), A}),
                    {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// A device listed twice, a report on standard input
// ---------------------------------------------------------------------------

TEST_F(ApplyTest, RepeatedAddressIsFlashedOnce) {
  sim::SimHost& h = host(apply_host());
  // The address compares without regard to case: 0000:0A:00.0 is 0000:0a:00.0.
  const Dev hex = with(with(A, &Dev::bus, "0000:0a"), &Dev::action, "Nothing");
  sim::RunResult r = apply(report_xml(
      {A, A, with(A, &Dev::action, "Nothing"), B, hex, with(hex, &Dev::bus, "0000:0A")}));
  // Devices 2, 3 and 6 failed; three of six.
  EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), (Burns{burn("0000:04:00.0", "qva-2.42.5000.bin"),
                              burn("0000:05:00.0", "qvb-2.10.1.bin")}));
  const std::string log = h.event_log();
  for (const char* line :
       {"[WARNING]   ", "device 2 repeats the address 0000:04:00.0 of an earlier device",
        "device 3 repeats the address 0000:04:00.0 of an earlier device",
        "device 6 repeats the address 0000:0A:00.0 of an earlier device"}) {
    EXPECT_TRUE(has(log, line)) << line << "\n" << log;
  }
  EXPECT_EQ(testhost::count_of(log, "repeats the address"), 3u) << log;
}

// Read once: a pipe gives its bytes to the first pass only.
TEST_F(ApplyTest, ReportOnStandardInput) {
  sim::SimHost& h = host(apply_host());
  h.write_file("report.xml", report_xml({A, B}));
  for (const char* line :
       {"cat report.xml | ./vexor -u /dev/stdin", "./vexor -u /dev/stdin < report.xml"}) {
    const size_t before = h.burns().size();
    sim::RunResult r = h.run_shell(line);
    EXPECT_EQ(r.status, 0) << line << "\n" << r.out << r.err << h.event_log();
    EXPECT_EQ(h.burns().size(), before + 2) << line;
  }
}

// ---------------------------------------------------------------------------
// Family images resolved through getqrvninfo
// ---------------------------------------------------------------------------

TEST_F(ApplyTest, FamilyImageResolvedThroughGetqrvninfo) {
  sim::SimHost& h = host(apply_host());
  sim::RunResult r =
      apply(report_xml({dev_at("0000:82", "1003", "QRV0000000082", "2.50.0", "rewrite")}));
  EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), (Burns{burn("0000:82:00.0", "qvd-2.50.0.bin")}));
  EXPECT_TRUE(has(r.out, "./getqrvninfo imgfile 0000:82:00.0 > data")) << r.out;
  EXPECT_TRUE(data_files().empty());
}

// getqrvninfo's answer, from a stand-in script, for a device of the family.
struct AnswerCase {
  const char* name;
  const char* answer;
  std::optional<std::string> image;  // nullopt: no image, the run ends with 2
};

class ApplyGetqrvninfoAnswer : public ApplyTest,
                               public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ApplyGetqrvninfoAnswer, OnlyAPlainFileNameIsBurned) {
  sim::SimHost& h = host(apply_host());
  h.write_file("getqrvninfo", std::string("#!/bin/sh\nprintf '") + GetParam().answer + "'\n", true);
  // A before the family device, B after it.
  sim::RunResult r = apply(report_xml({A, D, B}));
  Burns expected{burn("0000:04:00.0", "qva-2.42.5000.bin")};
  if (GetParam().image) {
    expected.push_back(burn("0000:82:00.0", *GetParam().image));
    expected.push_back(burn("0000:05:00.0", "qvb-2.10.1.bin"));
    EXPECT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  } else {
    EXPECT_EQ(r.status, 2) << r.out << r.err << h.event_log();
    EXPECT_TRUE(has(h.event_log(),
                    "read_discovery_report: Error in finding the image for Belmora/Tarvik2\n"))
        << h.event_log();
    EXPECT_TRUE(has(r.err,
                    "vexor: 1 of 2 devices failed (0000:82:00.0: ./getqrvninfo found no "
                    "image for its family image Belmora-qv.bin); 1 flashed; the run was "
                    "ended there, at device 2 of 3 (see pyxflash.log)\n"))
        << r.err;
  }
  EXPECT_EQ(h.burns(), expected);
  EXPECT_TRUE(data_files().empty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Answers, ApplyGetqrvninfoAnswer,
    ::testing::Values(AnswerCase{"Plain", "host1#qvd-2.50.0.bin\\n", "qvd-2.50.0.bin"},
                      // What a host is called changes nothing.
                      AnswerCase{"HostNameWithHash", "rack#7#qvd-2.50.0.bin\\n", "qvd-2.50.0.bin"},
                      AnswerCase{"HostNameBeginningWithZero", "0node#qvd-2.50.0.bin\\n",
                                 "qvd-2.50.0.bin"},
                      AnswerCase{"TrailingBlanksAndCarriageReturn",
                                 "host1#qvd-2.50.0.bin \\r\\n", "qvd-2.50.0.bin"},
                      AnswerCase{"NoImage", "0\\n", std::nullopt},
                      AnswerCase{"ParentDirectory", "host1#../qvd-2.50.0.bin\\n", std::nullopt},
                      AnswerCase{"AbsolutePath", "host1#/etc/passwd\\n", std::nullopt},
                      AnswerCase{"DotDot", "host1#..\\n", std::nullopt},
                      AnswerCase{"NoSecondField", "host1\\n", std::nullopt},
                      AnswerCase{"EmptyName", "host1#\\n", std::nullopt},
                      AnswerCase{"ControlCharacter", "host1#qvd\\033.bin\\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// D's family at two versions: its family image and a plain image of each.
sim::HostSpec two_version_family_host() {
  sim::HostSpec desc = apply_host();
  std::vector<testhost::CatalogEntry> entries = apply_catalog();
  entries.push_back({"QV-1003", "1003", "QRV0000000082", "2.49.0", "Belmora-old.bin"});
  entries.push_back({"QV-1003", "1003", "QRV0000000082", "2.49.0", "qvd-2.49.0.bin"});
  testhost::set_catalog(desc, entries);
  return desc;
}

struct FamilyCase {
  const char* name;
  const char* version;   // what the report asks for
  std::string answer;    // of a stand-in getqrvninfo; "": the program itself
  const char* hostname;  // the host's name for the program itself (nullptr: as it is)
  Burns burns;
  int status;
  const char* logged;  // in the log ("" nothing looked for)
};

using ApplyFamilyVersion = testhost::HostTestWithParam<FamilyCase>;

// getqrvninfo names the board's newest image whatever the report asks for;
// it is burned only when it is the version asked for.
TEST_P(ApplyFamilyVersion, BurnsOnlyTheVersionAskedFor) {
  const FamilyCase& c = GetParam();
  sim::SimHost& h = host(two_version_family_host());
  if (!c.answer.empty()) {
    h.write_file("getqrvninfo", "#!/bin/sh\nprintf '" + c.answer + "\\n'\n", true);
  }
  h.write_file("report.xml", report_xml({with(D, &Dev::version, c.version)}));
  std::string line = "./vexor -u report.xml";
  if (c.hostname != nullptr) {
    line = "unshare --uts sh -c 'printf %s " + testhost::quoted(c.hostname) +
           " > /proc/sys/kernel/hostname && exec " + line + "'";
  }
  const sim::RunResult r = h.run_shell(line);
  EXPECT_EQ(r.status, c.status) << r.out << r.err << h.event_log();
  EXPECT_EQ(h.burns(), c.burns);
  EXPECT_TRUE(has(h.event_log(), c.logged)) << h.event_log();
  EXPECT_EQ(testhost::reason_lines(r.err).size(), c.status == 0 ? 0u : 1u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyFamilyVersion,
    ::testing::Values(
        FamilyCase{
            "NewestAsked", "2.50.0", "", nullptr, {burn("0000:82:00.0", "qvd-2.50.0.bin")}, 0, ""},
        FamilyCase{"OlderAskedNamesBothVersions",
                   "2.49.0",
                   "",
                   nullptr,
                   {},
                   2,
                   "read_discovery_report: device 1 (0000:82:00.0) asks for version 2.49.0, but "
                   "./getqrvninfo resolved its family image Belmora-old.bin to qvd-2.50.0.bin, "
                   "version 2.50.0; not flashed\n"},
        FamilyCase{"OlderResolvedToItsVersion",
                   "2.49.0",
                   "h1#qvd-2.49.0.bin",
                   nullptr,
                   {burn("0000:82:00.0", "qvd-2.49.0.bin")},
                   0,
                   ""},
        FamilyCase{"ResolvedToAnotherBoardsImage",
                   "2.50.0",
                   "h1#qva-2.42.5000.bin",
                   nullptr,
                   {},
                   2,
                   "resolved its family image Belmora-qv.bin to qva-2.42.5000.bin, whose version "
                   "the catalog does not give for it; not flashed\n"},
        FamilyCase{"HostNameBeginningWithZeroAndHoldingHash",
                   "2.50.0",
                   "",
                   "0rack#7",
                   {burn("0000:82:00.0", "qvd-2.50.0.bin")},
                   0,
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ApplyTest, GetqrvninfoFailingEndsTheRun) {
  sim::SimHost& h = host(apply_host());
  h.write_file("getqrvninfo", "#!/bin/sh\necho broken >&2\nexit 3\n", true);
  sim::RunResult r = apply(report_xml({dev_at("0000:82", "1003", "QRV0000000082", "2.50.0")}));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(h.event_log(), "command failed: ./getqrvninfo imgfile 0000:82:00.0 > data"))
      << h.event_log();
  EXPECT_TRUE(h.burns().empty());
  EXPECT_TRUE(data_files().empty());
}

// ---------------------------------------------------------------------------
// Hostile reports
// ---------------------------------------------------------------------------

struct HostileCase {
  const char* name;
  Dev device;
};

class ApplyHostileReport : public ApplyTest, public ::testing::WithParamInterface<HostileCase> {};

// The family device's address goes to getqrvninfo through the shell and to
// the flash utility: neither may see a text that is not a bus address.
TEST_P(ApplyHostileReport, RunsNothingAndFlashesNothing) {
  sim::SimHost& h = host(apply_host());
  sim::RunResult r = apply(report_xml({GetParam().device}));
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(fs::exists(fs::path(h.component_dir()) / "pwned"));
  EXPECT_TRUE(h.burns().empty());
  EXPECT_FALSE(has(r.out, "getqrvninfo")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyHostileReport,
    ::testing::Values(HostileCase{"Bus", with(D, &Dev::bus, "0000:82;touch pwned;")},
                      HostileCase{"Device", with(D, &Dev::device, "00$(touch pwned)")},
                      HostileCase{"Function", with(D, &Dev::func, "0`touch pwned`")},
                      HostileCase{"FunctionNewline", with(D, &Dev::func, "0\ntouch pwned")},
                      HostileCase{"Psid", with(D, &Dev::psid, "QRV0000000082;touch pwned")}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// getqrvninfo itself
// ---------------------------------------------------------------------------

std::string host_name() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

struct GetqrvninfoCase {
  const char* name;
  const char* command;
  int status;
  std::string out;  // expected standard output; "0" cases compare the first character
};

class GetqrvninfoProgram : public ApplyTest,
                           public ::testing::WithParamInterface<GetqrvninfoCase> {};

TEST_P(GetqrvninfoProgram, AnswersOneLineOrRefuses) {
  sim::HostSpec desc = apply_host();
  // Versions compared as numbers (2.42 above 2.9); family placeholders and
  // images missing from nic_fw/ (x-9.0.0.bin) are never an answer.
  desc.functions.push_back(adapter("0000:84:00.0", 0x1003, "QRV0000000084", "2.9.1000"));
  std::vector<testhost::CatalogEntry> entries = apply_catalog();
  entries.insert(entries.end(),
                 {{"QV-1003", "1003", "QRV0000000084", "2.9.1000", "x-2.9.1000.bin"},
                  {"QV-1003", "1003", "QRV0000000084", "2.42.5000", "x-2.42.5000.bin"},
                  {"QV-1003", "1003", "QRV0000000084", "3.0.0", "Belmora-x.bin"},
                  {"QV-1003", "1003", "QRV0000000084", "9.0.0", "x-9.0.0.bin"}});
  testhost::set_catalog(desc, entries);
  desc.images.pop_back();  // x-9.0.0.bin
  sim::SimHost& h = host(desc);
  sim::RunResult r = h.run_shell(GetParam().command);
  EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
  if (GetParam().out == "0") {
    EXPECT_EQ(r.out.substr(0, 1), "0") << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  } else {
    EXPECT_EQ(r.out, GetParam().out) << r.err;
  }
  if (GetParam().status != 0) {
    EXPECT_TRUE(has(r.err, "usage: getqrvninfo imgfile")) << r.err;
  }
  EXPECT_FALSE(fs::exists(fs::path(h.component_dir()) / "pwned"));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, GetqrvninfoProgram,
    ::testing::Values(
        GetqrvninfoCase{"HighestPlainImage", "./getqrvninfo imgfile 0000:84:00.0", 0,
                        host_name() + "#x-2.42.5000.bin\n"},
        GetqrvninfoCase{"NoCatalogEntry", "./getqrvninfo imgfile 0000:83:00.0", 0, "0"},
        GetqrvninfoCase{"UnknownAdapter", "./getqrvninfo imgfile 0000:99:00.0", 0, "0"},
        GetqrvninfoCase{"NoArguments", "./getqrvninfo", 2, ""},
        GetqrvninfoCase{"OtherQuestion", "./getqrvninfo psid 0000:84:00.0", 2, ""},
        GetqrvninfoCase{"HostileAddress", "./getqrvninfo imgfile '0000:84:00.0;touch pwned'", 2,
                        ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
