// The discovery report (-d) on a simulated host: the whole document, values
// the document cannot hold as they are, the report's name and where it
// leads, and an old report that only a complete new one replaces.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <filesystem>
#include <optional>
#include <string>

#include "main/vexor.h"
#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"

namespace {

namespace fs = std::filesystem;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

using testhost::adapter;

// Four adapters, one per action, and another vendor's NIC:
//  04:00.0 installed 2.42.5000, catalog 2.9.1000 and 2.42.5000 -> rewrite
//  05:00.0 installed 2.10.0, catalog 2.9.9 and 2.10.1 -> upgrade, two names
//  81:00.0 installed 2.10.0, catalog 2.9.9 -> downgrade
//  af:00.0 no catalog entry, no interface -> Nothing
sim::HostSpec several_adapters() {
  return testhost::host_of(
      {testhost::other_vendor("0000:02:00.0", {"eno1"}),
       adapter("0000:04:00.0", 0x1003, "QRV0000000004", "2.42.5000", "0002c9000004", {"ib0"}),
       // Created in this order; ls lists enp5s0 first.
       adapter("0000:05:00.0", 0x1007, "QRV0000000005", "2.10.0", "0002c9000005",
               {"ib5", "enp5s0"}),
       adapter("0000:81:00.0", 0x1017, "QRV0000000081", "2.10.0", "0002c9000081", {"ens81f0"}),
       adapter("0000:af:00.0", 0x1003, "QRV00000000AF", "2.36.5000", "0002c90000af")},
      {{"QV-A", "1003", "QRV0000000004", "2.9.1000", "qva-2.9.1000.bin"},
       {"QV-A", "1003", "QRV0000000004", "2.42.5000", "qva-2.42.5000.bin"},
       {"QV-B", "1007", "QRV0000000005", "2.9.9", "qvb-2.9.9.bin"},
       {"QV-B", "1007", "QRV0000000005", "2.10.1", "qvb-2.10.1.bin"},
       {"QV-C", "1017", "QRV0000000081", "2.9.9", "qvc-2.9.9.bin"}});
}

using DiscoveryReport = testhost::HostTest;

TEST_F(DiscoveryReport, DocumentForSeveralAdapters) {
  sim::SimHost& h = host(several_adapters());
  sim::RunResult r = h.run({"-d"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto device = [](std::string device_id, std::string devid, std::string mac, std::string product,
                   std::string bus, std::string psid, std::string version, std::string active,
                   std::string action) {
    return testhost::ReportDevice{
        .device_id = device_id,
        .devid = devid,
        .mac = mac,
        .product = product,
        .bus = bus,
        .psid = psid,
        .version = version,
        .active = active,
        .action = action};
  };
  const std::string expected = testhost::report_xml(
      {device("ib0", "1003", "0002c90000044", "QV-A", "0000:04", "QRV0000000004", "2.9.1000",
              "2.42.5000", "rewrite"),
       device("enp5s0", "1007", "0002c90000054", "QV-B", "0000:05", "QRV0000000005", "2.9.9",
              "2.10.0", "upgrade"),
       device("ens81f0", "1017", "0002c90000814", "QV-C", "0000:81", "QRV0000000081", "2.9.9",
              "2.10.0", "downgrade"),
       device("", "1003", "0002c90000af4", "", "0000:af", "QRV00000000AF", "", "2.36.5000",
              "Nothing")});
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

using DiscoveryWithoutUsableAdapter = testhost::HostTestWithParam<NoAdapterCase>;

TEST_P(DiscoveryWithoutUsableAdapter, ExitsWithTwoAndKeepsTheOldReport) {
  sim::HostSpec desc = testhost::host_of({testhost::other_vendor("0000:02:00.0", {"eno1"})});
  if (GetParam().vendor_adapter_without_psid) {
    desc.functions.push_back(
        adapter("0000:81:00.0", 0x1003, std::nullopt, "2.42.5000", "0002c9000081", {"ib0"}));
  }
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

// ---------------------------------------------------------------------------
// Values from outside that XML cannot hold as they are
// ---------------------------------------------------------------------------

struct ValueCase {
  const char* name;
  std::optional<std::string> psid, mac;
  std::vector<std::string> interfaces;
  std::optional<std::string> catalog;  // the whole catalog, instead of two_adapter_catalog()
  std::string expected;                // a leaf the report must hold
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.name; }

using DiscoveryValue = testhost::HostTestWithParam<ValueCase>;

TEST_P(DiscoveryValue, ReportIsWholeAndKeepsWhatIsValid) {
  const ValueCase& c = GetParam();
  sim::HostSpec desc = testhost::host_of(
      {adapter(testhost::kAddrA, 0x1017, c.psid, "16.35.1012", c.mac, c.interfaces),
       adapter(testhost::kAddrB, 0x1003, "QRV22", "2.42.5000", "0002c9aabb22", {"ib0"})},
      testhost::two_adapter_catalog());
  if (c.catalog) desc.catalog_xml = c.catalog;
  sim::SimHost& h = host(desc);
  h.write_file("nicdiscovery.xml", "the old report\n");
  // The interface-name lookup's text tools in one locale, whatever the
  // caller's: UTF-8, in which U+FFFF is a character (rev refuses a name
  // that is not valid in its locale, so no other byte gets this far).
  sim::RunResult r = h.run_shell("LC_ALL=C.UTF-8 ./vexor -d");
  ASSERT_EQ(r.status, 0) << r.out << r.err << h.event_log();
  const std::string report = h.read_file("nicdiscovery.xml");
  xml_doc_ptr doc(xmlReadMemory(report.data(), static_cast<int>(report.size()), nullptr, nullptr,
                                XML_PARSE_NONET));
  EXPECT_TRUE(doc) << report;
  // B, the device after A, is there in full.
  EXPECT_TRUE(has(report, "<busnumber value=\"0000:81\"/>")) << report;
  EXPECT_TRUE(has(report, "</devices>\n</zk_rom_discovery>\n")) << report;
  EXPECT_TRUE(has(report, c.expected)) << c.expected << "\n" << report;
}

const char* const kLatin1Catalog =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<NICFWData>\n"
    "  <nic name=\"Carte r\xe9seau \xff\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" "
    "PSID=\"QRV11\" subdevid=\"0050\" rom=\"16.35.2000\" fwFile=\"qx50-2000.bin\"/>\n"
    "</NICFWData>\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Values, DiscoveryValue,
    ::testing::Values(
        // An erased board reads as 0xFF.
        ValueCase{"ErasedPsid", std::string(13, '\xff'), "0002c9aabb11", {"ens5"}, std::nullopt,
                  "<firmware_id value=\"?????????????\"/>"},
        ValueCase{"PsidWithUFFFF", "QRV\xef\xbf\xbf" "11", "0002c9aabb11", {"ens5"}, std::nullopt,
                  "<firmware_id value=\"QRV?11\"/>"},
        ValueCase{"MacWithFFFE", "QRV11", "0002c9\xff\xfe" "11", {"ens5"}, std::nullopt,
                  "<macaddress value=\"0002c9??114\"/>"},
        ValueCase{"InterfaceNameWithUFFFF", "QRV11", "0002c9aabb11", {"ens\xef\xbf\xbf"},
                  std::nullopt, "<device_id value=\"ens?\"/>"},
        ValueCase{"ProductFromALatin1Catalog", "QRV11", "0002c9aabb11", {"ens5"}, kLatin1Catalog,
                  "<product_id value=\"Carte r\xc3\xa9seau \xc3\xbf\"/>"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// Where the report goes
// ---------------------------------------------------------------------------

// Each row runs in the host's namespace, whose /dev and /tmp (mode 1777) are
// its own: a set-up line, then the row's vexor command line with its output
// in vexor.out and vexor.err, then a check line whose output is compared.
// The set-up may act as another local user (uid 4242, no passwd entry) with
// "as_other COMMAND". No row may leave a temporary file anywhere, and no
// row burns anything.
struct PathCase {
  const char* name;
  const char* setup;
  const char* run;  // "./vexor -d PATH", "./vexor -u PATH", or a loop of runs
  int status;       // of the run
  const char* check;
  const char* checked;  // what the check line prints
  const char* logged;   // in the log ("" nothing looked for)
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

using ReportPath = testhost::HostTestWithParam<PathCase>;

TEST_P(ReportPath, WritesThroughOrRefuses) {
  const PathCase& c = GetParam();
  sim::SimHost& h = host(testhost::two_adapter_host());
  // The race's two hundred runs take a while on a busy machine.
  h.set_timeout(600);
  const std::string line =
      "is_report() { tail -n 1 \"$1\" | grep -qx '</zk_rom_discovery>' && echo report || "
      "echo \"no report in $1\"; }; "
      "as_other() { setpriv --reuid 4242 --regid 4242 --clear-groups \"$@\"; }; " +
      std::string(c.setup) + (c.setup[0] ? " && " : "") + c.run +
      " >vexor.out 2>vexor.err; echo \"status=$?\"; " + c.check +
      "; find . /tmp -name '.vexor-report-*' | wc -l";
  const sim::RunResult r = h.run_shell(line);
  EXPECT_EQ(r.out, "status=" + std::to_string(c.status) + "\n" + c.checked + "0\n")
      << r.err << h.event_log();
  EXPECT_TRUE(has(h.event_log(), c.logged)) << c.logged << "\n" << h.event_log();
  if (c.status != 0) {
    EXPECT_TRUE(has(h.event_log(), std::string(ERROR_TAG) + " [")) << h.event_log();
    EXPECT_TRUE(has(h.read_file("vexor.err"), "vexor: ")) << h.read_file("vexor.err");
  }
  EXPECT_TRUE(h.burns().empty());
}

const char* const kKept = "kept\n";

// A report that asks for A's upgrade, written by root before the row's run.
#define ROOTS_REPORT(path) "./vexor -d " path " >/dev/null"

// Another user swaps /tmp/sw between a directory of its own and a link to
// nic_fw/ (reached as /tmp/comp/nic_fw) while root writes 200 reports into
// it; the run prints 2 when every one of them ended with 2.
const char* const kSwapping =
    "cp nic_fw/NICFWData.xml copy && mkdir /tmp/comp && "
    "mount --no-canonicalize --bind . /tmp/comp && "
    "{ as_other sh -c 'ln -s /tmp/comp/nic_fw /tmp/sw.l && mkdir /tmp/sw.d && "
    "while [ ! -e /tmp/stop ]; do mv -T /tmp/sw.d /tmp/sw; mv -T /tmp/sw /tmp/sw.d; "
    "mv -T /tmp/sw.l /tmp/sw; mv -T /tmp/sw /tmp/sw.l; done' & }";
const char* const kRootRuns200 =
    "( s=2; i=0; while [ $i -lt 200 ]; do ./vexor -d /tmp/sw/NICFWData.xml; r=$?; "
    "[ $r = 2 ] || s=$r; i=$((i + 1)); done; exit $s )";

INSTANTIATE_TEST_SUITE_P(
    Paths, ReportPath,
    ::testing::Values(
        // A relative link leads from its own directory.
        PathCase{"Symlink",
                 "mkdir a keep && printf old > keep/r.xml && ln -s ../keep/r.xml a/link.xml",
                 "./vexor -d a/link.xml", 0, "[ -L a/link.xml ] && echo link; is_report keep/r.xml",
                 "link\nreport\n", ""},
        PathCase{"DanglingSymlink", "mkdir keep && ln -s keep/new.xml link.xml",
                 "./vexor -d link.xml", 0, "[ -L link.xml ] && echo link; is_report keep/new.xml",
                 "link\nreport\n", ""},
        // The replacement is root's and writable by root alone, whoever
        // owned the file before.
        PathCase{"ModeKeptOwnerNot",
                 "printf old > r.xml && chmod 660 r.xml && chown 1234:5678 r.xml",
                 "./vexor -d r.xml", 0, "stat -c '%a %u:%g' r.xml; is_report r.xml",
                 "640 0:0\nreport\n", ""},
        PathCase{"ReportOfAnotherUser",
                 "as_other sh -c 'printf old > /tmp/r.xml && chmod 666 /tmp/r.xml'",
                 "./vexor -d /tmp/r.xml", 0,
                 "stat -c '%a %u' /tmp/r.xml; is_report /tmp/r.xml; "
                 "as_other sh -c 'echo >> /tmp/r.xml' 2>/dev/null || echo denied",
                 "644 0\nreport\ndenied\n", ""},
        PathCase{"DevNull", "", "./vexor -d /dev/null", 0, "stat -c %F /dev/null",
                 "character special file\n", ""},
        // The banner, then the report, in the file standard output goes to.
        PathCase{"DevStdout", "", "./vexor -d /dev/stdout", 0,
                 "sed -n 3p vexor.out; sed -n 7p vexor.out; is_report vexor.out; "
                 "stat -c %F /dev/stdout",
                 "Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux\n"
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\nreport\nsymbolic link\n",
                 ""},
        PathCase{"Fifo", "mkfifo p && { cat p > got.xml & }", "./vexor -d p", 0,
                 "wait; [ -p p ] && echo fifo; is_report got.xml", "fifo\nreport\n", ""},
        PathCase{"FifoWithoutReader", "mkfifo p", "./vexor -d p", 2, "[ -p p ] && echo fifo",
                 "fifo\n",
                 "xml_discovery_report: could not save p: the FIFO p found no reader within 3 "
                 "seconds\n"},
        PathCase{"DevFull", "", "./vexor -d /dev/full", 2, "stat -c %F /dev/full",
                 "character special file\n",
                 "could not save /dev/full: writing /dev/full: No space left on device\n"},
        PathCase{"ClosedDescriptor", "", "./vexor -d /dev/fd/9", 2, "true", "",
                 "could not save /dev/fd/9: following /dev/fd/9: Bad file descriptor\n"},
        PathCase{"Directory", "mkdir d", "./vexor -d d", 2, "ls -A d | wc -l", "0\n",
                 "xml_discovery_report: not saving the report as d: it is a directory\n"},
        PathCase{"Catalog", "cp nic_fw/NICFWData.xml copy", "./vexor -d nic_fw/NICFWData.xml", 2,
                 "cmp nic_fw/NICFWData.xml copy && echo kept", kKept,
                 "xml_discovery_report: not saving the report as nic_fw/NICFWData.xml: it is the "
                 "firmware catalog nic_fw/NICFWData.xml\n"},
        PathCase{"CatalogThroughASymlink",
                 "cp nic_fw/NICFWData.xml copy && ln -s nic_fw/NICFWData.xml c.xml",
                 "./vexor -d c.xml", 2, "cmp nic_fw/NICFWData.xml copy && echo kept", kKept,
                 "not saving the report as c.xml: it is the firmware catalog"},
        PathCase{"CatalogThroughAHardLink",
                 "cp nic_fw/NICFWData.xml copy && ln nic_fw/NICFWData.xml c.xml",
                 "./vexor -d c.xml", 2, "cmp nic_fw/NICFWData.xml copy && echo kept", kKept,
                 "not saving the report as c.xml: it is the firmware catalog"},
        PathCase{"EventLog", "", "./vexor -d pyxflash.log", 2, "grep -c '<device>' pyxflash.log",
                 "0\n",
                 "not saving the report as pyxflash.log: it is the event log pyxflash.log\n"},
        PathCase{"BurnHistory", "printf 'earlier\\n' > vexor-history.jsonl",
                 "./vexor -d vexor-history.jsonl", 2, "cat vexor-history.jsonl", "earlier\n",
                 "not saving the report as vexor-history.jsonl: it is the history of burns "
                 "vexor-history.jsonl\n"},
        // Absent on this host, but run when it is there.
        PathCase{"AbsentProgramVexorRuns", "", "./vexor -d /usr/bin/qtk", 2,
                 "[ -e /usr/bin/qtk ] || echo absent", "absent\n",
                 "it is the program /usr/bin/qtk\n"},
        PathCase{"FirmwareDirectory", "", "./vexor -d nic_fw/new.xml", 2,
                 "[ -e nic_fw/new.xml ] || echo absent", "absent\n",
                 "not saving the report as nic_fw/new.xml: it lies in nic_fw/"},
        // Another user's link in sticky /tmp to a file only root may write.
        PathCase{"OthersLinkInTmp",
                 "mkdir -m 700 /tmp/root && printf secret > /tmp/root/file && "
                 "as_other ln -s /tmp/root/file /tmp/nicdiscovery.xml",
                 "./vexor -d /tmp/nicdiscovery.xml", 2,
                 "cat /tmp/root/file; echo; [ -L /tmp/nicdiscovery.xml ] && echo link",
                 "secret\nlink\n",
                 "xml_discovery_report: not saving the report as /tmp/nicdiscovery.xml: it leads "
                 "through the link /tmp/nicdiscovery.xml, which uid 4242 owns in a sticky "
                 "directory that others can write\n"},
        PathCase{"OthersDirectory", "as_other mkdir /tmp/d", "./vexor -d /tmp/d/r.xml", 2,
                 "ls -A /tmp/d | wc -l", "0\n",
                 "not saving the report as /tmp/d/r.xml: it leads through the directory /tmp/d, "
                 "which uid 4242 can change\n"},
        PathCase{"GroupWritableDirectory", "mkdir -m 775 d", "./vexor -d d/r.xml", 2,
                 "ls -A d | wc -l", "0\n",
                 "it leads through the directory d, which the group 0 can change\n"},
        PathCase{"DirectorySwapRace", kSwapping, kRootRuns200, 2,
                 "touch /tmp/stop; wait; cmp nic_fw/NICFWData.xml copy && echo kept", kKept,
                 "not saving the report as /tmp/sw/NICFWData.xml: it leads through "},
        // -u: a report another user can change, or lead to, is not applied.
        PathCase{"ApplyReportOfAnotherUser", ROOTS_REPORT("r.xml") " && chown 4242 r.xml",
                 "./vexor -u r.xml", 2, "true", "",
                 "read_discovery_report: r.xml is owned by uid 4242, neither root nor the user "
                 "running vexor; it is not read\n"},
        PathCase{"ApplyGroupWritableReport", ROOTS_REPORT("r.xml") " && chmod 664 r.xml",
                 "./vexor -u r.xml", 2, "true", "",
                 "read_discovery_report: r.xml can be written by its group (mode 0664); it is "
                 "not read\n"},
        PathCase{"ApplyWorldWritableReport", ROOTS_REPORT("r.xml") " && chmod 646 r.xml",
                 "./vexor -u r.xml", 2, "true", "",
                 "r.xml can be written by anyone (mode 0646); it is not read\n"},
        PathCase{"ApplyThroughOthersLinkInTmp",
                 "mkdir -m 700 /tmp/root && " ROOTS_REPORT(
                     "/tmp/root/r.xml") " && "
                                        "as_other ln -s /tmp/root/r.xml /tmp/r.xml",
                 "./vexor -u /tmp/r.xml", 2, "true", "",
                 "read_discovery_report: /tmp/r.xml leads through the link /tmp/r.xml, which "
                 "uid 4242 owns in a sticky directory that others can write; it is not read\n"},
        PathCase{"ApplyFifoWithoutWriter", "mkfifo p", "./vexor -u p", 2, "true", "",
                 "read_discovery_report: cannot read p: the FIFO p found no writer within 3 "
                 "seconds\n"}),
    [](const auto& info) { return std::string(info.param.name); });

#undef ROOTS_REPORT

// The old report survives a save that cannot complete. Each setup mounts a
// file system inside the run's namespace and runs vexor in the same shell.
struct SaveFailureCase {
  const char* name;
  const char* setup;  // prepares dir/ with dir/r.xml holding "old"
  const char* error;  // errno text expected in the log
};

using DiscoverySaveFailure = testhost::HostTestWithParam<SaveFailureCase>;

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
                        "Read-only file system"},
        // 2 KiB, less than the report; the signal ignored, as vexor does.
        SaveFailureCase{"FileSizeLimit",
                        "mkdir -p dir && printf old > dir/r.xml && trap '' XFSZ && ulimit -f 4",
                        "File too large"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
