// Adapter inventory: records, firmware catalog, version ordering, build.
#include <libxml/xmlreader.h>
#include <libxml/xmlversion.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "common/text_checks.h"
#include "common/xml_checks.h"
#include "main/catalog_index.h"
#include "main/vexor.h"

std::vector<nic_info> g_ninfo;
int32_t g_nNics = 0;
int32_t g_nQuorvanePorts = 0;
int nic_count = 0;
std::vector<int> fw_number;
std::string sub_ven_id_new;
std::string sub_dev_id_new;
// InfiniBand (serial bus), Ethernet, other network and InfiniBand (network)
// controllers: base class in the high byte, sub-class in the low one.
const int32_t class_code[4] = {0x0C06, 0x0200, 0x0280, 0x0207};
std::vector<std::string> ver_buf;
int fw_invalid = 0;
int fw_invalid_count = 0;
int read_discovery = 0;
std::vector<std::string> firmware_id;
std::string bus_info;
std::vector<adapter_outcome> g_adapter_outcomes;

void reset_inventory() {
  for (int32_t* number : {&g_nNics, &g_nQuorvanePorts}) *number = 0;
  for (int* number : {&nic_count, &fw_invalid, &fw_invalid_count, &read_discovery}) *number = 0;
  for (std::string* text : {&sub_ven_id_new, &sub_dev_id_new, &bus_info}) text->clear();
  for (std::vector<std::string>* texts : {&ver_buf, &firmware_id}) texts->clear();
  g_ninfo.clear();
  fw_number.clear();
  g_adapter_outcomes.clear();
  forget_catalog();
}

adapter_outcome* outcome_of(size_t idx) {
  return idx < g_adapter_outcomes.size() ? &g_adapter_outcomes[idx] : nullptr;
}

namespace {

// Source unit named in the "FWUPG_ERROR" texts of this file.
constexpr const char* kUnit = "inventory";

// libxml2 opens a directory (or a file whose first read fails) without
// complaint and then reports a parse error at its first byte, which the
// reading would take for a catalog without entries: every adapter would be
// "not in the catalog" and a silent update would end with 0. A catalog the
// program cannot read is treated like a missing one instead.
bool catalog_readable(const char* path) {
  unique_file f(std::fopen(path, "re"));
  if (!f) return false;
  std::fgetc(f.get());
  return std::ferror(f.get()) == 0;
}

// A catalog that cannot be used is a missing one: logged, and the process
// ends with 1.
[[noreturn]] void catalog_unusable() {
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, strprintf("Unable to open %s\n", g_XMLFwFile));
  end_run(1,
          strprintf("the firmware catalog %s could not be read (see %s)", g_XMLFwFile, EVENT_LOG));
}

// Writes one line to the query-error file, if the build could create it.
void error_file_line(FILE* f, const std::string& line) {
  if (f != nullptr) std::fputs(line.c_str(), f);
}

}  // namespace

// ---------------------------------------------------------------------------
// Version texts and their ordering
// ---------------------------------------------------------------------------

int parseversions(const char* version, uint32_t* major, uint32_t* minor, uint32_t* release) {
  // A catalog entry whose "rom" never arrived has no version text; it reads
  // as 0.0.0 like any text without digits.
  const fw_version v = parse_fw_version(version);
  *major = v.major;
  *minor = v.minor;
  *release = v.release;
  return 0;
}

fw_version installed_version(const nic_info& nic) {
  return {nic.uCurROMmaj, nic.uCurROMmin, nic.uCurROMrel};
}

fw_version catalog_version(const nic_info& nic, size_t j) {
  return {nic.uFwROMmaj[j], nic.uFwROMmin[j], nic.uFwROMrel[j]};
}

int64_t fw_ordering_key(uint32_t major, uint32_t minor, uint32_t release) {
  // The numbers are printed as signed, as everywhere else the versions are
  // shown; the key is the first ten characters of the digits run together.
  std::string digits = strprintf("%d%d%d", static_cast<int32_t>(major), static_cast<int32_t>(minor),
                                 static_cast<int32_t>(release));
  digits += "0000000000";
  digits.resize(10);
  return std::strtoll(digits.c_str(), nullptr, 10);
}

std::string version_text(uint32_t major, uint32_t minor, uint32_t release) {
  return strprintf("%d.%d.%d", static_cast<int32_t>(major), static_cast<int32_t>(minor),
                   static_cast<int32_t>(release));
}

void build_sorted_versions(uint32_t uIdx, std::vector<std::string>& texts,
                           std::vector<int64_t>& keys) {
  texts.clear();
  keys.clear();
  if (uIdx >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[uIdx];
  for (size_t i = 0; i < catalog_entry_count(nic); ++i) {
    texts.push_back(version_text(nic.uFwROMmaj[i], nic.uFwROMmin[i], nic.uFwROMrel[i]));
    keys.push_back(fw_ordering_key(nic.uFwROMmaj[i], nic.uFwROMmin[i], nic.uFwROMrel[i]));
  }
  sort_fw(uIdx, texts, keys);
}

void sort_fw(uint32_t uIdx, std::vector<std::string>& ver_buf, std::vector<int64_t>& fw_sorted) {
  if (uIdx >= g_ninfo.size()) return;
  // Rows the caller did not supply are never touched.
  size_t n = static_cast<size_t>(std::max(g_ninfo[uIdx].fw_count, 0));
  n = std::min({n, ver_buf.size(), fw_sorted.size()});
  for (size_t i = 0; i < n; ++i) {
    size_t min_pos = i;
    for (size_t j = i + 1; j < n; ++j) {
      if (fw_sorted[j] < fw_sorted[min_pos]) min_pos = j;
    }
    std::swap(fw_sorted[i], fw_sorted[min_pos]);
    std::swap(ver_buf[i], ver_buf[min_pos]);
  }
}

// ---------------------------------------------------------------------------
// Firmware catalog
// ---------------------------------------------------------------------------

size_t inventory_size() {
  return std::min(static_cast<size_t>(std::max(g_nNics, 0)), g_ninfo.size());
}

size_t catalog_entry_count(const nic_info& nic) {
  const size_t n = static_cast<size_t>(std::max(nic.fw_count, 0));
  return std::min({n, nic.uFwROMmaj.size(), nic.uFwROMmin.size(), nic.uFwROMrel.size()});
}

opt_text catalog_text(const std::vector<opt_text>& texts, size_t j) {
  return j < texts.size() ? texts[j] : opt_text{};
}

std::string prepare_catalog_lookup(const nic_info& nic, const std::string& psid) {
  sub_ven_id_new = strprintf("%04X", static_cast<unsigned>(nic.sub_ven_id));
  sub_dev_id_new = strprintf("%04X", static_cast<unsigned>(nic.sub_dev_id));
  return strprintf("%04X-%04X-%04X-%04X-%s", static_cast<unsigned>(nic.ven_id),
                   static_cast<unsigned>(nic.dev_id), static_cast<unsigned>(nic.sub_ven_id),
                   static_cast<unsigned>(nic.sub_dev_id), psid.c_str());
}

void take_catalog_matches(nic_info& nic, const std::vector<XMLFW_INFO>& matches) {
  // The reader never counts more matches than the buffer holds.
  const size_t n = std::min(static_cast<size_t>(std::max(nic.fw_count, 0)), matches.size());
  nic.fw_count = static_cast<int>(n);
  nic.pxmlName.resize(n);
  nic.pxmlFwImage.resize(n);
  nic.uFwROMmaj.resize(n);
  nic.uFwROMmin.resize(n);
  nic.uFwROMrel.resize(n);
  for (size_t j = 0; j < n; ++j) {
    nic.pxmlName[j] = matches[j].pxmlName;
    nic.pxmlFwImage[j] = matches[j].pxmlFwImage;
    parseversions(matches[j].pxmlRom ? matches[j].pxmlRom->c_str() : nullptr, &nic.uFwROMmaj[j],
                  &nic.uFwROMmin[j], &nic.uFwROMrel[j]);
  }
}

namespace {

// The catalog as this run read it: once, at the first lookup, so that a run
// that looks nothing up never reads it, and every later lookup matches
// against what was read then.
std::optional<catalog_index> g_catalog;

catalog_index read_catalog() {
  xmlCheckVersion(20706);
  xml_reader_ptr reader;
  if (catalog_readable(g_XMLFwFile)) reader.reset(xmlReaderForFile(g_XMLFwFile, nullptr, 0));
  if (!reader) catalog_unusable();
  catalog_index index;
  // A parse error ends the loop like the end of the document: the entries
  // found before it are kept.
  while (xmlTextReaderRead(reader.get()) == 1) {
    if (declares_entities(reader.get())) {
      log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                         strprintf("%s declares entities; it is not read\n", g_XMLFwFile));
      catalog_unusable();
    }
    const int count = xmlTextReaderAttributeCount(reader.get());
    if (count > 0) index.begin_element();
    for (int a = 0; a < count && xmlTextReaderMoveToNextAttribute(reader.get()) == 1; ++a) {
      const xmlChar* name = xmlTextReaderConstName(reader.get());
      if (name == nullptr) continue;
      const std::optional<catalog_attr> kind =
          catalog_attribute(reinterpret_cast<const char*>(name));
      if (!kind) continue;
      const xmlChar* value = xmlTextReaderConstValue(reader.get());
      index.attribute(*kind, value ? reinterpret_cast<const char*>(value) : "");
    }
  }
  index.finish();
  reader.reset();
  // Releases the library's global parser state. Safe here: the program is
  // single-threaded and no other reader or writer is open while the catalog
  // is read (the report writer starts after the inventory is complete, and
  // the apply mode has freed its report readers before the lookups).
  xmlCleanupParser();
  return index;
}

}  // namespace

void forget_catalog() { g_catalog.reset(); }

int read_NIC_FW_xml_file(const std::string& pciIdString, std::vector<XMLFW_INFO>& pXmlFwInfo) {
  if (!g_catalog) g_catalog = read_catalog();
  if (nic_count < 0 || static_cast<size_t>(nic_count) >= g_ninfo.size()) return 0;
  catalog_matches found =
      g_catalog->find({pciIdString, sub_ven_id_new, sub_dev_id_new}, pXmlFwInfo.size());
  std::move(found.entries.begin(), found.entries.end(), pXmlFwInfo.begin());
  int& fw_count = g_ninfo[static_cast<size_t>(nic_count)].fw_count;
  fw_count = static_cast<int>(found.entries.size());
  if (found.dropped && pXmlFwInfo.size() > 1) {
    log_quorvane_event(
        ppyxflash_fout, WARNING_TAG,
        strprintf("More than %zu firmware entries in %s match %s; only the first "
                  "%zu are used\n",
                  pXmlFwInfo.size(), g_XMLFwFile, escaped(pciIdString).c_str(), pXmlFwInfo.size()));
  }
  return fw_count != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Inventory build
// ---------------------------------------------------------------------------

namespace {

// The three answers of the flash utility's query for one function; a failed
// query is recorded in the error file and leaves its value absent (or empty
// when the labelled line held nothing).
struct QueryAnswers {
  opt_text fw;
  opt_text psid;
  opt_text mac;
};

// Says, in the query-error file and the log, that a query of address did
// not end within the limit and was stopped.
void query_timed_out(const std::string& address, const char* label, FILE* errfile) {
  const std::string text = strprintf(
      "The flash utility's query of %s (%s) did not end within %s; it was stopped, and "
      "the adapter's other queries are not run\n",
      address.c_str(), label, duration_text(flash_wait_limits().query_seconds).c_str());
  error_file_line(errfile, "\n\nFWUPG_ERROR: " + text);
  log_quorvane_event(ppyxflash_fout, WARNING_TAG, text);
}

QueryAnswers query_adapter(const std::string& address, FILE* errfile) {
  QueryAnswers q;
  const std::pair<const char*, opt_text*> queries[] = {
      {"FW Version", &q.fw}, {"PSID", &q.psid}, {"Base MAC", &q.mac}};
  for (const auto& [label, value] : queries) {
    int32_t rc = get_firmware_info(address.c_str(), value, label);
    if (rc != 0) {
      error_file_line(errfile,
                      strprintf("\n\nFWUPG_ERROR: get_firmware_info filed RC = %d\n%s,%d\n\n", rc,
                                kUnit, __LINE__));
    }
    // A utility that hangs on one query of an adapter hangs on the next:
    // the adapter counts as not answering rather than holding the run up
    // three times over.
    if (rc == QUERY_TIMED_OUT) {
      query_timed_out(address, label, errfile);
      break;
    }
  }
  return q;
}

// Completes the record of a vendor function that has a firmware version and
// a PSID: identity, catalog lookup, running version. Ends the process when
// the PCI identifiers cannot be read.
void build_usable_record(nic_info& nic, const std::string& address, const std::string& fw,
                         const std::string& psid) {
  print_message(
      strprintf("\nQuorvane card info for %s = FW_VERSION %s, BUS_INFO %s, PSID %s\n",
                address.c_str(), escaped(fw).c_str(), address.c_str(), escaped(psid).c_str()));
  unsigned int domain = 0, bus = 0, device = 0, function = 0;
  std::sscanf(address.c_str(), "%04x:%02x:%02x.%x", &domain, &bus, &device, &function);
  print_message(strprintf("%04x:%02x:%02x.%x\n", domain, bus, device, function));

  nic.pinterfacename = address;
  nic.pbus_info = address;
  nic.pfirmware_ver = fw;

  int32_t ven = 0, dev = 0, sub_ven = 0, sub_dev = 0;
  int32_t rc = get_pci_info(address.c_str(), &ven, &dev, &sub_ven, &sub_dev);
  if (rc != 0) {
    std::fprintf(stderr, "\n\nFWUPG_ERROR: RC = %d\n%s,%d\n\n", rc, kUnit, __LINE__);
    end_run(1,
            strprintf("the PCI identifiers of %s could not be read (see /sys/bus/pci/devices/%s)",
                      address.c_str(), address.c_str()));
  }
  print_message(strprintf("DEVICE INFO---------->%x %x %x %x\n", static_cast<unsigned>(ven),
                          static_cast<unsigned>(dev), static_cast<unsigned>(sub_ven),
                          static_cast<unsigned>(sub_dev)));
  nic.ven_id = ven;
  nic.dev_id = dev;
  nic.sub_ven_id = sub_ven;
  nic.sub_dev_id = sub_dev;

  const std::string pciIdString = prepare_catalog_lookup(nic, psid);
  print_message(strprintf("pciIdString-------------->%s\n\n", escaped(pciIdString).c_str()));

  std::vector<XMLFW_INFO> matches(MAX_FW_ENTRIES);
  if (read_NIC_FW_xml_file(pciIdString, matches) == 1) {
    take_catalog_matches(nic, matches);
  } else {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("For %s no matching firmware file in XML\n", address.c_str()));
  }

  parseversions(fw.c_str(), &nic.uCurROMmaj, &nic.uCurROMmin, &nic.uCurROMrel);
  nic.flags |= NIC_USABLE;
}

// Lists the adapters: enumerates them into addresses and vendor_names, sets
// g_nNics, allocates fw_number, g_ninfo and g_adapter_outcomes for them, and
// shows the list. Returns the functions the PCI library could not read, as
// "ADDRESS: why".
std::vector<std::string> enumerate_adapters(std::vector<std::string>* addresses,
                                            std::vector<std::string>* vendor_names) {
  pci_troubles troubles;
  int32_t rc = get_interface_list(addresses, vendor_names, class_code, &g_nNics, &troubles);
  // A device being removed (or otherwise sick) is no reason to leave the
  // others alone.
  for (const std::string& left_out : troubles.left_out) {
    log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                       strprintf("PCI device %s; it is left out\n", escaped(left_out).c_str()));
  }
  if (rc == PCI_LIBRARY_FAILED) {
    const std::string why = "the PCI bus could not be read: " + escaped(troubles.fatal);
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, why + "\n");
    end_run(1, strprintf("%s (see %s)", why.c_str(), EVENT_LOG));
  }
  if (rc != 0) {
    std::fprintf(stderr, "\n\nFWUPG_ERROR: get_interface_list filed RC = %d\n%s,%d\n\n", rc, kUnit,
                 __LINE__);
  }
  // Never index past what the enumeration actually handed back.
  g_nNics = static_cast<int32_t>(
      std::clamp<size_t>(static_cast<size_t>(std::max(g_nNics, 0)), 0,
                         std::min(addresses->size(), vendor_names->size())));
  fw_number.assign(static_cast<size_t>(g_nNics), 0);

  print_message("List of Network Adapters detected on the Server.................\n");
  for (size_t i = 0; i < static_cast<size_t>(g_nNics); ++i) {
    print_message(strprintf("[%d] %s %s\n", static_cast<int>(i), (*addresses)[i].c_str(),
                            escaped((*vendor_names)[i]).c_str()));
  }
  g_ninfo.assign(static_cast<size_t>(g_nNics), nic_info{});
  g_adapter_outcomes.assign(static_cast<size_t>(g_nNics), adapter_outcome{});
  return std::move(troubles.left_out);
}

// Creates the query-error file, which stays on disk for the operator, and
// names it on the console; *name is its template and then its name. Null
// when it cannot be created, which is said on standard output in every mode.
unique_file open_query_error_file(std::string* name) {
  unique_file errfile;
  if (unique_fd fd = create_temp_file(name)) {
    errfile.reset(fdopen(fd.get(), "w"));
    if (errfile) fd.release();
  }
  if (!errfile) std::printf("Not able to open this %s file\n", name->c_str());
  print_message(
      strprintf("\nIf PSID or FW_Version is not found for some interfaces, please check %s\n\n",
                name->c_str()));
  return errfile;
}

// True when a vendor name is the vendor's: its word, or libpci's numeric
// fallback holding its id.
bool is_vendor_name(const std::string& vendor) {
  return contains_nocase(vendor, "Quorvane") || contains_nocase(vendor, "15B3");
}

// A vendor function met during the build, for the second-device test: its
// address, PSID (absent when the query gave none) and base MAC (empty when
// it gave none).
struct MetFunction {
  std::string address;
  opt_text psid;
  std::string mac;
};

// True when f has this PSID and base MAC, as the second PCI device of an
// adapter has the first one's. An absent PSID equals nothing.
bool alike(const MetFunction& f, const opt_text& psid, const std::string& mac) {
  return psid && f.psid == psid && f.mac == mac;
}

// How many of the functions met before are alike this one.
int earlier_alike(const std::vector<MetFunction>& met, const opt_text& psid,
                  const std::string& mac) {
  return static_cast<int>(std::count_if(met.begin(), met.end(), [&](const MetFunction& f) {
    return alike(f, psid, mac);
  }));
}

// The address of the first function met that is alike this one.
std::string first_alike(const std::vector<MetFunction>& met, const opt_text& psid,
                        const std::string& mac) {
  const auto f = std::find_if(met.begin(), met.end(), [&](const MetFunction& m) {
    return alike(m, psid, mac);
  });
  return f != met.end() ? f->address : std::string();
}

// Records for the update run's summary what the build made of the vendor
// function at idx: left out (with why), or undecided with its running version.
void note_outcome(size_t idx, const std::string& address, outcome_kind kind, const opt_text& before,
                  std::string detail = {}) {
  adapter_outcome* o = outcome_of(idx);
  if (o == nullptr) return;
  o->kind = kind;
  o->address = address;
  o->before = before && !before->empty() ? *before : "-";
  o->after = o->before;
  o->detail = std::move(detail);
}

// Why no adapter could be used when every vendor function lacked its
// firmware version or PSID: the flash utility, named with what is wrong with
// it when it cannot be run at all, and where its errors are.
std::string no_usable_adapter(const std::vector<std::string>& lacking,
                              const std::string& errfile_name, bool errfile_kept) {
  const char* utility = flash_utility_in_use().program;
  std::string which = lacking.empty() ? std::string("any adapter") : lacking.front();
  if (lacking.size() > 1) which += strprintf(" and %zu more", lacking.size() - 1);
  std::string state;
  if (::access(utility, F_OK) != 0) {
    state = strprintf("%s is missing; ", utility);
  } else if (::access(utility, X_OK) != 0) {
    state = strprintf("%s cannot be run; ", utility);
  }
  const std::string where =
      errfile_kept ? "see " + errfile_name : std::string("its errors could not be kept in /tmp");
  return strprintf(
      "no usable adapter: the flash utility gave no firmware version or PSID for %s "
      "(%s%s)",
      which.c_str(), state.c_str(), where.c_str());
}

// Why a host shows no adapter of the vendor when the PCI library could not
// read some functions (unread, "ADDRESS: why"): one of them may well be
// one, so this is no host without adapters.
std::string unread_functions(const std::vector<std::string>& unread) {
  // In the order of their addresses, as the enumeration lists devices (the
  // library reports them in its scan order).
  std::vector<std::string> sorted;
  for (const std::string& u : unread) sorted.push_back(u.substr(0, u.find(": ")));
  std::sort(sorted.begin(), sorted.end());
  std::string addresses;
  for (const std::string& a : sorted) addresses += (addresses.empty() ? "" : ", ") + escaped(a);
  return strprintf(
      "%zu PCI function%s could not be read (%s); none of the %d network and "
      "InfiniBand devices read is a Quorvane adapter, but those may be",
      unread.size(), unread.size() == 1 ? "" : "s", addresses.c_str(), g_nNics);
}

// A failed build: why is logged (the update run's console points at the
// log) and noted for the reason line. Returns rc.
int32_t build_failed(int32_t rc, const std::string& why) {
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, why + "\n");
  note_reason(why);
  return rc;
}

// The build's result once every function has been looked at: 1 when no
// vendor function was met on a bus read whole, 2 when some function could
// not be read (unread) and none of the others is the vendor's, or when
// every vendor function lacked its data (at the addresses lacking), else 0.
int32_t build_result(int32_t lacking_data, const std::vector<std::string>& lacking,
                     const std::string& errfile_name, bool errfile_kept,
                     const std::vector<std::string>& unread) {
  if (g_nQuorvanePorts == 0 && !unread.empty()) {
    return build_failed(2, unread_functions(unread) + strprintf(" (see %s)", EVENT_LOG));
  }
  if (g_nQuorvanePorts == 0) {
    return build_failed(
        1, g_nNics == 0 ? std::string("no Quorvane adapter found: the PCI bus lists no network "
                                      "or InfiniBand device")
                        : strprintf("no Quorvane adapter found among the %d network and "
                                    "InfiniBand devices on the PCI bus",
                                    g_nNics));
  }
  if (g_nQuorvanePorts == lacking_data) {
    return build_failed(2, no_usable_adapter(lacking, errfile_name, errfile_kept));
  }
  return 0;
}

}  // namespace

int32_t build_NIC_list() {
  std::vector<std::string> addresses;
  std::vector<std::string> vendor_names;
  const std::vector<std::string> unread = enumerate_adapters(&addresses, &vendor_names);
  std::string errfile_name = "/tmp/dataXXXXXX";
  unique_file errfile = open_query_error_file(&errfile_name);

  std::vector<MetFunction> met;  // every vendor function so far, skipped ones included
  int32_t lacking_data = 0;
  std::vector<std::string> lacking;  // their addresses
  for (nic_count = 0; nic_count < g_nNics; ++nic_count) {
    const size_t idx = static_cast<size_t>(nic_count);
    nic_info& nic = g_ninfo[idx];
    const std::string& address = addresses[idx];
    nic.fw_count = 0;
    if (!is_vendor_name(vendor_names[idx])) {
      print_message(strprintf("Interface %s is not Quorvane one.\n", address.c_str()));
      continue;
    }
    ++g_nQuorvanePorts;

    const QueryAnswers q = query_adapter(address, errfile.get());
    nic.psid = q.psid;
    if (q.mac) nic.pcurrent_mac = q.mac;
    // Only a function with a base MAC is compared with the earlier ones.
    const int alike_before = q.mac ? earlier_alike(met, q.psid, *q.mac) : 0;
    met.push_back({address, q.psid, q.mac.value_or("")});
    if (alike_before > 0) {
      note_outcome(idx, address, outcome_kind::second_function, q.fw,
                   first_alike(met, q.psid, *q.mac));
      for (int m = 0; m < alike_before; ++m) {
        print_message(strprintf(
            "Skipping interface %s as it is the second device of Quorvane adapter with PSID "
            "%s.\n",
            address.c_str(), escaped(*q.psid).c_str()));
      }
      --g_nQuorvanePorts;
      continue;
    }

    if (!q.fw || !q.psid) {
      error_file_line(errfile.get(),
                      strprintf("\n\nFWUPG_ERROR: PSID or FW_Version is not found for %s "
                                "interface\n",
                                address.c_str()));
      ++lacking_data;
      lacking.push_back(address);
      note_outcome(idx, address, outcome_kind::no_query_data, q.fw);
      continue;
    }
    build_usable_record(nic, address, *q.fw, *q.psid);
    note_outcome(idx, address,
                 nic.fw_count > 0 ? outcome_kind::undecided : outcome_kind::no_catalog_entry,
                 version_text(nic.uCurROMmaj, nic.uCurROMmin, nic.uCurROMrel));
  }
  const bool errfile_kept = errfile != nullptr;
  errfile.reset();
  return build_result(lacking_data, lacking, errfile_name, errfile_kept, unread);
}
