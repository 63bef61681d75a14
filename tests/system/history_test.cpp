// Nothing is forgotten: every burn is recorded in vexor-history.jsonl before
// it starts and its outcome after it, in records any JSON reader takes; a
// burn that vexor did not see to its end is told by the next run, once; and
// a run that flashed leaves the system's note that a reboot is due.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

using testhost::count_of;
using testhost::kAddrA;
using testhost::kAddrB;
using Argv = std::vector<std::string>;
namespace fs = std::filesystem;

// testhost::both_due() with A's burn behaving as burn_a says and B's as
// burn_b.
sim::HostSpec both_due_burning(sim::BurnBehaviour burn_a, sim::BurnBehaviour burn_b) {
  sim::HostSpec desc = testhost::both_due(0);
  desc.functions[0].flash->burn = burn_a;
  desc.functions[1].flash->burn = burn_b;
  return desc;
}

// The history as Python's json module reads it, line by line: for each
// record the fields asked for, "|"-separated, each as Python's repr of the
// value (None when it is missing); texts as the hex of their UTF-8 bytes
// when hex is set. Any line that does not load fails the script.
std::string history_by_python(sim::SimHost& h, const std::string& fields, bool hex = false) {
  const std::string script =
      "import json, sys\n"
      "def show(v):\n"
      "    if " +
      std::string(hex ? "True" : "False") +
      " and isinstance(v, str):\n"
      "        return v.encode('utf-8', 'surrogateescape').hex()\n"
      "    return repr(v)\n"
      "for line in open('vexor-history.jsonl', encoding='utf-8', errors='strict'):\n"
      "    r = json.loads(line)\n"
      "    print('|'.join(show(r.get(k)) for k in sys.argv[1].split(',')))\n";
  const sim::RunResult r =
      h.run_shell("python3 -c " + testhost::quoted(script) + " " + testhost::quoted(fields));
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::string hex_of(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

using History = testhost::HostTest;

}  // namespace

TEST_F(History, EachBurnIsRecordedBeforeItStartsAndAfterItEnds) {
  sim::SimHost& h = host(both_due_burning(sim::BurnBehaviour::ok, sim::BurnBehaviour::fail));
  const sim::RunResult r = h.run({"-s"});
  ASSERT_EQ(r.status, 2) << r.err;

  EXPECT_EQ(history_by_python(h,
                              "record,burn,address,psid,installed,image,version,outcome,"
                              "exit_status,signal"),
            "'burn started'|1|'0000:05:00.0'|'QRV11'|'16.35.1012'|'./nic_fw/qx50-2000.bin'|"
            "'16.35.2000'|None|None|None\n"
            "'burn ended'|1|'0000:05:00.0'|None|None|None|None|'flashed'|None|None\n"
            "'burn started'|2|'0000:81:00.0'|'QRV22'|'2.36.5000'|'./nic_fw/qx100-2.42.bin'|"
            "'2.42.5000'|None|None|None\n"
            "'burn ended'|2|'0000:81:00.0'|None|None|None|None|'failed'|1|None\n");
  // One run, its id in every record; times in UTC; the output file of the
  // failed burn, which is kept, named before it started.
  const std::string runs = history_by_python(h, "run");
  const std::string first_run = runs.substr(0, runs.find('\n') + 1);
  EXPECT_EQ(count_of(runs, first_run), 4u) << runs;
  const std::string check = history_by_python(h, "time,output");
  EXPECT_EQ(count_of(check, "Z'|'/tmp/data"), 2u) << check;
  const std::string log = h.event_log();
  EXPECT_NE(log.find("Output of the failed burn of 0000:81:00.0 is kept in /tmp/data"),
            std::string::npos);

  struct stat st {};
  ASSERT_EQ(::stat((h.component_dir() + "/vexor-history.jsonl").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(History, OutsideValuesAreEscapedAsJsonReadsThem) {
  // A PSID and an image name with a quote, a backslash, a tab and a letter
  // beyond ASCII: the catalog writes the tab as a character reference.
  const std::string psid = "QR\"V\\\t7";
  const std::string image = "qx \"50\"\\\xc3\xa9.bin";
  auto a = testhost::adapter(kAddrA, 0x1017, psid, "16.35.1012", "0002c9aabb11");
  sim::HostSpec desc = testhost::host_of({a});
  desc.catalog_xml = testhost::catalog_document(
      "  <nic name=\"QX\" venid=\"15B3\" devid=\"1017\" subvenid=\"15B3\" "
      "PSID=\"QR&quot;V\\&#9;7\" subdevid=\"0050\" rom=\"16.35.2000\" "
      "fwFile=\"qx &quot;50&quot;\\\xc3\xa9.bin\"/>\n");
  desc.images = {{image, psid, "16.35.2000"}};
  sim::SimHost& h = host(desc);
  const sim::RunResult r = h.run({"-s"});
  ASSERT_EQ(r.status, 0) << r.err << h.event_log();

  EXPECT_EQ(history_by_python(h, "record,psid,image", true),
            hex_of("burn started") + "|" + hex_of(psid) + "|" + hex_of("./nic_fw/" + image) + "\n" +
                hex_of("burn ended") + "|None|None\n");
}

TEST_F(History, ALineThatIsNotARecordIsSkippedWithAWarning) {
  sim::SimHost& h = host(both_due_burning(sim::BurnBehaviour::ok, sim::BurnBehaviour::ok));
  // An earlier run's lines: a torn record, a record of a burn that ended,
  // and text that is no JSON at all.
  h.write_file("vexor-history.jsonl",
               "{\"record\": \"burn started\", \"run\": \"r1\", \"burn\": 1, \"addr\n"
               "{\"record\": \"burn ended\", \"run\": \"r0\", \"burn\": 1}\n"
               "not json\n");
  const sim::RunResult r = h.run({"-s"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string log = h.event_log();
  EXPECT_EQ(count_of(log,
                     "vexor-history.jsonl: line 1 is not a record vexor can read; it is "
                     "skipped\n"),
            1u)
      << log;
  EXPECT_EQ(count_of(log, "line 3 is not a record"), 1u) << log;
  EXPECT_EQ(count_of(log, "is not a record"), 2u) << log;
  EXPECT_EQ(count_of(r.err, "An earlier run"), 0u) << r.err;
  // Appended to, never rewritten.
  const std::string history = h.read_file("vexor-history.jsonl");
  EXPECT_EQ(history.rfind("{\"record\": \"burn started\", \"run\": \"r1\"", 0), 0u) << history;
  EXPECT_EQ(count_of(history, "\n{\"record\": \"burn ended\""), 3u) << history;
}

struct NextRunCase {
  const char* name;
  Argv args;
};

using InterruptedBurn = testhost::HostTestWithParam<NextRunCase>;

TEST_P(InterruptedBurn, IsToldByTheNextRunOnce) {
  sim::SimHost& h = host(testhost::both_due(3));
  h.write_file("both.xml", testhost::report_xml({testhost::due_b()}));
  sim::BackgroundRun first = h.start({"-s"});
  first.wait_for_burn_start();
  first.signal(SIGKILL);
  EXPECT_EQ(first.wait().status, 128 + SIGKILL);

  // While the orphaned burn runs nothing is said: the next run is refused.
  const sim::RunResult refused = h.run({"-c"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(count_of(refused.err, "An earlier run"), 0u) << refused.err;

  h.wait_until_unlocked();
  const sim::RunResult next = h.run(GetParam().args);
  EXPECT_EQ(next.status, 0) << next.err;
  const std::string told =
      "vexor: An earlier run was stopped during the burn of ./nic_fw/qx50-2000.bin into "
      "0000:05:00.0, started at 20";
  EXPECT_EQ(count_of(next.err, told), 1u) << next.err;
  EXPECT_NE(next.err.find("Z; its output went to /tmp/data"), std::string::npos) << next.err;
  EXPECT_NE(next.err.find(". Check the firmware version the adapter runs (vexor -c)\n"),
            std::string::npos)
      << next.err;
  const std::string log = h.event_log();
  EXPECT_EQ(count_of(log, told.substr(7)), 1u) << log;
  const size_t at = log.find(told.substr(7));
  EXPECT_EQ(log.rfind("[WARNING]   [", at), log.rfind('\n', at) + 1) << log;

  const sim::RunResult again = h.run({"-c"});
  EXPECT_EQ(count_of(again.err, "An earlier run"), 0u) << again.err;
  // The interruption is on record, for the burn that started.
  const std::string records = history_by_python(h, "record,burn,address");
  EXPECT_EQ(records.substr(0, records.find("'burn started'", 1)),
            "'burn started'|1|'0000:05:00.0'\n'burn interrupted'|1|'0000:05:00.0'\n")
      << records;
  const std::string runs = history_by_python(h, "run,noticed_by");
  const std::string started_run = runs.substr(0, runs.find('|'));
  EXPECT_EQ(runs.find(started_run + "|'", runs.find('\n')), runs.find('\n') + 1) << runs;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, InterruptedBurn,
    ::testing::Values(NextRunCase{"listing", {"-c"}}, NextRunCase{"discovery", {"-d"}},
                      NextRunCase{"silent", {"-s"}}, NextRunCase{"apply", {"-u", "both.xml"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RebootCase {
  const char* name;
  Argv args;
  sim::BurnBehaviour burn;
  const char* flag_before;      // nullptr: no /run/reboot-required before
  const char* packages_before;  // nullptr: no /run/reboot-required.pkgs before
  const char* flag_after;       // nullptr: none after
  const char* packages_after;
};

using RebootFiles = testhost::HostTestWithParam<RebootCase>;

TEST_P(RebootFiles, AreWrittenOnlyWhenAnAdapterWasFlashed) {
  const RebootCase& c = GetParam();
  auto a = testhost::adapter(kAddrA, 0x1017, "QRV11", "16.35.1012", "0002c9aabb11");
  a.flash->burn = c.burn;
  sim::SimHost& h = host(
      testhost::host_of({a}, {{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"}}));
  h.write_file("a.xml", testhost::report_xml({testhost::due_a()}));
  const fs::path flag = fs::path(h.run_dir()) / "reboot-required";
  const fs::path packages = fs::path(h.run_dir()) / "reboot-required.pkgs";
  if (c.flag_before != nullptr) std::ofstream(flag) << c.flag_before;
  if (c.packages_before != nullptr) std::ofstream(packages) << c.packages_before;
  h.run(c.args);

  EXPECT_EQ(fs::exists(flag), c.flag_after != nullptr);
  if (c.flag_after != nullptr) {
    EXPECT_EQ(testhost::file_text(flag), c.flag_after);
  }
  EXPECT_EQ(fs::exists(packages), c.packages_after != nullptr);
  if (c.packages_after != nullptr) {
    EXPECT_EQ(testhost::file_text(packages), c.packages_after);
  }
}

const char* const kFlag = "*** System restart required ***\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, RebootFiles,
    ::testing::Values(
        RebootCase{"silent", {"-s"}, sim::BurnBehaviour::ok, nullptr, nullptr, kFlag, "vexor\n"},
        RebootCase{
            "apply", {"-u", "a.xml"}, sim::BurnBehaviour::ok, nullptr, nullptr, kFlag, "vexor\n"},
        RebootCase{
            "yes_to_all", {"-y"}, sim::BurnBehaviour::ok, nullptr, nullptr, kFlag, "vexor\n"},
        RebootCase{
            "burn_failed", {"-s"}, sim::BurnBehaviour::fail, nullptr, nullptr, nullptr, nullptr},
        RebootCase{"listing", {"-c"}, sim::BurnBehaviour::ok, nullptr, nullptr, nullptr, nullptr},
        RebootCase{"others_kept",
                   {"-s"},
                   sim::BurnBehaviour::ok,
                   "reboot, please\n",
                   "linux-image-6.1.0-18-amd64",
                   "reboot, please\n",
                   "linux-image-6.1.0-18-amd64\nvexor\n"},
        RebootCase{"named_once",
                   {"-s"},
                   sim::BurnBehaviour::ok,
                   kFlag,
                   "vexor\nlibc6\n",
                   kFlag,
                   "vexor\nlibc6\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(History, RebootFilesThatAreLinksAreNotFollowed) {
  auto a = testhost::adapter(kAddrA, 0x1017, "QRV11", "16.35.1012", "0002c9aabb11");
  sim::SimHost& h = host(
      testhost::host_of({a}, {{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"}}));
  const fs::path run = h.run_dir();
  fs::create_symlink("lock/elsewhere", run / "reboot-required.pkgs");
  const sim::RunResult r = h.run({"-s"});

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(run / "lock/elsewhere"));
  EXPECT_TRUE(fs::is_symlink(run / "reboot-required.pkgs"));
  EXPECT_EQ(testhost::file_text(run / "reboot-required"), kFlag);
  EXPECT_NE(h.event_log().find("Unable to note in /run/reboot-required.pkgs that the new firmware "
                               "needs a reboot: Too many levels of symbolic links\n"),
            std::string::npos)
      << h.event_log();
}
