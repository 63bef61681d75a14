// Fuzzes the discovery report reader and the apply mode behind it.
//
// Each input is the report that vexor -u reads. The harness works in a
// private component directory with a fixed catalog of two boards (one with
// an image file, one without), an event log that goes to /dev/null, and a
// flash utility that is /bin/true: devices whose action asks for a flash and
// that pass every check really fork and execute it, and the burn succeeds
// without leaving its output file behind.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "common/text_checks.h"
#include "main/vexor.h"

namespace {

constexpr const char* kReport = "report.xml";

constexpr const char* kCatalog =
    "<?xml version=\"1.0\"?>\n"
    "<catalog>\n"
    "  <fw name=\"QRV-A\" venid=\"15B3\" devid=\"1003\" subvenid=\"0\" PSID=\"QRV0000000004\" "
    "subdevid=\"0\" rom=\"2.42.5000\" fwFile=\"qrv-a-2.42.5000.bin\"/>\n"
    "  <fw name=\"QRV-B\" venid=\"15B3\" devid=\"1017\" subvenid=\"0\" PSID=\"QRV0000000007\" "
    "subdevid=\"0\" rom=\"16.35.2000\"/>\n"
    "</catalog>\n";

// The state a fresh vexor -u process starts with.
void reset_globals() {
  reset_run_state();
  g_iFlag = FLAG_APPLY;
  g_XMLDiscoveryReport = kReport;
}

void link_or_die(const char* target, const char* name) {
  if (symlink(target, name) != 0) {
    std::perror(name);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // -u reads only a report that no one but its owner may write: the inputs
  // are written without group or other write, whatever the caller's umask.
  umask(022);
  fuzz::make_private_dir("vexor-fuzz-report");
  fuzz::InPrivateDir inside;
  std::filesystem::create_directory("nic_fw");
  fuzz::write_file(g_XMLFwFile, kCatalog);
  link_or_die("/bin/true", SHIPPED_FLASH_UTILITY);
  link_or_die("/dev/null", "pyxflash.log");
  // The run lock in here too, not in the machine's /run/vexor.
  g_run_lock_path = (std::filesystem::current_path() / "vexor.lock").string();
  // Neither the machine's /run nor a history that grows and is synced with
  // every input.
  g_history_path.clear();
  g_reboot_dir.clear();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InPrivateDir inside;
  reset_globals();
  fuzz::write_file(kReport, data, size);
  fuzz::quiet_libxml();

  const int32_t rc = read_discovery_report();
  FUZZ_CHECK(rc == 0 || rc == 2);
  FUZZ_CHECK(rc == 2 || !g_ninfo.empty());
  FUZZ_CHECK(firmware_id.size() == g_ninfo.size());

  bool flashable = false;
  for (const nic_info& nic : g_ninfo) {
    // The apply mode keeps one catalog entry per device.
    FUZZ_CHECK(nic.fw_count == 0 || nic.fw_count == 1);
    if (nic.fw_count == 1) {
      FUZZ_CHECK(nic.pxmlFwImage.size() == 1 && nic.pxmlName.size() == 1);
      FUZZ_CHECK(nic.uFwROMmaj.size() == 1 && nic.uFwROMmin.size() == 1 &&
                 nic.uFwROMrel.size() == 1);
    }
    if ((nic.flags & NIC_SELECTED) && nic.fw_count == 1 && nic.pxmlFwImage[0] &&
        !nic.pxmlFwImage[0]->empty() && is_bus_address(nic.pbus_info.value_or(""))) {
      flashable = true;
    }
  }
  // A burn ran only for a device that asked for one, has a well-formed
  // address and an image from the catalog.
  if (g_iFlag & STATUS_FLASHED) FUZZ_CHECK(flashable);
  // /bin/true never fails a burn.
  FUZZ_CHECK(!(g_iFlag & STATUS_FAILED));
  return 0;
}
