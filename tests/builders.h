// Builders shared by the unit and the simulated-host tests: hosts and their
// adapters, firmware catalogs, discovery reports, adapter records, the texts
// vexor prints, and shell words; the readers of files and output are in
// tests/readers.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "main/vexor.h"
#include "sim/simhost.h"

namespace testhost {

// ---------------------------------------------------------------------------
// Texts vexor prints
// ---------------------------------------------------------------------------

inline const std::string kUsage =
    "USAGE: vexor [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n"
    "\t With no option, interactively upgrade firmware. \n"
    "\t -s  Silently upgrade firmware.\n"
    "\t -y  Assume default repsonse for all prompts.\n"
    "\t -d  Generates NIC Discovery xml file for currently installed version.\n"
    "\t -c  Display currently installed firmware information.\n"
    "\t -h  Display this help menu.\n";

// ---------------------------------------------------------------------------
// Firmware catalogs
// ---------------------------------------------------------------------------

// One catalog entry of the vendor (venid 15B3).
struct CatalogEntry {
  std::string name;
  std::string devid;
  std::string psid;
  std::string rom;
  std::string file;
  std::string subvenid = "15B3";
  std::string subdevid = "0050";
};

// The entry as one element, its attributes in the order vexor reads them.
inline std::string catalog_entry_xml(const CatalogEntry& e) {
  return "  <nic name=\"" + e.name + "\" venid=\"15B3\" devid=\"" + e.devid + "\" subvenid=\"" +
         e.subvenid + "\" PSID=\"" + e.psid + "\" subdevid=\"" + e.subdevid + "\" rom=\"" + e.rom +
         "\" fwFile=\"" + e.file + "\"/>\n";
}

// A catalog document around elements written as text.
inline std::string catalog_document(const std::string& elements) {
  return "<?xml version=\"1.0\"?>\n<NICFWData>\n" + elements + "</NICFWData>\n";
}

inline std::string catalog_xml(const std::vector<CatalogEntry>& entries) {
  std::string elements;
  for (const auto& e : entries) elements += catalog_entry_xml(e);
  return catalog_document(elements);
}

// Entries that differ only in their versions, for tests of version handling.
inline std::vector<CatalogEntry> entries_with_roms(const std::vector<std::string>& roms) {
  std::vector<CatalogEntry> entries;
  for (const auto& rom : roms) {
    CatalogEntry e;
    e.rom = rom;
    entries.push_back(e);
  }
  return entries;
}

// Sets the host's catalog and ships in nic_fw/ the image every entry names,
// made for the entry's board and version.
inline void set_catalog(sim::HostSpec& desc, const std::vector<CatalogEntry>& entries) {
  desc.catalog_xml = catalog_xml(entries);
  desc.images.clear();
  for (const auto& e : entries) desc.images.push_back({e.file, e.psid, e.rom});
}

// ---------------------------------------------------------------------------
// Simulated hosts
// ---------------------------------------------------------------------------

// What the flash utility reports for an adapter; nullopt leaves the line out.
inline sim::Adapter flash_state(std::optional<std::string> psid, std::optional<std::string> fw,
                                std::optional<std::string> mac = "0002c9aabbcc") {
  sim::Adapter a;
  a.psid = std::move(psid);
  a.fw = std::move(fw);
  a.mac = std::move(mac);
  return a;
}

// A function of one of the vendor's adapters, known to the flash utility.
inline sim::Function adapter(const std::string& address, uint16_t device,
                             std::optional<std::string> psid, std::optional<std::string> fw,
                             std::optional<std::string> mac = "0002c9aabbcc",
                             std::vector<std::string> interfaces = {}) {
  sim::Function f;
  f.address = address;
  f.device = device;
  f.pci_class = 0x020700;
  f.interfaces = std::move(interfaces);
  f.flash = flash_state(std::move(psid), std::move(fw), std::move(mac));
  return f;
}

// An Ethernet controller of another vendor (Ostrova Systems 1f1c:0042):
// listed, never queried.
inline sim::Function other_vendor(const std::string& address,
                                  std::vector<std::string> interfaces = {}) {
  sim::Function f;
  f.address = address;
  f.vendor = 0x1f1c;
  f.device = 0x0042;
  f.subsystem_vendor = 0x1f1c;
  f.subsystem_device = 0x0001;
  f.pci_class = 0x020000;
  f.interfaces = std::move(interfaces);
  return f;
}

// A host with these functions and this catalog, every image shipped.
inline sim::HostSpec host_of(std::vector<sim::Function> functions,
                             const std::vector<CatalogEntry>& entries = {}) {
  sim::HostSpec desc;
  desc.functions = std::move(functions);
  set_catalog(desc, entries);
  return desc;
}

inline const char* const kAddrA = "0000:05:00.0";
inline const char* const kAddrB = "0000:81:00.0";

// The catalog of two_adapter_host(): A's installed and newer versions, B's
// latest version and then an older one (so B's first entry is its latest).
inline std::vector<CatalogEntry> two_adapter_catalog() {
  return {{"Quorvane QX-50", "1017", "QRV11", "16.35.1012", "qx50-1012.bin"},
          {"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"},
          {"Quorvane QX-100", "1003", "QRV22", "2.42.5000", "qx100-2.42.bin"},
          {"Quorvane QX-100", "1003", "QRV22", "2.36.5000", "qx100-2.36.bin"}};
}

// Adapter A (0000:05:00.0, ens5) has a newer image in the catalog; adapter B
// (0000:81:00.0, ib0) already runs the latest one.
inline sim::HostSpec two_adapter_host() {
  return host_of({adapter(kAddrA, 0x1017, "QRV11", "16.35.1012", "0002c9aabb11", {"ens5"}),
                  adapter(kAddrB, 0x1003, "QRV22", "2.42.5000", "0002c9aabb22", {"ib0"})},
                 two_adapter_catalog());
}

// Adapter A (0000:05:00.0, board 1017) and adapter B (0000:81:00.0, board
// 1003) are both due for an upgrade; each board has one catalog entry, so -u
// burns the same images as -s. A burns slowly (burn_seconds, printing its
// progress) and answers each query after query_seconds.
inline sim::HostSpec both_due(double burn_seconds, double query_seconds = 0) {
  auto a = adapter(kAddrA, 0x1017, "QRV11", "16.35.1012", "0002c9aabb11", {"ens5"});
  a.flash->burn = sim::BurnBehaviour::slow;
  a.flash->burn_seconds = burn_seconds;
  a.flash->query_seconds = query_seconds;
  auto b = adapter(kAddrB, 0x1003, "QRV22", "2.36.5000", "0002c9aabb22", {"ib0"});
  return host_of({a, b}, {{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"},
                          {"Quorvane QX-100", "1003", "QRV22", "2.42.5000", "qx100-2.42.bin"}});
}

// The journal entry of a burn of image into the adapter at address (silent:
// in the utility's silent form, "-s").
inline std::vector<std::string> burn_argv(const std::string& address, const std::string& image,
                                          bool silent) {
  std::vector<std::string> argv{"pyxflash"};
  if (silent) argv.push_back("-s");
  for (const char* a : {"-y", "-d"}) argv.push_back(a);
  argv.insert(argv.end(), {address, "-i", "./nic_fw/" + image, "b"});
  return argv;
}

// ---------------------------------------------------------------------------
// Discovery reports
// ---------------------------------------------------------------------------

// One device of a discovery report; the defaults are an adapter of board
// 1003 at 0000:04:00.0 asking for an upgrade.
struct ReportDevice {
  std::string device_id = "ib0";
  std::string venid = "15B3", devid = "1003", subvenid = "15B3", subdevid = "0050";
  std::string mac = "0002c90000044";
  std::string product = "QV";
  std::string bus = "0000:04", device = "00", func = "0";
  std::string psid = "QRV0000000004";
  std::string version = "2.42.5000", active = "2.10.0", action = "upgrade";
};

// d with one field changed.
inline ReportDevice with(ReportDevice d, std::string ReportDevice::*field, std::string value) {
  d.*field = std::move(value);
  return d;
}

// Text as an attribute value: &, < and " escaped.
inline std::string attribute_text(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

// The device element exactly as vexor -d writes it.
inline std::string device_xml(const ReportDevice& d) {
  auto leaf = [](const std::string& indent, const std::string& name, const std::string& value) {
    return indent + "<" + name + " value=\"" + attribute_text(value) + "\"/>\n";
  };
  const std::string in = "            ", in2 = "                ";
  return "        <device>\n" + leaf(in, "device_id", d.device_id) + leaf(in, "venid", d.venid) +
         leaf(in, "devid", d.devid) + leaf(in, "subvenid", d.subvenid) +
         leaf(in, "subdevid", d.subdevid) + leaf(in, "macaddress", d.mac) +
         leaf(in, "product_id", d.product) + leaf(in, "busnumber", d.bus) +
         leaf(in, "devicenumber", d.device) + leaf(in, "funcnumber", d.func) +
         leaf(in, "slotnumber", "") + leaf(in, "nictype", "QUORVANE") + in + "<fw_item>\n" +
         leaf(in2, "type", "ROM") + leaf(in2, "firmware_id", d.psid) +
         leaf(in2, "version", d.version) + leaf(in2, "active_version", d.active) +
         leaf(in2, "action", d.action) + leaf(in2, "duration", "210") + leaf(in2, "message", "") +
         leaf(in2, "shared", "no") + in + "</fw_item>\n" + "        </device>\n";
}

// A whole report as vexor -d writes it, around device elements written as text.
inline std::string report_xml(const std::string& devices) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<zk_rom_discovery version=\"2.0.0.0\">\n"
         "    <type value=\"QUORVANE_NIC\"/>\n"
         "    <alt_name value=\"Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for "
         "Linux\"/>\n"
         "    <version value=\"1.0.0\"/>\n"
         "    <takes_effect value=\"reboot\"/>\n"
         "    <devices>\n" +
         devices + "    </devices>\n</zk_rom_discovery>\n";
}

inline std::string report_xml(const std::vector<ReportDevice>& devices) {
  std::string text;
  for (const auto& d : devices) text += device_xml(d);
  return report_xml(text);
}

// The report devices of both_due()'s adapters A and B, each asking for its
// upgrade.
inline ReportDevice due_a() {
  return {.devid = "1017",
          .mac = "0002c9aabb114",
          .bus = "0000:05",
          .psid = "QRV11",
          .version = "16.35.2000",
          .active = "16.35.1012"};
}
inline ReportDevice due_b() {
  return {.devid = "1003",
          .mac = "0002c9aabb224",
          .bus = "0000:81",
          .psid = "QRV22",
          .version = "2.42.5000",
          .active = "2.36.5000"};
}

// The discovery report of both_due() asking for both upgrades.
inline std::string both_due_report() { return report_xml({due_a(), due_b()}); }

// ---------------------------------------------------------------------------
// Adapter records
// ---------------------------------------------------------------------------

// The record the inventory builds for a usable adapter at address whose
// catalog entries are these, in catalog order (versions read from rom).
inline nic_info record_with_catalog(const std::vector<CatalogEntry>& entries,
                                    const std::string& address = "0000:81:00.0") {
  nic_info nic;
  nic.flags = NIC_USABLE;
  nic.pbus_info = address;
  for (const auto& e : entries) {
    uint32_t major = 0, minor = 0, release = 0;
    parseversions(e.rom.c_str(), &major, &minor, &release);
    nic.uFwROMmaj.push_back(major);
    nic.uFwROMmin.push_back(minor);
    nic.uFwROMrel.push_back(release);
    nic.pxmlName.push_back(e.name);
    nic.pxmlFwImage.push_back(e.file);
  }
  nic.fw_count = static_cast<int>(entries.size());
  return nic;
}

// ---------------------------------------------------------------------------
// Shell words
// ---------------------------------------------------------------------------

// word as one word for /bin/sh, in single quotes.
inline std::string quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace testhost
