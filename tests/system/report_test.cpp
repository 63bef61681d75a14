// The discovery report (-d) on a simulated host: the whole document, the
// report's name, and an old report that only a complete new one replaces.
#include <gtest/gtest.h>

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
  auto device = [](std::string device_id, std::string devid, std::string mac,
                   std::string product, std::string bus, std::string psid, std::string version,
                   std::string active, std::string action) {
    return testhost::ReportDevice{.device_id = device_id, .devid = devid, .mac = mac,
                                  .product = product, .bus = bus, .psid = psid,
                                  .version = version, .active = active, .action = action};
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
                        "Read-only file system"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
