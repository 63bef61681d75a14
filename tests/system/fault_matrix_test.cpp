// Faults of the host around vexor, one row each: a read-only log directory,
// a broken catalog, a broken flash utility, mokutil talking nonsense, /tmp
// not writable, and bad discovery reports. Every row checks the exit status,
// the lines logged, and that nothing was lost: the earlier log lines and the
// earlier report are still there, and the flash utility's journal shows no
// burn beyond the ones the row allows.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

namespace fs = std::filesystem;
using testhost::kAddrA;
using testhost::kAddrB;
using testhost::reason_lines;
using testhost::report_xml;
using testhost::ReportDevice;
using testhost::with;

const char* const kEarlierLog =
    "[INFO]      [Thu Jan  1 00:00:00 2026] an earlier run\n\n"
    "[ERROR]     [Thu Jan  1 00:00:01 2026] an earlier failure\n\n";

// Adapter A as a discovery report describes it, asking for action.
ReportDevice device_a(const std::string& action) {
  ReportDevice a = testhost::due_a();
  a.product = "QX";
  a.action = action;
  return a;
}

// The report a previous -d left; every row must find it unchanged unless the
// row itself writes a new one.
const std::string& earlier_report() {
  static const std::string r = report_xml({device_a("Nothing")});
  return r;
}

// 999 devices of A's board at addresses the host does not have, all with
// action "Nothing", then A asking for an upgrade: nothing may be cut off at
// some fixed number of devices.
std::string thousand_devices() {
  std::vector<ReportDevice> devices;
  for (int i = 0; i < 999; ++i) {
    char bus[16], dev[8];
    std::snprintf(bus, sizeof bus, "0001:%02x", i / 32);
    std::snprintf(dev, sizeof dev, "%02x", i % 32);
    devices.push_back(
        with(with(device_a("Nothing"), &ReportDevice::bus, bus), &ReportDevice::device, dev));
  }
  devices.push_back(device_a("upgrade"));
  return report_xml(devices);
}

// A report that would flash A, but defines an entity.
std::string entity_report() {
  std::string r = report_xml({device_a("upgrade")});
  r.insert(r.find('\n') + 1, "<!DOCTYPE zk_rom_discovery [<!ENTITY e \"QRV11\">]>\n");
  return r;
}

// The healthy catalog, defining an entity it never uses.
std::string entity_catalog() {
  std::string c = testhost::catalog_xml(testhost::two_adapter_catalog());
  c.insert(c.find('\n') + 1, "<!DOCTYPE NICFWData [<!ENTITY e \"x\">]>\n");
  return c;
}

std::string hostile_report() {
  const ReportDevice a = device_a("upgrade");
  return report_xml({with(a, &ReportDevice::bus, "0000:05;touch pwned-bus;"),
                     with(a, &ReportDevice::device, "00`touch pwned-dev`"),
                     with(a, &ReportDevice::func, "0$(touch pwned-func)"),
                     with(a, &ReportDevice::psid, "QRV11$(touch pwned-psid)"),
                     with(with(a, &ReportDevice::bus, "&& touch pwned-amp"), &ReportDevice::action,
                          "upgrade|touch pwned")});
}

// A catalog whose document breaks after A's entries and those of a hundred
// other boards: the entries before the break are used, B's entry behind it
// is not. (The reader parses ahead in blocks of some kilobytes, so a break
// within the first block hides everything.)
std::string malformed_catalog() {
  std::vector<testhost::CatalogEntry> entries = {
      {"Quorvane QX-50", "1017", "QRV11", "16.35.1012", "qx50-1012.bin"},
      {"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"},
  };
  for (int i = 0; i < 100; ++i)
    entries.push_back({"Other board", "101D", "QRV9" + std::to_string(i), "1.0.0", "o.bin"});
  std::string good = testhost::catalog_xml(entries);
  good.resize(good.rfind("</NICFWData>"));
  return good + "  <nic name=\"broken <<\n" +
         testhost::catalog_entry_xml(
             {"Quorvane QX-100", "1003", "QRV22", "2.42.5000", "qx100-2.42.bin"}) +
         "</NICFWData>\n";
}

// Flash utilities that print noise. The simulated utility is kept beside
// them as nic_fw/pyxflash-sim; what it runs lands in the journal.
const char* const kNoisyQuery =
    "#!/bin/sh\n"
    "case \"$*\" in *' b') exec ./nic_fw/pyxflash-sim \"$@\" ;; esac\n"
    "printf '\\001\\002\\377\\000\\033[2J\\r\\n'\n"
    "head -c 200000 /dev/zero | tr '\\000' 'x'\n"
    "printf '\\nFW_Vers1on\\001: 9.9.9\\n' >&2\n"
    "exit 0\n";
const char* const kNoisyBurn =
    "#!/bin/sh\n"
    "case \"$*\" in *' b') printf '\\001\\377\\000junk\\r\\n'; head -c 300000 /dev/zero; "
    "printf '\\033]0;title\\007' >&2 ;; esac\n"
    "exec ./nic_fw/pyxflash-sim \"$@\"\n";

// Shell lines run in the host before vexor, inside its namespace. The
// component directory lies under the host's /tmp, which the namespace
// covers, so it is reached through the working directory: bind it over
// itself, step into the new mount, and make that read-only (root ignores
// file modes, but not a read-only mount).
const char* const kReadOnlyComponentDir =
    "d=$(basename \"$PWD\") && mount -c --bind . . && cd -P \"../$d\" && "
    "mount -c -o remount,bind,ro . && ! touch probe 2>/dev/null";
const char* const kReadOnlyTmp = "mount -o remount,bind,ro /tmp && ! touch /tmp/probe 2>/dev/null";
// /run read-only, so that the run lock's directory cannot be made; or that
// directory made wrong, by another hand than vexor's.
const char* const kReadOnlyRun =
    "mount --bind /run /run && mount -o remount,bind,ro /run && ! touch /run/probe 2>/dev/null";
const char* const kRunLockDirOfAUser = "mkdir -m 700 /run/vexor && chown 4242 /run/vexor";
const char* const kRunLockDirALink = "ln -s /tmp/elsewhere /run/vexor";
const char* const kRunLockWithTwoNames =
    "mkdir -m 700 /run/vexor && touch /run/vexor/other && ln /run/vexor/other /run/vexor/vexor.lock";
const char* const kNoLockBurned = "; nothing is burned without the run lock";

enum class Setup {
  none,
  no_catalog,
  catalog_is_directory,
  malformed_catalog,
  empty_catalog,
  no_utility,
  utility_not_executable,
  burn_fails,
  burn_killed,
  noisy_query,
  noisy_burn,
  mokutil_garbage,
  entity_catalog,
  erased_psid,
  sick_device,
  no_vendor_adapter,
  all_latest,
  secure_boot_without_tools,
};

struct FaultRow {
  const char* name;
  Setup setup;
  const char* before;             // shell line run first ("" none)
  std::vector<std::string> args;  // vexor's arguments
  std::string report;             // written to fault.xml when not empty
  int status;
  std::vector<std::string> logged;  // each in the lines this run appended
  std::vector<std::string> said;    // each in standard output or error
  std::vector<std::string> burned;  // addresses the journal shows burned, in order
  const char* kept_in_tmp;          // in some file under /tmp (nullptr: not looked at)
  bool new_report = false;          // the run writes nicdiscovery.xml afresh
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

sim::HostSpec healthy_host() {
  sim::HostSpec desc = testhost::two_adapter_host();
  desc.secure_boot = sim::SecureBoot::disabled;
  return desc;
}

void apply_to_desc(Setup setup, sim::HostSpec& desc) {
  switch (setup) {
    case Setup::no_catalog: desc.catalog_xml.reset(); break;
    case Setup::malformed_catalog: desc.catalog_xml = malformed_catalog(); break;
    case Setup::empty_catalog: desc.catalog_xml = ""; break;
    case Setup::no_utility: desc.pyxflash_present = false; break;
    case Setup::utility_not_executable: desc.pyxflash_executable = false; break;
    case Setup::burn_fails: desc.functions[0].flash->burn = sim::BurnBehaviour::fail; break;
    case Setup::burn_killed: desc.functions[0].flash->burn = sim::BurnBehaviour::killed; break;
    case Setup::mokutil_garbage: desc.secure_boot = sim::SecureBoot::garbage; break;
    case Setup::entity_catalog: desc.catalog_xml = entity_catalog(); break;
    // An erased board reads as 0xFF.
    case Setup::erased_psid: desc.functions[0].flash->psid = std::string(13, '\xff'); break;
    // Another vendor's device on its way out: its vendor file is gone.
    case Setup::sick_device:
      desc.functions.push_back(testhost::other_vendor("0000:02:00.0"));
      desc.functions.back().missing_files = {"vendor"};
      break;
    case Setup::no_vendor_adapter:
      desc.functions = {testhost::other_vendor("0000:02:00.0"),
                        testhost::other_vendor("0000:03:00.0")};
      break;
    case Setup::all_latest: desc.functions[0].flash->fw = "16.35.2000"; break;
    case Setup::secure_boot_without_tools: desc.secure_boot = sim::SecureBoot::enabled; break;
    default: break;
  }
}

void apply_to_host(Setup setup, sim::SimHost& host) {
  const fs::path fw = fs::path(host.component_dir()) / "nic_fw";
  switch (setup) {
    case Setup::catalog_is_directory:
      fs::remove(fw / "NICFWData.xml");
      fs::create_directory(fw / "NICFWData.xml");
      break;
    case Setup::noisy_query:
    case Setup::noisy_burn:
      fs::copy_file(fw / "pyxflash", fw / "pyxflash-sim");
      host.write_file("nic_fw/pyxflash", setup == Setup::noisy_query ? kNoisyQuery : kNoisyBurn,
                      true);
      break;
    default: break;
  }
}

std::string tmp_contents(const std::string& dir) {
  std::string all;
  for (const auto& file : testhost::files_named(dir, "")) all += testhost::file_text(file);
  return all;
}

// A healthy host with one fault made, on which vexor runs after a shell line.
template <class Row>
class FaultTest : public testhost::HostTestWithParam<Row> {
 protected:
  // Lays out the host with setup made, and report (when not empty) as
  // fault.xml.
  sim::SimHost& faulty_host(Setup setup, const std::string& report) {
    sim::HostSpec desc = healthy_host();
    apply_to_desc(setup, desc);
    sim::SimHost& h = this->host(desc);
    h.set_timeout(20);
    apply_to_host(setup, h);
    if (!report.empty()) h.write_file("fault.xml", report);
    return h;
  }
  // Runs the shell line before (none when empty), then vexor with args, in h.
  static sim::RunResult run_after(sim::SimHost& h, const char* before,
                                  const std::vector<std::string>& args) {
    std::string line =
        before[0] ? std::string(before) + " || { echo 'fault set-up failed' >&2; exit 125; }; "
                  : std::string();
    line += "exec ./vexor";
    for (const auto& a : args) line += " " + testhost::quoted(a);
    return h.run_shell(line);
  }
};

using FaultMatrix = FaultTest<FaultRow>;

TEST_P(FaultMatrix, ExitsRightLogsRightLosesNothing) {
  const FaultRow& row = GetParam();
  sim::SimHost& h = faulty_host(row.setup, row.report);
  h.write_file("pyxflash.log", kEarlierLog);
  h.write_file("nicdiscovery.xml", earlier_report());
  const sim::RunResult r = run_after(h, row.before, row.args);
  const std::string log = h.event_log();
  const std::string said = r.out + r.err;

  EXPECT_EQ(r.status, row.status) << said << log;
  // In a sanitizer build a report also ends vexor with 1, which some rows
  // expect anyway.
  EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
  EXPECT_EQ(said.find("runtime error:"), std::string::npos) << said;
  ASSERT_EQ(log.rfind(kEarlierLog, 0), 0u) << "earlier log lines lost:\n" << log;
  const std::string appended = log.substr(std::string(kEarlierLog).size());
  for (const auto& text : row.logged)
    EXPECT_NE(appended.find(text), std::string::npos) << text << "\nnot in the log:\n" << appended;
  for (const auto& text : row.said)
    EXPECT_NE(said.find(text), std::string::npos) << text << "\nnot said:\n" << said;

  EXPECT_EQ(testhost::burned_addresses(h), row.burned);

  const std::string report_now = h.read_file("nicdiscovery.xml");
  if (row.new_report) {
    EXPECT_NE(report_now, earlier_report());
    EXPECT_NE(report_now.find("<busnumber value=\"0000:81\"/>"), std::string::npos) << report_now;
  } else {
    EXPECT_EQ(report_now, earlier_report()) << "the earlier report was not kept";
  }
  if (!row.report.empty()) {
    EXPECT_EQ(h.read_file("fault.xml"), row.report);
  }
  // Every file the log says was kept is there.
  for (size_t at = appended.find(" is kept in /tmp/"); at != std::string::npos;
       at = appended.find(" is kept in /tmp/", at + 1)) {
    const size_t start = at + std::string(" is kept in /tmp/").size();
    const std::string name = appended.substr(start, appended.find('\n', start) - start);
    EXPECT_TRUE(fs::exists(fs::path(h.tmp_dir()) / name)) << "/tmp/" << name << " is gone";
  }
  if (row.kept_in_tmp) {
    EXPECT_NE(tmp_contents(h.tmp_dir()).find(row.kept_in_tmp), std::string::npos)
        << row.kept_in_tmp << " not kept under /tmp";
  }
  // No text from a report or a utility's output ever became a command.
  for (const auto& e : fs::directory_iterator(h.component_dir()))
    EXPECT_EQ(e.path().filename().string().rfind("pwned", 0), std::string::npos) << e.path();
}

const std::string kNoMatchA = std::string("For ") + kAddrA + " no matching firmware file in XML";
const std::string kNoMatchB = std::string("For ") + kAddrB + " no matching firmware file in XML";
const char* const kLacking =
    "FWUPG_ERROR: PSID or FW_Version is not found for 0000:05:00.0 interface";
const char* const kSuccessA = "MAC 0002c9aabb114 Upgrade SUCCESS";
const char* const kFailed = "Upgrade failed\n";
const char* const kKeptA = "Output of the failed burn of 0000:05:00.0 is kept in /tmp/data";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Values(
        FaultRow{"log_directory_read_only", Setup::none, kReadOnlyComponentDir, {"-s"}, "", 1,
                 {}, {"FWUPG_ERROR: could not open pyxflash.log (30), update,"}, {}, nullptr},
        FaultRow{"catalog_missing", Setup::no_catalog, "", {"-c"}, "", 1,
                 {"Unable to open nic_fw/NICFWData.xml"}, {}, {}, nullptr},
        FaultRow{"catalog_unreadable", Setup::catalog_is_directory, "", {"-s"}, "", 1,
                 {"Unable to open nic_fw/NICFWData.xml"}, {}, {}, nullptr},
        FaultRow{"catalog_malformed", Setup::malformed_catalog, "", {"-s"}, "", 0,
                 {kSuccessA, kNoMatchB}, {"parser error"}, {kAddrA}, nullptr},
        FaultRow{"catalog_empty", Setup::empty_catalog, "", {"-s"}, "", 0,
                 {kNoMatchA, kNoMatchB}, {}, {}, nullptr},
        FaultRow{"catalog_with_entities", Setup::entity_catalog, "", {"-s"}, "", 1,
                 {"nic_fw/NICFWData.xml declares entities; it is not read",
                  "Unable to open nic_fw/NICFWData.xml"},
                 {}, {}, nullptr},
        FaultRow{"utility_missing", Setup::no_utility, "", {"-d"}, "", 2,
                 {}, {}, {}, kLacking},
        FaultRow{"utility_not_executable", Setup::utility_not_executable, "", {"-s"}, "", 2,
                 {}, {}, {}, kLacking},
        FaultRow{"utility_failing", Setup::burn_fails, "", {"-s"}, "", 2,
                 {kFailed, kKeptA}, {}, {kAddrA}, "pyxflash: error: write failed at offset 0x3d0000"},
        FaultRow{"utility_killed", Setup::burn_killed, "", {"-s"}, "", 2,
                 {"The flash utility for 0000:05:00.0 was ended by signal 9", kFailed, kKeptA},
                 {}, {kAddrA}, nullptr},
        FaultRow{"utility_printing_garbage_on_query", Setup::noisy_query, "", {"-s"}, "", 2,
                 {}, {}, {}, kLacking},
        FaultRow{"utility_printing_garbage_on_burn", Setup::noisy_burn, "", {"-s"}, "", 0,
                 {kSuccessA}, {}, {kAddrA}, nullptr},
        FaultRow{"utility_printing_an_erased_psid", Setup::erased_psid, "", {"-d"}, "", 0,
                 {}, {}, {}, nullptr, true},
        FaultRow{"mokutil_printing_garbage", Setup::mokutil_garbage, "", {"-s"}, "", 0,
                 {kSuccessA}, {}, {kAddrA}, nullptr},
        FaultRow{"tmp_not_writable", Setup::none, kReadOnlyTmp, {"-s"}, "", 0,
                 {"Unable to create /tmp/data", "for the output of the burn of 0000:05:00.0: "
                  "Read-only file system",
                  "Burning ./nic_fw/qx50-2000.bin into 0000:05:00.0; the flash utility's output "
                  "is not kept",
                  kSuccessA},
                 {"Not able to open this /tmp/data"}, {kAddrA}, nullptr},
        FaultRow{"run_lock_read_only", Setup::none, kReadOnlyRun, {"-s"}, "", 1,
                 {"[ERROR]    ", std::string("Unable to lock /run/vexor/vexor.lock: /run/vexor: "
                  "Read-only file system") + kNoLockBurned},
                 {"vexor: the run lock /run/vexor/vexor.lock cannot be had (/run/vexor: "
                  "Read-only file system); nothing is burned without it"},
                 {}, nullptr},
        FaultRow{"run_lock_read_only_listing", Setup::none, kReadOnlyRun, {"-c"}, "", 0,
                 {"[WARNING]  ", "Unable to lock /run/vexor/vexor.lock: /run/vexor: Read-only "
                  "file system; the run goes on without the run lock"},
                 {}, {}, nullptr},
        FaultRow{"run_lock_directory_of_a_user", Setup::none, kRunLockDirOfAUser,
                 {"-u", "fault.xml"}, report_xml({device_a("upgrade")}), 1,
                 {std::string("Unable to lock /run/vexor/vexor.lock: /run/vexor is owned by uid "
                              "4242, not by root (uid 0)") + kNoLockBurned},
                 {}, {}, nullptr},
        FaultRow{"run_lock_directory_of_a_user_discovery", Setup::none, kRunLockDirOfAUser,
                 {"-d"}, "", 0,
                 {"[WARNING]  ", "/run/vexor is owned by uid 4242, not by root (uid 0); the run "
                  "goes on without the run lock"},
                 {}, {}, nullptr, true},
        FaultRow{"run_lock_directory_a_link", Setup::none, kRunLockDirALink, {"-s"}, "", 1,
                 {std::string("Unable to lock /run/vexor/vexor.lock: /run/vexor is a symbolic "
                              "link, not a directory") + kNoLockBurned},
                 {}, {}, nullptr},
        FaultRow{"run_lock_file_with_two_names", Setup::none, kRunLockWithTwoNames, {"-s"}, "", 1,
                 {std::string("Unable to lock /run/vexor/vexor.lock: /run/vexor/vexor.lock has 2 "
                              "links, not one") + kNoLockBurned},
                 {}, {}, nullptr},
        FaultRow{"sysfs_vendor_file_gone", Setup::sick_device, "", {"-s"}, "", 0,
                 {"[WARNING]  ", "PCI device 0000:02:00.0: Cannot open "
                  "/sys/bus/pci/devices/0000:02:00.0/vendor", kSuccessA},
                 {}, {kAddrA}, nullptr},
        // The earlier lines stand: only the run's own view of the log is full.
        FaultRow{"log_file_system_full", Setup::none,
                 "mount --bind /dev/full pyxflash.log", {"-s"}, "", 0, {},
                 {"pyxflash.log: the event log cannot be written: No space left on device "
                  "(errno 28)"},
                 {kAddrA}, nullptr},
        FaultRow{"tmp_not_writable_discovery", Setup::none, kReadOnlyTmp, {"-d"}, "", 0,
                 {}, {"Not able to open this /tmp/data"}, {}, nullptr, true},
        FaultRow{"report_path_is_the_catalog", Setup::none, "", {"-d", "nic_fw/NICFWData.xml"},
                 "", 2,
                 {"xml_discovery_report: not saving the report as nic_fw/NICFWData.xml: it is the "
                  "firmware catalog"},
                 {}, {}, nullptr},
        FaultRow{"report_missing", Setup::none, "", {"-u", "fault.xml"}, "", 2,
                 {"read_discovery_report: Failed to open fault.xml"}, {}, {}, nullptr},
        FaultRow{"report_malformed", Setup::none, "", {"-u", "fault.xml"},
                 "<zk_rom_discovery><devices><device><busnumber value=\"0000:05\"/>"
                 "<action value=\"upgrade\"></device>",
                 2, {"read_discovery_report: Failed to parse fault.xml"}, {}, {}, nullptr},
        FaultRow{"report_truncated", Setup::none, "", {"-u", "fault.xml"},
                 testhost::cut_before(report_xml({device_a("upgrade"), device_a("upgrade")}),
                                      "<fw_item>", 2),
                 2,
                 {"read_discovery_report: Failed to parse fault.xml"}, {}, {}, nullptr},
        FaultRow{"report_with_entities", Setup::none, "", {"-u", "fault.xml"}, entity_report(), 2,
                 {"read_discovery_report: fault.xml declares entities; it is not read",
                  "read_discovery_report: Failed to parse fault.xml"},
                 {}, {}, nullptr},
        FaultRow{"report_repeating_a_device", Setup::none, "", {"-u", "fault.xml"},
                 report_xml({device_a("upgrade"), device_a("upgrade"), device_a("rewrite")}), 0,
                 {kSuccessA, "device 2 repeats the address 0000:05:00.0 of an earlier device",
                  "device 3 repeats the address 0000:05:00.0 of an earlier device"},
                 {}, {kAddrA}, nullptr},
        FaultRow{"report_with_1000_devices", Setup::none, "", {"-u", "fault.xml"},
                 thousand_devices(), 0, {kSuccessA}, {}, {kAddrA}, nullptr},
        FaultRow{"report_hostile", Setup::none, "", {"-u", "fault.xml"}, hostile_report(), 2,
                 {"device 1 has an invalid PCI address \"0000:05;touch pwned-bus;:00.0\"",
                  "device 2 has an invalid PCI address", "device 3 has an invalid PCI address",
                  "device 5 has an invalid PCI address",
                  "read_discovery_report: Error at read_NIC_FW_xml_file"},
                 {}, {}, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// Reasons: a run that fails says why on standard error, in one line
// ---------------------------------------------------------------------------

// Holds the run lock from inside the host until vexor has run, as root's
// own flock might.
const char* const kLockHeld =
    "mkdir -m 700 /run/vexor && sh -c 'exec 9>>/run/vexor/vexor.lock; flock -x 9; "
    "touch /tmp/held; sleep 5' & while ! test -e /tmp/held; do sleep 0.02; done";

// The vendor-name database the PCI library reads, made unparseable.
const char* const kBrokenPciIds =
    "for f in /usr/share/misc/pci.ids /usr/share/hwdata/pci.ids; do "
    "if [ -e $f ]; then printf 'not a database\\n' > $f || exit 1; fi; done";

struct ReasonRow {
  const char* name;
  Setup setup;
  const char* before;  // shell line run first ("" none)
  std::vector<std::string> args;
  std::string report;  // written to fault.xml when not empty
  int status;
  std::vector<std::string> words;  // each in the reason line; none: no reason line at all
};

void PrintTo(const ReasonRow& row, std::ostream* os) { *os << row.name; }

using ReasonLine = FaultTest<ReasonRow>;

TEST_P(ReasonLine, OneLineSaysWhyAndWhereToLook) {
  const ReasonRow& row = GetParam();
  sim::SimHost& h = faulty_host(row.setup, row.report);
  const sim::RunResult r = run_after(h, row.before, row.args);

  EXPECT_EQ(r.status, row.status) << r.out << r.err << h.event_log();
  EXPECT_TRUE(reason_lines(r.out).empty()) << "a reason on standard output:\n" << r.out;
  testhost::expect_reason(r.err, row.words);
}

// Two devices the catalog has no entry for: every device fails.
std::string unknown_devices_report() {
  return report_xml({with(device_a("upgrade"), &ReportDevice::psid, "QRV98"),
                     with(with(device_a("upgrade"), &ReportDevice::psid, "QRV99"),
                          &ReportDevice::bus, "0000:81")});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Silenced, ReasonLine,
    ::testing::Values(
        ReasonRow{"report_missing", Setup::none, "", {"-u", "nosuch.xml"}, "", 2,
                  {"the report nosuch.xml could not be opened: No such file or directory",
                   "see pyxflash.log"}},
        ReasonRow{"report_malformed", Setup::none, "", {"-u", "fault.xml"}, "<zk_rom_discovery>",
                  2, {"the report fault.xml could not be parsed", "see pyxflash.log"}},
        ReasonRow{"report_directory_missing", Setup::none, "", {"-d", "/nonexistent/r.xml"}, "",
                  2,
                  {"the report /nonexistent/r.xml could not be saved", "No such file or directory",
                   "see pyxflash.log"}},
        ReasonRow{"report_path_refused", Setup::none, "", {"-d", "nic_fw/NICFWData.xml"}, "", 2,
                  {"report", "nic_fw/NICFWData.xml: it is the firmware catalog"}},
        ReasonRow{"utility_missing", Setup::no_utility, "", {"-d"}, "", 2,
                  {"no usable adapter", "0000:05:00.0 and 1 more", "./nic_fw/pyxflash is missing",
                   "see /tmp/data"}},
        ReasonRow{"utility_not_executable", Setup::utility_not_executable, "", {"-s"}, "", 2,
                  {"no usable adapter", "./nic_fw/pyxflash cannot be run"}},
        ReasonRow{"catalog_missing_listing", Setup::no_catalog, "", {"-c"}, "", 1,
                  {"the firmware catalog nic_fw/NICFWData.xml could not be read"}},
        ReasonRow{"catalog_missing_apply", Setup::no_catalog, "", {"-u", "fault.xml"},
                  report_xml({device_a("upgrade")}), 1, {"catalog"}},
        ReasonRow{"refused_silent_yes", Setup::none, "", {"-sy"}, "", 1,
                  {"the options -s -y do not go together"}},
        ReasonRow{"lock_held", Setup::none, kLockHeld, {"-s"}, "", 1,
                  {"another process (pid", ", sh) is using the adapters"}},
        ReasonRow{"burn_fails", Setup::burn_fails, "", {"-s"}, "", 2,
                  {"1 of 1 devices failed (0000:05:00.0: the burn failed, output in /tmp/data",
                   "); 0 flashed (see pyxflash.log)"}},
        ReasonRow{"every_device_failing", Setup::none, "", {"-u", "fault.xml"},
                  unknown_devices_report(), 2,
                  {"2 of 2 devices failed (0000:05:00.0: no entry in nic_fw/NICFWData.xml for "
                   "its ids and PSID QRV98; 0000:81:00.0: no entry in nic_fw/NICFWData.xml for "
                   "its ids and PSID QRV99); 0 flashed (see pyxflash.log)"}},
        ReasonRow{"no_vendor_adapter_silent", Setup::no_vendor_adapter, "", {"-s"}, "", 1,
                  {"no Quorvane adapter found"}},
        ReasonRow{"no_vendor_adapter_discovery", Setup::no_vendor_adapter, "", {"-d"}, "", 2,
                  {"no Quorvane adapter found"}},
        ReasonRow{"all_latest", Setup::all_latest, "", {"-s"}, "", 1,
                  {"already runs the latest firmware", "nothing was flashed"}},
        ReasonRow{"log_directory_read_only", Setup::none, kReadOnlyComponentDir, {"-s"}, "", 1,
                  {"the event log pyxflash.log could not be opened: Read-only file system"}},
        ReasonRow{"pci_ids_broken", Setup::none, kBrokenPciIds, {"-s"}, "", 1,
                  {"the PCI bus could not be read: Parse error at /usr/share/", "pyxflash.log"}},
        ReasonRow{"secure_boot_without_tools", Setup::secure_boot_without_tools, "", {"-d"}, "",
                  1, {"Secure Boot is on"}},
        // Runs that do not fail say nothing of the kind.
        ReasonRow{"healthy_silent", Setup::none, "", {"-s"}, "", 0, {}},
        ReasonRow{"no_vendor_adapter_listing", Setup::no_vendor_adapter, "", {"-c"}, "", 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
