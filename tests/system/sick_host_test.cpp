// A host that is partly broken while vexor runs: a PCI device whose sysfs
// files cannot be read (as during hot removal) is left out and every mode
// goes on, unless no adapter of the vendor is left, which is no host
// without adapters; an event log that cannot be written is said once and
// the burns go on.
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

sim::HostSpec base_host() {
  sim::HostSpec desc = testhost::two_adapter_host();
  desc.secure_boot = sim::SecureBoot::disabled;
  return desc;
}

// A mode, and what it does on the two adapters when the sick device is left
// out: A has a newer image, B runs the latest (which -y rewrites).
struct SickMode {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> burned;
  const char* report;  // a file the mode writes (nullptr: none)
};

void PrintTo(const SickMode& m, std::ostream* os) { *os << m.name; }

const SickMode kSickModes[] = {
    {"list", {"-c"}, {}, nullptr},
    {"silent", {"-s"}, {kAddrA}, nullptr},
    {"yes", {"-y"}, {kAddrA, kAddrB}, nullptr},
    {"discovery", {"-d"}, {}, "nicdiscovery.xml"},
};

// The sick device: another vendor's or the vendor's own, one file unreadable
// (a directory in its place) or gone.
struct Sickness {
  const char* name;
  bool vendors_own;
  const char* file;
  bool gone;
};

void PrintTo(const Sickness& s, std::ostream* os) { *os << s.name; }

const Sickness kSicknesses[] = {
    {"other_vendor_unreadable_vendor", false, "vendor", false},
    {"other_vendor_no_class", false, "class", true},
    {"vendors_unreadable_class", true, "class", false},
    {"vendors_no_vendor", true, "vendor", true},
};

const char* const kSickAddress = "0000:03:00.0";

using SickDevice = testhost::HostTestWithParam<std::tuple<SickMode, Sickness>>;

TEST_P(SickDevice, IsLeftOutWithAWarningAndTheRunGoesOn) {
  const auto& [mode, sickness] = GetParam();
  sim::HostSpec desc = base_host();
  sim::Function sick = sickness.vendors_own
                           ? testhost::adapter(kSickAddress, 0x1017, "QRV33", "16.35.1012")
                           : testhost::other_vendor(kSickAddress);
  (sickness.gone ? sick.missing_files : sick.unreadable_files).push_back(sickness.file);
  desc.functions.push_back(sick);
  sim::SimHost& h = host(desc);
  const sim::RunResult r = h.run(mode.args);
  const std::string log = h.event_log();

  EXPECT_EQ(r.status, 0) << r.out << r.err << log;
  EXPECT_NE(log.find(std::string("[WARNING]   [")), std::string::npos) << log;
  EXPECT_NE(log.find(std::string("PCI device ") + kSickAddress + ": "), std::string::npos) << log;
  EXPECT_NE(log.find(std::string("/sys/bus/pci/devices/") + kSickAddress + "/" + sickness.file),
            std::string::npos)
      << log;
  EXPECT_EQ(testhost::burned_addresses(h), mode.burned);
  for (const auto& entry : h.journal())
    for (const auto& word : entry) EXPECT_NE(word, kSickAddress) << "the sick device was queried";
  if (mode.report != nullptr) {
    const std::string report = h.read_file(mode.report);
    EXPECT_NE(report.find("<busnumber value=\"0000:81\"/>"), std::string::npos) << report;
    EXPECT_EQ(report.find("<busnumber value=\"0000:03\"/>"), std::string::npos) << report;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SickDevice,
    ::testing::Combine(::testing::ValuesIn(kSickModes), ::testing::ValuesIn(kSicknesses)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// ---------------------------------------------------------------------------
// A host whose adapters cannot be read
// ---------------------------------------------------------------------------

// Every mode on a host where only another vendor's device can be read: the
// vendor's own functions may be adapters, so this is no host without them.
struct UnreadMode {
  const char* name;
  std::vector<std::string> args;
  int status;
};

void PrintTo(const UnreadMode& m, std::ostream* os) { *os << m.name; }

using UnreadAdapters = testhost::HostTestWithParam<std::tuple<UnreadMode, Sickness>>;

TEST_P(UnreadAdapters, AreNamedAndTheRunFails) {
  const auto& [mode, sickness] = GetParam();
  sim::HostSpec desc = base_host();
  for (sim::Function& f : desc.functions) {
    (sickness.gone ? f.missing_files : f.unreadable_files).push_back(sickness.file);
  }
  desc.functions.push_back(testhost::other_vendor("0000:02:00.0"));
  sim::SimHost& h = host(desc);
  h.write_file("nicdiscovery.xml", "the earlier report");
  const sim::RunResult r = h.run(mode.args);

  EXPECT_EQ(r.status, mode.status) << r.out << r.err << h.event_log();
  const std::string said = testhost::expect_reason(
      r.err, {"vexor: 2 PCI functions could not be read (0000:05:00.0, 0000:81:00.0); none of "
              "the 1 network and InfiniBand devices read is a Quorvane adapter, but those may be "
              "(see pyxflash.log)"});
  EXPECT_EQ(said.find("no Quorvane adapter found"), std::string::npos) << said;
  EXPECT_NE(h.event_log().find("[ERROR]     "), std::string::npos) << h.event_log();
  EXPECT_NE(h.event_log().find(said.substr(7)), std::string::npos) << h.event_log();
  EXPECT_EQ(h.read_file("nicdiscovery.xml"), "the earlier report");
  EXPECT_TRUE(h.journal().empty());
}

const UnreadMode kUnreadModes[] = {
    {"discovery", {"-d"}, 2},
    {"list", {"-c"}, 2},
    {"silent", {"-s"}, 2},
    {"yes", {"-y"}, 2},
};

INSTANTIATE_TEST_SUITE_P(Modes, UnreadAdapters,
                         ::testing::Combine(::testing::ValuesIn(kUnreadModes),
                                            ::testing::Values(kSicknesses[2], kSicknesses[3])),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  (std::get<1>(info.param).gone ? "gone" : "unreadable");
                         });

// ---------------------------------------------------------------------------
// An event log that cannot be written
// ---------------------------------------------------------------------------

struct FullLogCase {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const FullLogCase& c, std::ostream* os) { *os << c.name; }

using FullLog = testhost::HostTestWithParam<FullLogCase>;

TEST_P(FullLog, IsSaidOnceAndTheBurnStillRuns) {
  sim::SimHost& h = host(base_host());
  h.write_file("fault.xml", testhost::report_xml({testhost::due_a()}));
  h.write_file("pyxflash.log", "");
  // Inside the host every write to the log meets a full disk.
  std::string line = "mount --bind /dev/full pyxflash.log || exit 125; exec ./vexor";
  for (const auto& a : GetParam().args) line += " " + testhost::quoted(a);
  const sim::RunResult r = h.run_shell(line);

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(testhost::burned_addresses(h), std::vector<std::string>{kAddrA});
  std::istringstream err(r.err);
  int said = 0;
  for (std::string l; std::getline(err, l);) {
    if (l.find("pyxflash.log") == std::string::npos) continue;
    ++said;
    EXPECT_NE(l.find("No space left on device (errno 28)"), std::string::npos) << l;
  }
  EXPECT_EQ(said, 1) << r.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Modes, FullLog,
                         ::testing::Values(FullLogCase{"silent", {"-s"}},
                                           FullLogCase{"apply", {"-u", "fault.xml"}}),
                         [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
