// Reports and catalogs built to exhaust vexor: entity declarations, a
// megabyte of devices, more devices than memory holds, a report beyond the
// size bound. Each runs under a limit of 100 MiB of address space, and must
// end with its own status and the reason in the log, never with a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"

namespace {

// command under a limit of kib KiB of address space. A sanitizer build maps
// terabytes of shadow memory up front, so there it runs without one (and
// the row that must exhaust memory is skipped).
#ifdef VEXOR_SANITIZED
constexpr bool kLimited = false;
#else
constexpr bool kLimited = true;
#endif
std::string limited(const std::string& command, int kib = 102400) {
  return kLimited ? "ulimit -v " + std::to_string(kib) + " && " + command : command;
}
const std::string kOutOfMemory = "Out of memory: a memory allocation failed, the run is ended\n";

// A document type that defines e as 100 kB of text.
std::string entity_declaration(const char* root) {
  return std::string("<!DOCTYPE ") + root + " [<!ENTITY e \"" + std::string(100000, 'E') +
         "\">]>\n";
}

// A 116 kB report whose 5,000 devices name the entity as their PSID: half a
// gigabyte once expanded.
std::string entity_report() {
  std::string devices;
  for (int i = 0; i < 5000; ++i) devices += "<device><firmware_id value=\"&e;\"/></device>\n";
  return "<?xml version=\"1.0\"?>\n" + entity_declaration("zk_rom_discovery") +
         "<zk_rom_discovery><devices>\n" + devices + "</devices></zk_rom_discovery>\n";
}

// The catalog of two_adapter_host() with the entity as the name of 5,000
// more entries for adapter A.
std::string entity_catalog() {
  std::string entries;
  for (int i = 0; i < 5000; ++i) {
    entries += testhost::catalog_entry_xml({"&e;", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"});
  }
  std::string doc = testhost::catalog_xml(testhost::two_adapter_catalog());
  doc.insert(doc.find("<NICFWData>"), entity_declaration("NICFWData"));
  doc.insert(doc.find("</NICFWData>"), entries);
  return doc;
}

std::string repeated(const std::string& element, size_t times) {
  std::string out = "<zk_rom_discovery><devices>";
  out.reserve(element.size() * times + 64);
  for (size_t i = 0; i < times; ++i) out += element;
  return out + "</devices></zk_rom_discovery>";
}

struct LimitCase {
  const char* name;
  std::function<void(sim::HostSpec&)> host;  // changes to two_adapter_host()
  std::function<void(sim::SimHost&)> files;  // files laid out before the run
  std::string command;                       // a shell line (the limit set first)
  int status;
  std::vector<std::string> logged;     // each in the log
  std::vector<std::string> said = {};  // each on standard output or error
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

using Limits = testhost::HostTestWithParam<LimitCase>;

TEST_P(Limits, EndsWithItsStatusAndSaysWhy) {
  const LimitCase& c = GetParam();
  // Only the row made to exhaust memory may do so.
  const bool exhausting =
      std::find(c.logged.begin(), c.logged.end(), kOutOfMemory) != c.logged.end();
  if (exhausting && !kLimited) GTEST_SKIP() << "no memory limit in a sanitizer build";
  sim::HostSpec desc = testhost::two_adapter_host();
  if (c.host) c.host(desc);
  sim::SimHost& h = host(desc);
  h.set_timeout(30);
  if (c.files) c.files(h);

  const sim::RunResult r = h.run_shell(c.command);
  const std::string log = h.event_log();
  EXPECT_EQ(r.status, c.status) << r.out << r.err << log;
  for (const auto& text : c.logged) {
    EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
  }
  for (const auto& text : c.said) {
    EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text << "\n" << r.out << r.err;
  }
  EXPECT_EQ(log.find("Out of memory") != std::string::npos, exhausting) << log;
  EXPECT_TRUE(h.burns().empty());
}

auto report_file(std::function<std::string()> make) {
  return [make](sim::SimHost& h) { h.write_file("r.xml", make()); };
}

void entity_catalog_host(sim::HostSpec& desc) { desc.catalog_xml = entity_catalog(); }

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Inputs, Limits,
    ::testing::Values(
        LimitCase{"ReportDefiningAnEntity", nullptr,
                  report_file([] { return entity_report(); }), limited("./vexor -u r.xml"), 2,
                  {"read_discovery_report: r.xml declares entities; it is not read\n",
                   "read_discovery_report: Failed to parse r.xml\n"}},
        LimitCase{"CatalogDefiningAnEntityListing", entity_catalog_host, nullptr,
                  limited("./vexor -c"), 1,
                  {"nic_fw/NICFWData.xml declares entities; it is not read\n",
                   "Unable to open nic_fw/NICFWData.xml\n"}},
        LimitCase{"CatalogDefiningAnEntityImageProgram", entity_catalog_host, nullptr,
                  limited("./getqrvninfo imgfile 0000:05:00.0"), 1, {},
                  {"getqrvninfo: nic_fw/NICFWData.xml declares entities; it is not read"}},
        // Under a megabyte each: the empty devices are not given records.
        LimitCase{"MegabyteOfEmptyDevices", nullptr,
                  report_file([] { return repeated("<device/>", 110000); }),
                  limited("./vexor -u r.xml"),
                  2, {"read_discovery_report: device 110000 has an invalid PCI address \"\"",
                      "read_discovery_report: Error at read_NIC_FW_xml_file\n"}},
        LimitCase{"MegabyteOfDevices", nullptr,
                  report_file([] { return repeated("<device></device>", 58000); }),
                  limited("./vexor -u r.xml"), 2,
                  {"read_discovery_report: Error at read_NIC_FW_xml_file\n"}},
        LimitCase{"MoreDevicesThanMemoryHolds", nullptr,
                  report_file([] { return repeated("<device></device>", 1000000); }),
                  limited("./vexor -u r.xml"), 2,
                  {"[ERROR]     ", kOutOfMemory}},
        LimitCase{"ReportBeyondTheSizeBound", nullptr, nullptr,
                  // The 64 MiB it reads need more than the limit of the others.
                  limited("{ printf '<r>'; head -c 67108864 /dev/zero | tr '\\000' ' '; "
                          "printf '</r>'; } > r.xml && ./vexor -u r.xml",
                          262144),
                  2,
                  {"read_discovery_report: r.xml holds more than 67108864 bytes; it is not "
                   "read\n"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
