// Discovery report: the writer (-d) and the apply mode (-u).
#include <fcntl.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlsave.h>
#include <libxml/xmlwriter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>

#include "common/child_process.h"
#include "common/safe_save.h"
#include "common/text_checks.h"
#include "common/xml_checks.h"
#include "main/vexor.h"

namespace {

// Source unit named in the "FWUPG_ERROR: could not open" message.
constexpr const char* kUnit = "report";

struct XmlCharFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using xml_string = std::unique_ptr<xmlChar, XmlCharFree>;

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// A text the library handed out, empty when it gave none.
std::string xml_text(const xmlChar* text) {
  return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

}  // namespace

// ===========================================================================
// Writer (-d)
// ===========================================================================

int32_t discover_HW() {
  open_event_log(kUnit, __LINE__);
  take_run_lock(false);
  if (build_NIC_list() != 0) return 2;
  // A report that could not be saved is a failed run: the caller would
  // otherwise go on with an older report (or none) as if it were this one.
  if (xml_discovery_report() == 0) return 0;
  note_reason(strprintf("the report %s was not saved (see pyxflash.log)",
                        visible(g_XMLDiscoveryReport).c_str()));
  return 2;
}

int32_t xml_discovery_report() {
  // Declared before the writer so that it is released after it: freeing the
  // writer finishes parsing into the document.
  xml_doc_ptr doc;
  xml_writer_ptr writer;
  size_t devices = 0;
  write_XML_start_elements(writer, doc);
  if (writer) {
    for (size_t i = 0; i < inventory_size(); ++i) {
      if (g_ninfo[i].flags & NIC_USABLE) {
        write_XML_device_elements(writer.get(), static_cast<uint32_t>(i));
        ++devices;
      }
    }
  }
  if (xmlTextWriterEndDocument(writer.get()) < 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, "Error at XmlTextWriterEndDocument\n");
    return 1;
  }
  writer.reset();
  return save_discovery_report(doc.get(), g_XMLDiscoveryReport, devices);
}

namespace {

// The report's fixed texts: the header elements with their values, and the
// leaves of a device and of its fw_item in document order. The writer and
// the check of what it wrote both go by these.
constexpr const char* kHeaderElements[5] = {"zk_rom_discovery", "type", "alt_name", "version",
                                            "takes_effect"};
constexpr const char* kHeaderValues[5] = {
    "2.0.0.0", "QUORVANE_NIC",
    "Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux", "1.0.0", "reboot"};
constexpr const char* kDeviceLeaves[12] = {
    "device_id",  "venid",     "devid",        "subvenid",   "subdevid",   "macaddress",
    "product_id", "busnumber", "devicenumber", "funcnumber", "slotnumber", "nictype"};
constexpr const char* kItemLeaves[8] = {"type",   "firmware_id", "version", "active_version",
                                        "action", "duration",    "message", "shared"};

// The characters an XML 1.0 document may hold.
bool xml_char(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// A value as the report can hold it: valid UTF-8 of characters XML allows.
// The values come from outside (the flash utility's PSID and MAC, interface
// names, the catalog); an erased board reads as 0xFF bytes. The writer's
// document is parsed from its own output, so a byte it cannot take ended
// the document there and a report cut short was saved. Each byte that is
// not part of a valid sequence, and each character XML does not allow
// (controls other than tab, line feed and carriage return; U+FFFE, U+FFFF),
// is shown as '?'; everything else is kept as it is.
std::string xml_safe(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    char32_t c = 0;
    const size_t len = utf8_sequence(value, i, &c);
    if (len == 0 || !xml_char(c)) {
      out += '?';
      i += len == 0 ? 1 : len;
    } else {
      out.append(value, i, len);
      i += len;
    }
  }
  return out;
}

// One leaf: an empty element with the single attribute "value". The results
// of the individual writer calls are not looked at; a failure shows up when
// the document is ended.
void write_leaf(xmlTextWriterPtr writer, const char* name, const std::string& value) {
  xmlTextWriterStartElement(writer, X(name));
  xmlTextWriterWriteAttribute(writer, X("value"), X(xml_safe(value).c_str()));
  xmlTextWriterEndElement(writer);
}

}  // namespace

void write_XML_start_elements(xml_writer_ptr& writer, xml_doc_ptr& doc) {
  xmlDocPtr new_doc = nullptr;
  writer.reset(xmlNewTextWriterDoc(&new_doc, 0));
  doc.reset(writer ? new_doc : nullptr);
  if (!writer) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       "write_XML_start_elements: Error creating teh xml writer\n");
    return;
  }
  xmlTextWriter* w = writer.get();
  xmlTextWriterSetIndent(w, 1);
  xmlTextWriterSetIndentString(w, X("    "));
  xmlTextWriterStartDocument(w, nullptr, "UTF-8", nullptr);

  xmlTextWriterStartElement(w, X(kHeaderElements[0]));
  xmlTextWriterWriteAttribute(w, X("version"), X(kHeaderValues[0]));
  for (int i = 1; i < 5; ++i) write_leaf(w, kHeaderElements[i], kHeaderValues[i]);
  xmlTextWriterStartElement(w, X("devices"));
}

namespace {

// The network interface name of a PCI function, the first word that the
// lookup pipeline prints; empty after logging when there is none.
std::string interface_name(const nic_info& nic) {
  std::string address = nic.pinterfacename.value_or("");
  std::string word;
  // The address becomes part of a shell line; the enumeration only ever
  // yields the bus-address form, and nothing else is let through.
  if (is_bus_address(address)) {
    std::string command = strprintf(
        "echo `ls -l /sys/class/net | grep -i %s | awk '{print $11}' | rev | cut -d / -f1 | "
        "rev`",
        address.c_str());
    unique_pipe pipe(popen(command.c_str(), "re"));
    if (pipe) {
      std::string line;
      int c;
      while ((c = std::fgetc(pipe.get())) != EOF && c != '\n') line += static_cast<char>(c);
      size_t begin = line.find_first_not_of(" \t");
      if (begin != std::string::npos) {
        word = line.substr(begin, line.find_first_of(" \t", begin) - begin);
      }
    }
  }
  if (word.empty()) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       "deviceId:write_XML_device_elements: Error at xmlTextWriterStartElement\n");
  }
  return word;
}

// The PCI address dddd:bb:dd.f cut into "dddd:bb", "dd" and "f"; a part the
// address does not contain stays empty.
struct AddressParts {
  std::string busnumber;
  std::string devicenumber;
  std::string funcnumber;
};

AddressParts split_address(const std::string& address) {
  AddressParts parts;
  size_t first = address.find(':');
  size_t second = first == std::string::npos ? first : address.find(':', first + 1);
  if (second != std::string::npos) {
    parts.busnumber = address.substr(0, first) + ":" + address.substr(first + 1, second - first - 1);
    size_t dot = address.find('.', second + 1);
    parts.devicenumber =
        address.substr(second + 1, dot == std::string::npos ? dot : dot - second - 1);
  }
  size_t last_dot = address.rfind('.');
  if (last_dot != std::string::npos) parts.funcnumber = address.substr(last_dot + 1);
  return parts;
}

}  // namespace

void write_XML_device_elements(_xmlTextWriter* writer, uint32_t IdxNic) {
  if (IdxNic >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[IdxNic];
  const AddressParts parts = split_address(nic.pbus_info.value_or(""));
  const std::string product_id =
      nic.fw_count > 0 ? catalog_text(nic.pxmlName, 0).value_or("") : std::string();

  const std::string values[std::size(kDeviceLeaves)] = {
      interface_name(nic),
      strprintf("%04X", nic.ven_id),
      strprintf("%04X", nic.dev_id),
      strprintf("%04X", nic.sub_ven_id),
      strprintf("%04X", nic.sub_dev_id),
      nic.pcurrent_mac.value_or(""),
      product_id,
      parts.busnumber,
      parts.devicenumber,
      parts.funcnumber,
      nic.pPort.value_or(""),
      "QUORVANE"};

  xmlTextWriterStartElement(writer, X("device"));
  for (size_t i = 0; i < std::size(kDeviceLeaves); ++i) {
    write_leaf(writer, kDeviceLeaves[i], values[i]);
  }
  write_XML_FW_item(writer, IdxNic);
  xmlTextWriterEndElement(writer);
}

void write_XML_FW_item(_xmlTextWriter* writer, uint32_t IdxNic) {
  if (IdxNic >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[IdxNic];
  // The one image type an adapter has is "ROM", known once its running
  // firmware is.
  if (!(nic.flags & NIC_USABLE)) return;
  const std::string fwtype = "ROM";

  std::string version, active_version, action;
  build_XML_FW_item_version(fwtype, version, IdxNic);
  build_XML_FW_item_active_version(fwtype, active_version, IdxNic);
  recommend_XML_FW_action(fwtype, action, IdxNic);
  const std::string values[std::size(kItemLeaves)] = {
      fwtype, nic.psid.value_or(""), version, active_version, action, "210", "", "no"};

  xmlTextWriterStartElement(writer, X("fw_item"));
  for (size_t i = 0; i < std::size(kItemLeaves); ++i) write_leaf(writer, kItemLeaves[i], values[i]);
  xmlTextWriterEndElement(writer);
}

void build_XML_FW_item_version(const std::string& pFwtype, std::string& pAttribute,
                               uint32_t uIdx) {
  pAttribute.clear();
  if (!contains(pFwtype, "ROM")) return;
  std::vector<std::string> texts;
  std::vector<int64_t> keys;
  build_sorted_versions(uIdx, texts, keys);
  if (!texts.empty()) pAttribute = texts.back();
}

void build_XML_FW_item_active_version(const std::string&, std::string& pAttribute,
                                      uint32_t IdxNic) {
  pAttribute.clear();
  if (IdxNic >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[IdxNic];
  pAttribute = version_text(nic.uCurROMmaj, nic.uCurROMmin, nic.uCurROMrel);
}

void recommend_XML_FW_action(const std::string& pFwtype, std::string& pAttribute,
                             uint32_t IdxNic) {
  pAttribute = "Nothing";
  if (!contains(pFwtype, "ROM") || IdxNic >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[IdxNic];
  const fw_version installed = installed_version(nic);
  const size_t n = catalog_versions(nic);
  bool greater = false;
  bool equal = false;
  for (size_t i = 0; i < n; ++i) {
    const fw_version offered = catalog_version(nic, i);
    greater = greater || offered > installed;
    equal = equal || offered == installed;
  }
  if (greater) {
    pAttribute = "upgrade";
  } else if (equal) {
    pAttribute = "rewrite";
  } else if (n > 0) {
    pAttribute = "downgrade";
  }
}

namespace {

// ---------------------------------------------------------------------------
// Checking what the writer made
// ---------------------------------------------------------------------------

// One element of a complete report: its depth, its name, and whether it is a
// leaf, which carries the attribute "value".
struct ReportElement {
  int depth;
  const char* name;
  bool leaf;
};

// Every element of a complete report of `devices` devices, in document order.
std::vector<ReportElement> complete_report(size_t devices) {
  std::vector<ReportElement> elements{{0, kHeaderElements[0], false}};
  for (size_t i = 1; i < std::size(kHeaderElements); ++i) {
    elements.push_back({1, kHeaderElements[i], true});
  }
  elements.push_back({1, "devices", false});
  for (size_t d = 0; d < devices; ++d) {
    elements.push_back({2, "device", false});
    for (const char* leaf : kDeviceLeaves) elements.push_back({3, leaf, true});
    elements.push_back({3, "fw_item", false});
    for (const char* leaf : kItemLeaves) elements.push_back({4, leaf, true});
  }
  return elements;
}

// True when bytes are a well-formed report holding every element the writer
// writes for `devices` devices, in order, each leaf with its value: a
// document the library cut short (it stops at a value it cannot take) has
// lost at least the rest of one device.
bool report_is_complete(const std::string& bytes, size_t devices) {
  xml_reader_ptr reader(xmlReaderForMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                           nullptr, XML_PARSE_NONET));
  if (!reader) return false;
  const std::vector<ReportElement> expected = complete_report(devices);
  size_t next = 0;
  int ret;
  while ((ret = xmlTextReaderRead(reader.get())) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    if (next == expected.size()) return false;
    const ReportElement& e = expected[next++];
    if (xmlTextReaderDepth(reader.get()) != e.depth ||
        xmlStrcmp(xmlTextReaderConstName(reader.get()), X(e.name)) != 0) {
      return false;
    }
    if (e.leaf && !xml_string(xmlTextReaderGetAttribute(reader.get(), X("value")))) return false;
  }
  return ret == 0 && next == expected.size();
}

// ---------------------------------------------------------------------------
// Where the report goes
// ---------------------------------------------------------------------------

// The files vexor reads, runs or holds during a run, which a report must
// never replace, each with what it is.
std::vector<std::pair<std::string, std::string>> files_of_vexor() {
  return {{g_XMLFwFile, std::string("the firmware catalog ") + g_XMLFwFile},
          {"pyxflash.log", "the event log pyxflash.log"},
          {"/proc/self/exe", "vexor itself"},
          {"./getqrvninfo", "the program ./getqrvninfo"},
          {SHIPPED_FLASH_UTILITY, std::string("the flash utility ") + SHIPPED_FLASH_UTILITY},
          {SYSTEM_FLASH_UTILITY, std::string("the flash utility ") + SYSTEM_FLASH_UTILITY},
          {"/usr/bin/mokutil", "the program /usr/bin/mokutil"},
          {"/usr/bin/qtk", "the program /usr/bin/qtk"},
          {g_run_lock_path, "vexor's run lock " + g_run_lock_path}};
}

// Where a report may not go: the files of vexor, and nic_fw/, where the
// catalog, the images and the flash utility lie. The temporary file is
// named after the report.
save_rules report_save_rules(const std::vector<std::pair<std::string, std::string>>& files) {
  save_rules rules;
  for (const auto& file : files) rules.files.push_back(file.first);
  rules.directories = {"nic_fw"};
  rules.temp_prefix = ".vexor-report-";
  return rules;
}

// Why a report was refused, as the log and the reason line say it.
std::string refusal_text(const save_result& result,
                         const std::vector<std::pair<std::string, std::string>>& files) {
  switch (result.why) {
    case save_result::refusal::directory:
      return "it is a directory";
    case save_result::refusal::block_device:
      return "it is a block device";
    case save_result::refusal::socket:
      return "it is a socket";
    case save_result::refusal::guarded_file:
      return "it is " + files[result.rule].second;
    case save_result::refusal::guarded_directory:
      return "it lies in nic_fw/, beside the catalog, the images and the flash utility";
    case save_result::refusal::none:
      break;
  }
  return "it may not be written";
}

// The words of the message for the step at which a save failed.
const char* step_words(save_result::step at) {
  switch (at) {
    case save_result::step::following:
      return "following";
    case save_result::step::opening:
      return "opening";
    case save_result::step::creating:
      return "creating";
    case save_result::step::owning:
      return "setting the owner of";
    case save_result::step::moding:
      return "setting the mode of";
    case save_result::step::writing:
      return "writing";
    case save_result::step::syncing:
      return "syncing";
    case save_result::step::reading_back:
      return "reading back";
    case save_result::step::closing:
      return "closing";
    case save_result::step::renaming:
      return "renaming";
    case save_result::step::done:
    case save_result::step::refused:
      break;
  }
  return "saving";
}

int32_t save_failed(const std::string& path, const char* step, const std::string& subject,
                    int err) {
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("xml_discovery_report: could not save %s: %s %s: %s\n",
                               visible(path).c_str(), step, visible(subject).c_str(),
                               std::strerror(err)));
  note_reason(strprintf("the report %s could not be saved: %s %s: %s (see pyxflash.log)",
                        visible(path).c_str(), step, visible(subject).c_str(),
                        std::strerror(err)));
  return 1;
}

}  // namespace

int32_t save_discovery_report(_xmlDoc* doc, const std::string& path, size_t devices) {
  // The same bytes xmlSaveFileEnc(path, doc, "UTF-8") writes, held in memory
  // and checked before anything is written anywhere.
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &raw, &size, "UTF-8", 0);
  xml_string dumped(raw);
  if (!dumped || size < 0) return save_failed(path, "serialising", "the document", ENOMEM);
  const std::string bytes(reinterpret_cast<const char*>(dumped.get()), static_cast<size_t>(size));
  dumped.reset();
  if (!report_is_complete(bytes, devices)) {
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("xml_discovery_report: the report for %s came out incomplete (%zu devices "
                  "written); it is not saved\n",
                  visible(path).c_str(), devices));
    return 1;
  }

  const std::vector<std::pair<std::string, std::string>> files = files_of_vexor();
  const save_result saved = save_text(path, bytes, report_save_rules(files));
  if (saved.at == save_result::step::refused) {
    const std::string why = refusal_text(saved, files);
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("xml_discovery_report: not saving the report as %s: %s\n",
                                 visible(path).c_str(), visible(why).c_str()));
    note_reason(strprintf("the report was not saved as %s: %s", visible(path).c_str(),
                          visible(why).c_str()));
    return 1;
  }
  if (saved.saved()) return 0;
  return save_failed(path, step_words(saved.at),
                     saved.file.empty() ? strprintf("descriptor %d", saved.fd) : saved.file,
                     saved.err);
}

// ===========================================================================
// Reader and apply mode (-u)
// ===========================================================================

namespace {

// ---------------------------------------------------------------------------
// Reading the report
// ---------------------------------------------------------------------------

// The most a report may hold. Reports list a server's adapters; 64 MiB is
// tens of thousands of devices.
constexpr size_t kMaxReportBytes = size_t{64} << 20;

// Logs that the report at path is refused before it is read and why (what
// it "holds more than ...", "declares entities"), and makes that the run's
// reason.
void report_not_read(const std::string& path, const std::string& why) {
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("read_discovery_report: %s %s; it is not read\n",
                               visible(path).c_str(), why.c_str()));
  note_reason(strprintf("the report %s %s; it is not read", visible(path).c_str(), why.c_str()));
}

// Reads the whole report at path into *text, once: both passes parse these
// bytes, so a report on a pipe (/dev/stdin) or one that changes meanwhile is
// the same document in both. Returns 0, or 2 after logging.
int32_t read_report_text(const std::string& path, std::string* text) {
  unique_fd in(open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  auto failed = [&](int err) {
    const int cause = err != 0 ? err : errno;
    note_reason(strprintf("the report %s could not be opened: %s (see pyxflash.log)",
                          visible(path).c_str(), std::strerror(cause)));
    if (err != 0) {
      log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                         strprintf("read_discovery_report: cannot read %s: %s\n",
                                   visible(path).c_str(),
                                   std::strerror(err)));
    }
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: Failed to open %s\n",
                                 visible(path).c_str()));
    return 2;
  };
  if (!in) return failed(0);
  text->clear();
  // A file's size is known: room for all of it at once, rather than a
  // growing buffer that takes up to twice as much on the way.
  struct stat st;
  if (fstat(in.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    text->reserve(std::min(static_cast<size_t>(st.st_size), kMaxReportBytes) + 1);
  }
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    const ssize_t n = read(in.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(errno);
    if (n == 0) return 0;
    if (static_cast<size_t>(n) > kMaxReportBytes - text->size()) {
      report_not_read(path, strprintf("holds more than %zu bytes", kMaxReportBytes));
      return 2;
    }
    text->append(chunk.data(), static_cast<size_t>(n));
  }
}

// One pass over the report's text; visit sees every node. A document that
// declares entities is refused at its document type, before any value is
// read. Returns 0, or 2 after logging that the report could not be parsed.
template <typename Visit>
int32_t read_report_pass(const std::string& path, const std::string& text, Visit visit) {
  // The library makes no reader for an empty text: that is no document.
  xml_reader_ptr reader;
  if (!text.empty()) {
    reader.reset(xmlReaderForMemory(text.data(), static_cast<int>(text.size()), path.c_str(),
                                    nullptr, XML_PARSE_NONET));
  }
  int ret = -1;
  while (reader && (ret = xmlTextReaderRead(reader.get())) == 1) {
    if (declares_entities(reader.get())) {
      report_not_read(path, "declares entities");
      ret = -1;
      break;
    }
    visit(reader.get());
  }
  if (ret != 0) {
    note_reason(strprintf("the report %s could not be parsed (see pyxflash.log)",
                          visible(path).c_str()));
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: Failed to parse %s\n",
                                 visible(path).c_str()));
    return 2;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Applying the devices
// ---------------------------------------------------------------------------

// True when a report's version value names a version. -d writes the value
// empty when the catalog had nothing for the adapter; an empty (or blank)
// value is read like a missing element: the device gets the first matching
// entry, as a hand-written report without the element does, rather than
// being refused for a version "0.0.0" that nobody asked for.
bool names_a_version(const opt_text& version) {
  return version && version->find_first_not_of(" \t\r\n") != std::string::npos;
}

// The catalog entry, among the first fw_count of matches, that a device of
// the report gets: for a device to be flashed whose fw_item names a version,
// the first entry of that version (compared as three numbers), nothing when
// the catalog lacks it; otherwise the first entry.
std::optional<size_t> entry_for_device(const nic_info& nic, const std::vector<XMLFW_INFO>& matches,
                                       const opt_text& version) {
  if (!(nic.flags & NIC_SELECTED) || !names_a_version(version)) return 0;
  const fw_version wanted = parse_fw_version(version->c_str());
  const size_t n = std::min(static_cast<size_t>(std::max(nic.fw_count, 0)), matches.size());
  for (size_t j = 0; j < n; ++j) {
    const opt_text& rom = matches[j].pxmlRom;
    if (parse_fw_version(rom ? rom->c_str() : nullptr) == wanted) return j;
  }
  return std::nullopt;
}

// Notes why device idx (at address, as the report gives it) is counted as
// failed, for the reason line of a run in which every device failed.
void note_device_failure(int idx, const std::string& address, const std::string& why) {
  note_reason(strprintf("device %d (%s) %s (see pyxflash.log)", idx + 1, visible(address).c_str(),
                        why.c_str()));
}

// Looks the device of position idx up in the catalog and keeps in its record
// the one entry it gets. False when the device counts as failed: no entry
// for its ids and PSID, or none of the version it asks for (logged).
bool look_up_device(int idx, nic_info& nic, const opt_text& version) {
  const std::string pciIdString =
      prepare_catalog_lookup(nic, firmware_id[static_cast<size_t>(idx)]);
  std::vector<XMLFW_INFO> matches(MAX_FW_ENTRIES);
  nic.fw_count = 0;
  if (read_NIC_FW_xml_file(pciIdString, matches) == 0) {
    note_device_failure(idx, nic.pbus_info.value_or(""),
                        "has no entry in " + std::string(g_XMLFwFile) + " for its ids and PSID " +
                            visible(firmware_id[static_cast<size_t>(idx)]));
    return false;
  }
  const std::optional<size_t> entry = entry_for_device(nic, matches, version);
  if (!entry) {
    note_device_failure(idx, nic.pbus_info.value_or(""),
                        "asks for version " + visible(*version) + ", which the catalog lacks");
    // The record keeps no entry: its count says so too.
    nic.fw_count = 0;
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("read_discovery_report: device %d (%s) asks for version %s, which the "
                  "catalog does not hold for it; not flashed\n",
                  idx + 1, nic.pbus_info.value_or("").c_str(), visible(*version).c_str()));
    return false;
  }
  const std::vector<XMLFW_INFO> kept{matches[*entry]};
  nic.fw_count = 1;
  take_catalog_matches(nic, kept);
  return true;
}

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Logs and notes that device idx, which asks for a flash, is not flashed:
// the catalog names no image file for it, or one that is not a plain name.
void refuse_device_image(int idx, const opt_text& image, const std::string& address) {
  const bool none = !image || image->empty();
  log_quorvane_event(
      ppyxflash_fout, ERROR_TAG,
      none ? strprintf("read_discovery_report: the catalog names no image file for device %d "
                       "(%s); not flashed\n",
                       idx + 1, address.c_str())
           : strprintf("read_discovery_report: the catalog's image file name \"%s\" for device "
                       "%d (%s) is not a plain file name; not flashed\n",
                       visible(*image).c_str(), idx + 1, address.c_str()));
  note_device_failure(idx, address,
                      none ? "has no image file named in the catalog"
                           : "has a catalog image file name that is not a plain file name");
}

// Resolves the family image of device idx through getqrvninfo. False, after
// logging and saying why, when no image was found: the run ends.
bool resolve_family_image(int idx, const std::string& address) {
  if (modify_imagename(static_cast<uint32_t>(idx), nullptr) == 0) return true;
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     "read_discovery_report: Error in finding the image for Belmora/Tarvik2\n");
  say_reason(strprintf("./getqrvninfo found no image for device %d (%s) of the report %s; the "
                       "run is ended (see pyxflash.log)",
                       idx + 1, address.c_str(), visible(g_XMLDiscoveryReport).c_str()));
  return false;
}

// Looks a device of the report up in the catalog and applies it. Returns
// true when the device counts as failed; sets *stop when the run must end
// with 2 at once. seen holds the addresses of the devices before it.
bool apply_device(int idx, const report_pass_state& state, std::set<std::string>& seen,
                  bool* stop) {
  const size_t pos = static_cast<size_t>(idx);
  // Positions past the records are devices written as empty elements at the
  // end of the report, which nothing was read into.
  const std::string address = pos < g_ninfo.size() ? g_ninfo[pos].pbus_info.value_or("") : "";
  // The address comes from outside and goes into a shell line (getqrvninfo)
  // and the flash utility's arguments: only the bus-address form is used.
  if (!is_bus_address(address)) {
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("read_discovery_report: device %d has an invalid PCI address \"%s\"; "
                  "not flashed\n",
                  idx + 1, visible(address).c_str()));
    note_device_failure(idx, address, "has no valid PCI address");
    return true;
  }
  // One adapter is flashed at most once a run, whatever the report repeats.
  if (!seen.insert(lower_case(address)).second) {
    log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                       strprintf("read_discovery_report: device %d repeats the address %s of "
                                 "an earlier device; not flashed\n",
                                 idx + 1, address.c_str()));
    note_device_failure(idx, address, "repeats an earlier device's address");
    return true;
  }
  nic_info& nic = g_ninfo[pos];
  if (!look_up_device(idx, nic, pos < state.versions.size() ? state.versions[pos] : opt_text{})) {
    return true;
  }

  // A catalog entry without "fwFile" gives no image path, and one whose name
  // is not a plain file name ("../../etc/passwd") would hand the flash
  // utility a file outside nic_fw/: a device that asks for a flash fails
  // with a message instead.
  const opt_text& image = nic.pxmlFwImage[0];
  if (!image || !is_plain_file_name(*image)) {
    if (!(nic.flags & NIC_SELECTED)) return (g_iFlag & STATUS_FAILED) != 0;
    refuse_device_image(idx, image, address);
    return true;
  }

  if (contains(*image, "Belmora") && !resolve_family_image(idx, address)) {
    *stop = true;
    return true;
  }

  do_update_firmware(static_cast<uint32_t>(idx));
  // The failure bit is never cleared: after one failed flash every later
  // device counts as failed too.
  return (g_iFlag & STATUS_FAILED) != 0;
}

}  // namespace

int32_t read_discovery_report() {
  silent = 2;
  open_event_log(kUnit, __LINE__);
  take_run_lock(true);
  const std::string path = g_XMLDiscoveryReport;
  std::string text;
  if (int32_t rc = read_report_text(path, &text)) return rc;

  int deviceCnt = 0;
  size_t device_ends = 0;
  if (int32_t rc = read_report_pass(path, text, [&](xmlTextReaderPtr reader) {
        read_num_device_elements(reader, &deviceCnt);
        device_ends += xmlTextReaderNodeType(reader) == XML_READER_TYPE_END_ELEMENT &&
                       xmlStrcmp(xmlTextReaderConstName(reader), X("device")) == 0;
      })) {
    return rc;
  }

  // Only the end of a device advances the position, so the records past the
  // one after the last end would stay empty: they are not made (a megabyte
  // of "<device/>" would otherwise take 90 MB), and the apply loop treats
  // their positions as the empty devices they are.
  const size_t records = std::min(static_cast<size_t>(deviceCnt), device_ends + 1);
  g_ninfo.assign(records, nic_info{});
  firmware_id.assign(records, std::string());
  report_pass_state state;
  state.versions.assign(records, opt_text{});
  int idx = 0;
  if (int32_t rc = read_report_pass(path, text, [&](xmlTextReaderPtr reader) {
        process_node(reader, g_ninfo, &idx, state);
      })) {
    return rc;
  }
  text = std::string();

  read_discovery = 1;
  // Nothing in this mode chooses a catalog index per adapter, but the table
  // exists with one entry per record like after an inventory build, so no
  // reader of it can run past its end.
  fw_number.assign(records, 0);
  int read_discovery_error = 0;
  std::set<std::string> seen;
  for (idx = 0; idx < deviceCnt; ++idx) {
    nic_count = idx;
    bool stop = false;
    if (apply_device(idx, state, seen, &stop)) ++read_discovery_error;
    // After a burn left running no device is looked at further: resolving
    // a family image would query the adapters during that burn.
    if (stop || (g_iFlag & STATUS_LEFT_BURNING)) return 2;
  }
  if (read_discovery_error < deviceCnt) return 0;
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     "read_discovery_report: Error at read_NIC_FW_xml_file\n");
  say_reason(deviceCnt == 0
                 ? strprintf("the report %s holds no device", visible(path).c_str())
                 : strprintf("no device of the report %s was flashed; the first failure: %s",
                             visible(path).c_str(), noted_reason().c_str()));
  return 2;
}

void read_num_device_elements(_xmlTextReader* reader, int* deviceCnt) {
  if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) return;
  if (xmlStrcmp(xmlTextReaderConstName(reader), X("device")) == 0) ++*deviceCnt;
}

namespace {

// Applies one attribute value of the element `element` to the record of
// position idx (nic is null past the last record).
void apply_report_value(const std::string& element, const std::string& value, nic_info* nic,
                        int idx, report_pass_state& state) {
  // The image type is run state, not part of a record.
  if (element == "type") {
    state.image_type = value;
    return;
  }
  if (nic == nullptr) return;
  // Only the fw_item's version, the one to burn, not the header's.
  if (element == "version") {
    if (state.fw_item_depth > 0 && static_cast<size_t>(idx) < state.versions.size()) {
      state.versions[static_cast<size_t>(idx)] = value;
    }
    return;
  }
  if (element == "venid") {
    nic->ven_id = axtoi(value.c_str());
  } else if (element == "devid") {
    nic->dev_id = axtoi(value.c_str());
  } else if (element == "subvenid") {
    nic->sub_ven_id = axtoi(value.c_str());
  } else if (element == "subdevid") {
    nic->sub_dev_id = axtoi(value.c_str());
  } else if (element == "macaddress") {
    nic->pcurrent_mac = value;
  } else if (element == "busnumber") {
    nic->busnumber = value;
  } else if (element == "devicenumber") {
    nic->devicenumber = value;
  } else if (element == "funcnumber") {
    nic->funcnumber = value;
  } else if (element == "firmware_id") {
    firmware_id[static_cast<size_t>(idx)] = value;
  } else if (element == "active_version") {
    read_FW_cur_version(nic, state.image_type, value);
  } else if (element == "action") {
    // The flags are a bit set: a second action element asking for a flash
    // leaves the request as it is.
    if (contains(value, "upgrade") || contains(value, "rewrite") || contains(value, "downgrade")) {
      nic->flags |= NIC_SELECTED;
    }
    // Absent parts are joined as empty texts; the apply loop checks the
    // result before it is used anywhere.
    bus_info = strprintf("%s:%s.%s", nic->busnumber.value_or("").c_str(),
                         nic->devicenumber.value_or("").c_str(),
                         nic->funcnumber.value_or("").c_str());
    nic->pbus_info = bus_info;
  }
}

}  // namespace

void process_node(_xmlTextReader* reader, std::vector<nic_info>& pNinfo, int* Idx,
                  report_pass_state& state) {
  xml_string name_x(xmlTextReaderName(reader));
  const std::string name = name_x ? xml_text(name_x.get()) : "--";
  const int type = xmlTextReaderNodeType(reader);
  if (type == XML_READER_TYPE_END_ELEMENT) {
    if (name == "device") ++*Idx;
    if (name == "fw_item" && state.fw_item_depth > 0) --state.fw_item_depth;
    return;
  }
  if (type != XML_READER_TYPE_ELEMENT) return;
  if (name == "fw_item" && xmlTextReaderIsEmptyElement(reader) == 0) ++state.fw_item_depth;
  // An empty device element has no end, so the device positions can stay
  // behind the records but never run ahead of them; still, elements after
  // the last device must not reach past the end.
  nic_info* nic = (*Idx >= 0 && static_cast<size_t>(*Idx) < pNinfo.size() &&
                   static_cast<size_t>(*Idx) < firmware_id.size())
                      ? &pNinfo[static_cast<size_t>(*Idx)]
                      : nullptr;
  while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
    xml_string value(xmlTextReaderValue(reader));
    apply_report_value(name, xml_text(value.get()), nic, *Idx, state);
  }
}

void read_FW_cur_version(nic_info* pCurNinfo, const std::string& pImageType,
                         const std::string& pVersion) {
  if (contains(pVersion, "n/a")) return;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t release = 0;
  parseversions(pVersion.c_str(), &major, &minor, &release);
  if (!contains(pImageType, "ROM")) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, "read_FW_cur_version: Error Wrong image type\n");
    return;
  }
  pCurNinfo->uCurROMmaj = major;
  pCurNinfo->uCurROMmin = minor;
  pCurNinfo->uCurROMrel = release;
  pCurNinfo->flags |= NIC_USABLE;
}

int32_t axtoi(const char* hexStg) {
  if (hexStg == nullptr) return 0;
  int32_t value = 0;
  for (int i = 0; i < 4 && hexStg[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(hexStg[i]);
    int digit;
    if (c >= 0x2A && c <= 0x3F) {
      digit = c & 0x0F;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value * 16 + digit;
  }
  return value;
}

namespace {

std::string trim_right(std::string text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

}  // namespace

int modify_imagename(uint32_t curnic, std::string* servername) {
  if (curnic >= g_ninfo.size()) return 1;
  nic_info& nic = g_ninfo[curnic];
  const std::string address = nic.pbus_info.value_or("");
  // The address goes into a shell line; the apply loop has checked it, and
  // this function does not rely on that.
  if (!is_bus_address(address)) return 1;

  std::string data_file = "dataXXXXXX";
  if (!create_temp_file(&data_file)) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("unable to open file %s\n", data_file.c_str()));
    return 2;
  }
  temp_file_guard remove_data(data_file);

  std::string line;
  int32_t rc = get_qrvn_info(strprintf("./getqrvninfo imgfile %s > %s", address.c_str(),
                                       data_file.c_str()),
                             line, data_file, ' ');
  if (rc != 0) return rc;
  if (!line.empty() && line[0] == '0') return 1;

  size_t hash = line.find('#');
  if (hash == std::string::npos) return 1;
  std::string host = line.substr(0, hash);
  std::string image = line.substr(hash + 1);
  image = trim_right(image.substr(0, image.find('#')));
  // The answer names a file under ./nic_fw/ for the flash utility: anything
  // that could lead elsewhere counts as no image found.
  if (!is_plain_file_name(image)) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("modify_imagename: getqrvninfo named no plain image file for %s: "
                                 "\"%s\"\n",
                                 address.c_str(), visible(image).c_str()));
    return 1;
  }
  if (servername != nullptr) *servername = host;
  if (nic.pxmlFwImage.empty()) nic.pxmlFwImage.resize(1);
  nic.pxmlFwImage[0] = image;
  return 0;
}

int32_t get_qrvn_info(const std::string& cmd, std::string& data, const std::string& dataFile,
                      char delimiter) {
  data.clear();
  int32_t rc = do_command(cmd.c_str());
  if (rc != 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, strprintf("command failed: %s\n", cmd.c_str()));
    return rc;
  }
  unique_file in(std::fopen(dataFile.c_str(), "re"));
  if (!in) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("unable to open file %s\n", dataFile.c_str()));
    return 2;
  }
  int c;
  while ((c = std::fgetc(in.get())) != EOF) {
    data += static_cast<char>(c);
    if (c == '\n') break;
  }
  data = data.substr(0, data.find(delimiter));
  return 0;
}
