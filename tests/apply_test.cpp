// The apply mode (-u): reading a discovery report, looking each device up in
// the catalog, resolving family images through getqrvninfo, and flashing;
// and a report from outside that must never run a command or reach outside
// ./nic_fw/.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "common/text_checks.h"
#include "main/vexor.h"
#include "sim/simhost.h"
#include "tests/host_builders.h"

namespace {

namespace fs = std::filesystem;
using Burns = std::vector<std::vector<std::string>>;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Texts read from the report
// ---------------------------------------------------------------------------

struct HexCase {
  const char* text;
  int32_t value;
};

class Axtoi : public ::testing::TestWithParam<HexCase> {};

TEST_P(Axtoi, ReadsAtMostFourHexDigits) {
  EXPECT_EQ(axtoi(GetParam().text), GetParam().value) << "text '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(Texts, Axtoi,
                         ::testing::Values(HexCase{"15b3", 0x15B3}, HexCase{"15B3", 0x15B3},
                                           HexCase{"15B30", 0x15B3}, HexCase{"", 0},
                                           HexCase{"50", 0x50}, HexCase{"1g03", 0x1},
                                           HexCase{"x15b3", 0}, HexCase{"ffff", 0xFFFF}));

struct AddressCase {
  const char* text;
  bool valid;
};

class BusAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(BusAddress, OnlyTheBusAddressFormIsAccepted) {
  EXPECT_EQ(is_bus_address(GetParam().text), GetParam().valid) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BusAddress,
    ::testing::Values(AddressCase{"0000:81:00.0", true}, AddressCase{"ABCD:eF:1f.7", true},
                      AddressCase{"0000:81:00.8", false}, AddressCase{"000:81:00.0", false},
                      AddressCase{"00000:81:00.0", false}, AddressCase{"0000:81:00.0 ", false},
                      AddressCase{"0000-81:00.0", false}, AddressCase{"0000:81.00.0", false},
                      AddressCase{"0000:81:0g.0", false}, AddressCase{"0000:81:00.0;", false},
                      AddressCase{"$(x):81:00.0", false}, AddressCase{"", false}));

// ---------------------------------------------------------------------------
// Hosts and reports
// ---------------------------------------------------------------------------

sim::Function adapter(const std::string& address, uint16_t device, const std::string& psid,
                      const std::string& fw) {
  sim::Function f;
  f.address = address;
  f.device = device;
  f.interfaces = {"ib" + address.substr(5, 2)};
  sim::Adapter a;
  a.fw = fw;
  a.psid = psid;
  a.mac = "0002c90000" + address.substr(5, 2);
  f.flash = a;
  return f;
}

std::string catalog_entry(const std::string& devid, const std::string& psid,
                          const std::string& rom, const std::string& file) {
  return "  <Firmware name=\"QV-" + devid + "\" venid=\"15B3\" devid=\"" + devid +
         "\" subvenid=\"15B3\" PSID=\"" + psid + "\" subdevid=\"0050\" rom=\"" + rom +
         "\" fwFile=\"" + file + "\"/>\n";
}

// A  0000:04:00.0  2.10.0 -> catalog 2.42.5000            (upgrade)
// B  0000:05:00.0  2.10.2 -> catalog 2.10.1               (downgrade)
// C  0000:81:00.0  2.36.5000 -> 2.40.7000, then 2.42.5000 (upgrade; the first entry is burned)
// D  0000:82:00.0  2.50.0 -> a family image, resolved by getqrvninfo to qvd-2.50.0.bin
// E  0000:83:00.0  no catalog entry                       (Nothing)
sim::HostSpec apply_host(bool with_c = true) {
  sim::HostSpec desc;
  desc.functions = {adapter("0000:04:00.0", 0x1003, "QRV0000000004", "2.10.0"),
                    adapter("0000:05:00.0", 0x1007, "QRV0000000005", "2.10.2"),
                    adapter("0000:82:00.0", 0x1003, "QRV0000000082", "2.50.0"),
                    adapter("0000:83:00.0", 0x1003, "QRV0000000083", "2.36.5000")};
  if (with_c) desc.functions.push_back(adapter("0000:81:00.0", 0x1017, "QRV0000000081", "2.36.5000"));
  desc.catalog_xml = "<?xml version=\"1.0\"?>\n<NICFWData>\n" +
                     catalog_entry("1003", "QRV0000000004", "2.42.5000", "qva-2.42.5000.bin") +
                     catalog_entry("1007", "QRV0000000005", "2.10.1", "qvb-2.10.1.bin") +
                     catalog_entry("1017", "QRV0000000081", "2.40.7000", "qvc-2.40.7000.bin") +
                     catalog_entry("1017", "QRV0000000081", "2.42.5000", "qvc-2.42.5000.bin") +
                     catalog_entry("1003", "QRV0000000082", "2.50.0", "Belmora-qv.bin") +
                     catalog_entry("1003", "QRV0000000082", "2.50.0", "qvd-2.50.0.bin") +
                     "</NICFWData>\n";
  desc.images = {{"qva-2.42.5000.bin", "QRV0000000004", "2.42.5000"},
                 {"qvb-2.10.1.bin", "QRV0000000005", "2.10.1"},
                 {"qvc-2.40.7000.bin", "QRV0000000081", "2.40.7000"},
                 {"qvc-2.42.5000.bin", "QRV0000000081", "2.42.5000"},
                 {"qvd-2.50.0.bin", "QRV0000000082", "2.50.0"}};
  return desc;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

// One device of a report in the writer's layout; defaults are adapter A.
struct Dev {
  std::string venid = "15B3", devid = "1003", subvenid = "15B3", subdevid = "0050";
  std::string bus = "0000:04", device = "00", func = "0";
  std::string psid = "QRV0000000004", active = "2.10.0", action = "upgrade";
};

Dev dev_at(const std::string& bus, const std::string& devid, const std::string& psid,
           const std::string& action = "upgrade") {
  Dev d;
  d.bus = bus;
  d.devid = devid;
  d.psid = psid;
  d.action = action;
  return d;
}

std::string device_xml(const Dev& d) {
  auto leaf = [](const std::string& indent, const std::string& name, const std::string& value) {
    return indent + "<" + name + " value=\"" + escaped(value) + "\"/>\n";
  };
  const std::string in = "            ", in2 = "                ";
  return "        <device>\n" + leaf(in, "device_id", "ib0") + leaf(in, "venid", d.venid) +
         leaf(in, "devid", d.devid) + leaf(in, "subvenid", d.subvenid) +
         leaf(in, "subdevid", d.subdevid) + leaf(in, "macaddress", "0002c90000044") +
         leaf(in, "product_id", "QV") + leaf(in, "busnumber", d.bus) +
         leaf(in, "devicenumber", d.device) + leaf(in, "funcnumber", d.func) +
         leaf(in, "slotnumber", "") + leaf(in, "nictype", "QUORVANE") + in + "<fw_item>\n" +
         leaf(in2, "type", "ROM") + leaf(in2, "firmware_id", d.psid) +
         leaf(in2, "version", "2.42.5000") + leaf(in2, "active_version", d.active) +
         leaf(in2, "action", d.action) + leaf(in2, "duration", "210") +
         leaf(in2, "message", "") + leaf(in2, "shared", "no") + in + "</fw_item>\n" +
         "        </device>\n";
}

std::string report_of(const std::string& devices) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<zk_rom_discovery version=\"2.0.0.0\">\n"
         "    <type value=\"QUORVANE_NIC\"/>\n"
         "    <version value=\"1.0.0\"/>\n"
         "    <devices>\n" +
         devices + "    </devices>\n</zk_rom_discovery>\n";
}

std::string report_of(const std::vector<Dev>& devs) {
  std::string devices;
  for (const Dev& d : devs) devices += device_xml(d);
  return report_of(devices);
}

std::vector<std::string> burn(const std::string& address, const std::string& image) {
  return {"pyxflash", "-s", "-y", "-d", address, "-i", "./nic_fw/" + image, "b"};
}

class ApplyTest : public testhost::HostTest {
 protected:
  sim::RunResult apply(const std::string& report) {
    host_->write_file("report.xml", report);
    return host_->run({"-u", "report.xml"});
  }
  // Files getqrvninfo's answers went through, which must all be gone.
  std::vector<std::string> data_files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(host_->component_dir())) {
      std::string name = e.path().filename().string();
      if (name.rfind("data", 0) == 0) names.push_back(name);
    }
    return names;
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
        << installed << "\n" << second;
  }
  EXPECT_TRUE(has(second, "<active_version value=\"2.36.5000\"/>\n"
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
  const char* failing_burn = nullptr;  // address whose burn fails
};

class ApplyReport : public ApplyTest, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyReport, FlashesAndCountsFailures) {
  const ApplyCase& c = GetParam();
  sim::HostSpec desc = apply_host();
  for (auto& f : desc.functions) {
    if (c.failing_burn && f.address == c.failing_burn) f.flash->burn = sim::BurnBehaviour::fail;
  }
  host(desc);
  sim::RunResult r = apply(report_of(c.devices));
  EXPECT_EQ(r.status, c.status) << r.out << r.err << host_->event_log();
  EXPECT_EQ(host_->burns(), c.burns);
}

Dev with(Dev d, std::string Dev::*field, const std::string& value) {
  d.*field = value;
  return d;
}

const Dev A;
const Dev B = dev_at("0000:05", "1007", "QRV0000000005");
const Dev C = dev_at("0000:81", "1017", "QRV0000000081");

INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyReport,
    ::testing::Values(
        ApplyCase{"LowerCaseIds", {with(with(A, &Dev::venid, "15b3"), &Dev::subvenid, "15b3")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0},
        ApplyCase{"FiveDigitIdReadsFourDigits", {with(A, &Dev::devid, "10037")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0},
        ApplyCase{"EmptyIdMatchesNothing", {with(A, &Dev::devid, "")}, {}, 2},
        ApplyCase{"InstalledVersionNotKnown", {with(A, &Dev::active, "n/a")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0},
        ApplyCase{"ActionContainingRewrite", {with(A, &Dev::action, "rewrite-now")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 0},
        ApplyCase{"NothingIsNotFlashed",
                  {with(A, &Dev::action, "Nothing"), B},
                  {burn("0000:05:00.0", "qvb-2.10.1.bin")}, 0},
        ApplyCase{"NoCatalogEntry", {with(A, &Dev::psid, "QRV0000000999")}, {}, 2},
        // The report's version is not looked at: the first catalog entry is burned.
        ApplyCase{"FirstCatalogEntryIsBurned", {C}, {burn("0000:81:00.0", "qvc-2.40.7000.bin")}, 0},
        ApplyCase{"FailedFlashCountsTheLaterDevicesToo",
                  {A, with(B, &Dev::action, "Nothing")},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin")}, 2, "0000:04:00.0"},
        ApplyCase{"OneOfTwoFailing",
                  {A, B},
                  {burn("0000:04:00.0", "qva-2.42.5000.bin"), burn("0000:05:00.0", "qvb-2.10.1.bin")},
                  0, "0000:05:00.0"},
        ApplyCase{"NoDevice", {}, {}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ApplyTest, EmptyDeviceElementDoesNotAdvanceThePosition) {
  sim::SimHost& h = host(apply_host());
  // Two devices counted; B's values land in the first record, the second
  // stays empty and fails: one of two failed.
  sim::RunResult r = apply(report_of("        <device/>\n" + device_xml(B)));
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

INSTANTIATE_TEST_SUITE_P(
    Reports, ApplyBrokenReport,
    ::testing::Values(
        BrokenReportCase{"Missing", std::nullopt, "read_discovery_report: Failed to open report.xml\n"},
        // Well-formed up to a device that asks for a flash, then broken.
        BrokenReportCase{"Malformed", report_of(std::vector<Dev>{Dev{}}).substr(0, 900) + "<<",
                         "read_discovery_report: Failed to parse report.xml\n"},
        BrokenReportCase{"Empty", std::string(), "read_discovery_report: Failed to parse report.xml\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Any number of devices and any length of text.
TEST_F(ApplyTest, ManyDevicesAndLongTexts) {
  sim::SimHost& h = host(apply_host());
  std::vector<Dev> devs(60, with(A, &Dev::action, "Nothing"));
  devs[7].psid = std::string(100000, 'Q');
  devs[8].action = std::string(50000, 'x') + "upgrade";
  devs[9].bus = std::string(50000, '0');
  sim::RunResult r = apply(report_of(devs));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(h.burns(), (Burns{burn("0000:04:00.0", "qva-2.42.5000.bin")}));
  EXPECT_TRUE(has(h.event_log(), "device 10 has an invalid PCI address \"00000000")) << r.err;
}

// ---------------------------------------------------------------------------
// Family images resolved through getqrvninfo
// ---------------------------------------------------------------------------

TEST_F(ApplyTest, FamilyImageResolvedThroughGetqrvninfo) {
  sim::SimHost& h = host(apply_host());
  sim::RunResult r = apply(report_of({dev_at("0000:82", "1003", "QRV0000000082", "rewrite")}));
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
  sim::RunResult r = apply(report_of({A, dev_at("0000:82", "1003", "QRV0000000082"), B}));
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
  }
  EXPECT_EQ(h.burns(), expected);
  EXPECT_TRUE(data_files().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ApplyGetqrvninfoAnswer,
    ::testing::Values(AnswerCase{"Plain", "host1#qvd-2.50.0.bin\\n", "qvd-2.50.0.bin"},
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

TEST_F(ApplyTest, GetqrvninfoFailingEndsTheRun) {
  sim::SimHost& h = host(apply_host());
  h.write_file("getqrvninfo", "#!/bin/sh\necho broken >&2\nexit 3\n", true);
  sim::RunResult r = apply(report_of({dev_at("0000:82", "1003", "QRV0000000082")}));
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

class ApplyHostileReport : public ApplyTest,
                           public ::testing::WithParamInterface<HostileCase> {};

// The family device's address goes to getqrvninfo through the shell and to
// the flash utility: neither may see a text that is not a bus address.
TEST_P(ApplyHostileReport, RunsNothingAndFlashesNothing) {
  sim::SimHost& h = host(apply_host());
  sim::RunResult r = apply(report_of({GetParam().device}));
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(fs::exists(fs::path(h.component_dir()) / "pwned"));
  EXPECT_TRUE(h.burns().empty());
  EXPECT_FALSE(has(r.out, "getqrvninfo")) << r.out;
}

const Dev D = dev_at("0000:82", "1003", "QRV0000000082");

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
  // images missing from nic_fw/ are never an answer.
  desc.functions.push_back(adapter("0000:84:00.0", 0x1003, "QRV0000000084", "2.9.1000"));
  desc.catalog_xml->insert(desc.catalog_xml->rfind("</NICFWData>"),
                           catalog_entry("1003", "QRV0000000084", "2.9.1000", "x-2.9.1000.bin") +
                               catalog_entry("1003", "QRV0000000084", "2.42.5000", "x-2.42.5000.bin") +
                               catalog_entry("1003", "QRV0000000084", "3.0.0", "Belmora-x.bin") +
                               catalog_entry("1003", "QRV0000000084", "9.0.0", "x-9.0.0.bin"));
  for (const char* file : {"x-2.9.1000.bin", "x-2.42.5000.bin", "Belmora-x.bin"})
    desc.images.push_back({file, "QRV0000000084", "2.42.5000"});
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
