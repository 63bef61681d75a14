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
#include <chrono>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
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
using XmlString = std::unique_ptr<xmlChar, XmlCharFree>;

// text as the character type libxml2 takes.
const xmlChar* xml_chars(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

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
  check_run_files();
  if (build_NIC_list() != 0) return 2;
  // A report that could not be saved is a failed run: the caller would
  // otherwise go on with an older report (or none) as if it were this one.
  if (xml_discovery_report() == 0) return 0;
  note_reason(strprintf("the report %s was not saved (see %s)",
                        escaped(g_XMLDiscoveryReport).c_str(), EVENT_LOG));
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
constexpr const char* kDeviceLeaves[12] = {"device_id",    "venid",      "devid",      "subvenid",
                                           "subdevid",     "macaddress", "product_id", "busnumber",
                                           "devicenumber", "funcnumber", "slotnumber", "nictype"};
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
  xmlTextWriterStartElement(writer, xml_chars(name));
  xmlTextWriterWriteAttribute(writer, xml_chars("value"), xml_chars(xml_safe(value).c_str()));
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
  xmlTextWriterSetIndentString(w, xml_chars("    "));
  xmlTextWriterStartDocument(w, nullptr, "UTF-8", nullptr);

  xmlTextWriterStartElement(w, xml_chars(kHeaderElements[0]));
  xmlTextWriterWriteAttribute(w, xml_chars("version"), xml_chars(kHeaderValues[0]));
  for (int i = 1; i < 5; ++i) write_leaf(w, kHeaderElements[i], kHeaderValues[i]);
  xmlTextWriterStartElement(w, xml_chars("devices"));
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
    parts.busnumber =
        address.substr(0, first) + ":" + address.substr(first + 1, second - first - 1);
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

  xmlTextWriterStartElement(writer, xml_chars("device"));
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

  xmlTextWriterStartElement(writer, xml_chars("fw_item"));
  for (size_t i = 0; i < std::size(kItemLeaves); ++i) write_leaf(writer, kItemLeaves[i], values[i]);
  xmlTextWriterEndElement(writer);
}

void build_XML_FW_item_version(const std::string& pFwtype, std::string& pAttribute, uint32_t uIdx) {
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

void recommend_XML_FW_action(const std::string& pFwtype, std::string& pAttribute, uint32_t IdxNic) {
  pAttribute = "Nothing";
  if (!contains(pFwtype, "ROM") || IdxNic >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[IdxNic];
  const fw_version installed = installed_version(nic);
  const size_t n = catalog_entry_count(nic);
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
        xmlStrcmp(xmlTextReaderConstName(reader.get()), xml_chars(e.name)) != 0) {
      return false;
    }
    if (e.leaf && !XmlString(xmlTextReaderGetAttribute(reader.get(), xml_chars("value"))))
      return false;
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
          {EVENT_LOG, std::string("the event log ") + EVENT_LOG},
          {g_history_path, "the history of burns " + g_history_path},
          {"/proc/self/exe", "vexor itself"},
          {IMAGE_INFO_PROGRAM, std::string("the program ") + IMAGE_INFO_PROGRAM},
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
  rules.directories = {FIRMWARE_DIR};
  rules.temp_prefix = ".vexor-report-";
  return rules;
}

// Who besides root and this run's user can change what a refusal names.
std::string who_can_change(const save_result& result) {
  if (result.owner != 0 && result.owner != geteuid()) return strprintf("uid %u", result.owner);
  if (result.mode & S_IWOTH) return "anyone";
  return strprintf("the group %u", result.group);
}

// What is wrong with a report path or file that the walk or the file's
// owners refuse, said of it ("leads through ..."); empty for the refusals of
// what a save may replace.
std::string path_refusal_words(const save_result& result) {
  switch (result.why) {
    case save_result::refusal::shared_directory:
      return "leads through the directory " + escaped(result.file) + ", which " +
             who_can_change(result) + " can change";
    case save_result::refusal::foreign_link:
      return strprintf(
          "leads through the link %s, which uid %u owns in a sticky directory that "
          "others can write",
          escaped(result.file).c_str(), result.owner);
    case save_result::refusal::foreign_owner:
      return strprintf("is owned by uid %u, neither root nor the user running vexor", result.owner);
    case save_result::refusal::writable_by_others:
      return strprintf("can be written by %s (mode %04o)",
                       result.mode & S_IWOTH ? "anyone" : "its group", result.mode);
    case save_result::refusal::replaced: return "was replaced while vexor opened it";
    default: return std::string();
  }
}

// Why a report was refused, as the log and the reason line say it.
std::string refusal_text(const save_result& result,
                         const std::vector<std::pair<std::string, std::string>>& files) {
  switch (result.why) {
    case save_result::refusal::directory: return "it is a directory";
    case save_result::refusal::block_device: return "it is a block device";
    case save_result::refusal::socket: return "it is a socket";
    case save_result::refusal::guarded_file: return "it is " + escaped(files[result.rule].second);
    case save_result::refusal::guarded_directory:
      return "it lies in nic_fw/, beside the catalog, the images and the flash utility";
    default: break;
  }
  const std::string words = path_refusal_words(result);
  return words.empty() ? "it may not be written" : "it " + words;
}

// The words of the message for the step at which a save failed.
const char* step_words(save_result::step at) {
  switch (at) {
    case save_result::step::following: return "following";
    case save_result::step::opening: return "opening";
    case save_result::step::waiting: return "waiting for";
    case save_result::step::creating: return "creating";
    case save_result::step::moding: return "setting the mode of";
    case save_result::step::writing: return "writing";
    case save_result::step::syncing: return "syncing";
    case save_result::step::reading_back: return "reading back";
    case save_result::step::closing: return "closing";
    case save_result::step::renaming: return "renaming";
    case save_result::step::done:
    case save_result::step::refused: break;
  }
  return "saving";
}

// How a failed step of a save or an open reads in a message: "writing
// r.xml: No space left on device". A FIFO that found no process at its
// other end (other_end: "reader" or "writer") says so.
std::string failure_words(const save_result& result, const char* other_end) {
  const std::string subject =
      escaped(result.file.empty() ? strprintf("descriptor %d", result.fd) : result.file);
  if (result.at == save_result::step::waiting && result.err == ETIMEDOUT) {
    return strprintf("the FIFO %s found no %s within %lld seconds", subject.c_str(), other_end,
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::seconds>(kOtherEndWait).count()));
  }
  return strprintf("%s %s: %s", step_words(result.at), subject.c_str(), std::strerror(result.err));
}

int32_t save_failed(const std::string& path, const std::string& what) {
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("xml_discovery_report: could not save %s: %s\n",
                               escaped(path).c_str(), what.c_str()));
  note_reason(strprintf("the report %s could not be saved: %s (see %s)", escaped(path).c_str(),
                        what.c_str(), EVENT_LOG));
  return 1;
}

}  // namespace

int32_t save_discovery_report(_xmlDoc* doc, const std::string& path, size_t devices) {
  // The same bytes xmlSaveFileEnc(path, doc, "UTF-8") writes, held in memory
  // and checked before anything is written anywhere.
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &raw, &size, "UTF-8", 0);
  XmlString dumped(raw);
  if (!dumped || size < 0) {
    return save_failed(path, std::string("serialising the document: ") + std::strerror(ENOMEM));
  }
  const std::string bytes(reinterpret_cast<const char*>(dumped.get()), static_cast<size_t>(size));
  dumped.reset();
  if (!report_is_complete(bytes, devices)) {
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("xml_discovery_report: the report for %s came out incomplete (%zu devices "
                  "written); it is not saved\n",
                  escaped(path).c_str(), devices));
    return 1;
  }

  const std::vector<std::pair<std::string, std::string>> files = files_of_vexor();
  const save_result saved = save_text_at(g_report_base_dir, path, bytes, report_save_rules(files));
  if (saved.at == save_result::step::refused) {
    const std::string why = refusal_text(saved, files);
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("xml_discovery_report: not saving the report as %s: %s\n",
                                 escaped(path).c_str(), why.c_str()));
    note_reason(
        strprintf("the report was not saved as %s: %s", escaped(path).c_str(), why.c_str()));
    return 1;
  }
  if (saved.saved()) return 0;
  return save_failed(path, failure_words(saved, "reader"));
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
                               escaped(path).c_str(), why.c_str()));
  note_reason(strprintf("the report %s %s; it is not read", escaped(path).c_str(), why.c_str()));
}

// Logs that the report at path could not be opened or read, with why (the
// step and the system's reason), and makes that the run's reason. Returns 2.
int32_t report_not_opened(const std::string& path, const std::string& why) {
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("read_discovery_report: cannot read %s: %s\n", escaped(path).c_str(),
                               why.c_str()));
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("read_discovery_report: Failed to open %s\n",
                               escaped(path).c_str()));
  note_reason(strprintf("the report %s could not be opened: %s (see %s)", escaped(path).c_str(),
                        why.c_str(), EVENT_LOG));
  return 2;
}

// Opens the report at path for reading: a file that another user can
// change, or that lies where another user can steer the path, is refused.
// Returns 0, or 2 after logging.
int32_t open_report(const std::string& path, unique_fd* in) {
  const save_result opened = open_to_read_at(g_report_base_dir, path, kOtherEndWait, in);
  if (opened.at == save_result::step::refused) {
    report_not_read(path, path_refusal_words(opened));
    return 2;
  }
  if (opened.saved()) return 0;
  // A path that leads nowhere is the common case: the log keeps its one line.
  if (opened.at == save_result::step::following || opened.at == save_result::step::opening) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: Failed to open %s\n",
                                 escaped(path).c_str()));
    note_reason(strprintf("the report %s could not be opened: %s (see %s)", escaped(path).c_str(),
                          std::strerror(opened.err), EVENT_LOG));
    return 2;
  }
  return report_not_opened(path, failure_words(opened, "writer"));
}

// Reads the whole report at path into *text, once: both passes parse these
// bytes, so a report on a pipe (/dev/stdin) or one that changes meanwhile is
// the same document in both. Returns 0, or 2 after logging.
int32_t read_report_text(const std::string& path, std::string* text) {
  unique_fd in;
  if (int32_t rc = open_report(path, &in)) return rc;
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
    if (n < 0) return report_not_opened(path, std::strerror(errno));
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
    note_reason(
        strprintf("the report %s could not be parsed (see %s)", escaped(path).c_str(), EVENT_LOG));
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: Failed to parse %s\n",
                                 escaped(path).c_str()));
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

adapter_outcome& outcome_at(int idx) { return g_adapter_outcomes[static_cast<size_t>(idx)]; }

// Records that device idx was not flashed (or, asking for nothing, could not
// be looked at) as kind; why is said in the words of the reason line.
void device_failed(int idx, outcome_kind kind, std::string why) {
  adapter_outcome& o = outcome_at(idx);
  o.kind = kind;
  o.detail = std::move(why);
}

// The catalog entries for the ids and PSID of device idx, in catalog order;
// none is logged for a device that asks for a flash.
std::vector<XMLFW_INFO> catalog_entries(int idx, nic_info& nic) {
  const std::string& psid = firmware_id[static_cast<size_t>(idx)];
  std::vector<XMLFW_INFO> matches(MAX_FW_ENTRIES);
  nic.fw_count = 0;
  read_NIC_FW_xml_file(prepare_catalog_lookup(nic, psid), matches);
  matches.resize(static_cast<size_t>(std::max(nic.fw_count, 0)));
  if (!matches.empty()) return matches;
  const std::string why =
      strprintf("no entry in %s for its ids and PSID %s", g_XMLFwFile, escaped(psid).c_str());
  device_failed(idx, outcome_kind::no_catalog_entry, why);
  if (nic.flags & NIC_SELECTED) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: device %d (%s) has %s; not flashed\n",
                                 idx + 1, nic.pbus_info.value_or("").c_str(), why.c_str()));
  }
  return matches;
}

// Looks the device of position idx up in the catalog and keeps in its record
// the one entry it gets; *matches receives every entry for its ids and PSID.
// False when the device counts as failed: no entry for its ids and PSID, or
// none of the version it asks for (logged).
bool look_up_device(int idx, nic_info& nic, const opt_text& version,
                    std::vector<XMLFW_INFO>* matches) {
  *matches = catalog_entries(idx, nic);
  if (matches->empty()) return false;
  const std::optional<size_t> entry = entry_for_device(nic, *matches, version);
  if (!entry) {
    device_failed(idx, outcome_kind::no_such_version,
                  "asks for version " + escaped(*version) + ", which the catalog does not hold");
    // The record keeps no entry: its count says so too.
    nic.fw_count = 0;
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("read_discovery_report: device %d (%s) asks for version %s, which the "
                  "catalog does not hold for it; not flashed\n",
                  idx + 1, nic.pbus_info.value_or("").c_str(), escaped(*version).c_str()));
    return false;
  }
  nic.fw_count = 1;
  take_catalog_matches(nic, {(*matches)[*entry]});
  return true;
}

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Logs and records that device idx, which asks for a flash, is not flashed:
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
                       escaped(*image).c_str(), idx + 1, address.c_str()));
  device_failed(idx, outcome_kind::no_image,
                none ? "no image file named in the catalog"
                     : "a catalog image file name that is not a plain file name");
}

// The version of image among matches: wanted when an entry of image has it,
// else that of image's first entry; nullopt when no entry names image.
std::optional<fw_version> version_of_image(const std::vector<XMLFW_INFO>& matches,
                                           const std::string& image, const fw_version& wanted) {
  std::optional<fw_version> first;
  for (const XMLFW_INFO& m : matches) {
    if (m.pxmlFwImage != image) continue;
    const fw_version v = parse_fw_version(m.pxmlRom ? m.pxmlRom->c_str() : nullptr);
    if (v == wanted) return v;
    if (!first) first = v;
  }
  return first;
}

// Resolves the family image of device idx through getqrvninfo. getqrvninfo
// names the image it finds for the board, whatever version the report asks
// for: a device that asks for a flash gets it only when the catalog gives
// it the version of the entry the device got. False when the device is not
// to be burned (logged); *stop is then set when no image was found at all,
// which ends the run.
bool resolve_family_image(int idx, const std::string& address,
                          const std::vector<XMLFW_INFO>& matches, bool* stop) {
  nic_info& nic = g_ninfo[static_cast<size_t>(idx)];
  const std::string family = nic.pxmlFwImage[0].value_or("");
  if (modify_imagename(static_cast<uint32_t>(idx), nullptr) != 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       "read_discovery_report: Error in finding the image for Belmora/Tarvik2\n");
    device_failed(idx, outcome_kind::family_not_found,
                  std::string(IMAGE_INFO_PROGRAM) + " found no image for its family image " +
                      escaped(family));
    *stop = true;
    return false;
  }
  if (!(nic.flags & NIC_SELECTED)) return true;
  const std::string image = nic.pxmlFwImage[0].value_or("");
  const fw_version wanted = catalog_version(nic, 0);
  const std::optional<fw_version> got = version_of_image(matches, image, wanted);
  if (got == wanted) return true;
  const std::string resolved =
      escaped(image) + ", " +
      (got ? "version " + version_text(*got) : "whose version the catalog does not give for it");
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("read_discovery_report: device %d (%s) asks for version %s, but "
                               "%s resolved its family image %s to %s; not flashed\n",
                               idx + 1, address.c_str(), version_text(wanted).c_str(),
                               IMAGE_INFO_PROGRAM, escaped(family).c_str(), resolved.c_str()));
  device_failed(idx, outcome_kind::family_other_version,
                strprintf("asks for version %s, but %s resolved its family image to %s",
                          version_text(wanted).c_str(), IMAGE_INFO_PROGRAM, resolved.c_str()));
  return false;
}

// The devices met so far by address (lower case): the first one's position,
// and whether one of them asked for a flash.
struct address_seen {
  int first;
  bool asked;
};

// Records the address of device idx. False, after logging, when an earlier
// device had it (letter case aside): one adapter is flashed at most once a
// run. Where an earlier device asked for a flash, its outcome stands for
// the adapter; where none did, a repeat that asks for one fails.
bool first_at_address(int idx, const std::string& address,
                      std::map<std::string, address_seen>& seen) {
  adapter_outcome& o = outcome_at(idx);
  const auto [at, fresh] = seen.emplace(lower_case(address), address_seen{idx, o.asked});
  if (fresh) return true;
  log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                     strprintf("read_discovery_report: device %d repeats the address %s of "
                               "an earlier device; not flashed\n",
                               idx + 1, address.c_str()));
  const bool asked_before = at->second.asked;
  at->second.asked = at->second.asked || o.asked;
  if (asked_before) o.asked = false;
  device_failed(idx, outcome_kind::repeated_address,
                strprintf("repeats the address of device %d%s", at->second.first + 1,
                          asked_before ? "" : ", which asked for no flash"));
  return false;
}

// Applies device idx of the report: looks it up in the catalog and burns
// it when its action asks for that, recording its outcome. False when the
// run must end at once (a family image without an image for the board).
bool apply_device(int idx, const report_pass_state& state,
                  std::map<std::string, address_seen>& seen) {
  const size_t pos = static_cast<size_t>(idx);
  // Positions past the records are devices written as empty elements at the
  // end of the report, which nothing was read into.
  const std::string address = pos < g_ninfo.size() ? g_ninfo[pos].pbus_info.value_or("") : "";
  adapter_outcome& o = outcome_at(idx);
  o.kind = outcome_kind::left_alone;
  o.asked = pos < g_ninfo.size() && (g_ninfo[pos].flags & NIC_SELECTED);
  // The address comes from outside and goes into a shell line (getqrvninfo)
  // and the flash utility's arguments: only the bus-address form is used.
  o.address = is_bus_address(address) ? address : strprintf("device %d", idx + 1);
  if (!is_bus_address(address)) {
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("read_discovery_report: device %d has an invalid PCI address \"%s\"; "
                  "not flashed\n",
                  idx + 1, escaped(address).c_str()));
    // No words of its own: a report can hold a hundred thousand of them.
    device_failed(idx, outcome_kind::invalid_address, {});
    return true;
  }
  if (!first_at_address(idx, address, seen)) return true;
  nic_info& nic = g_ninfo[pos];
  std::vector<XMLFW_INFO> matches;
  if (!look_up_device(idx, nic, pos < state.versions.size() ? state.versions[pos] : opt_text{},
                      &matches)) {
    return true;
  }
  // A catalog entry without "fwFile" gives no image path, and one whose name
  // is not a plain file name ("../../etc/passwd") would hand the flash
  // utility a file outside nic_fw/: a device that asks for a flash fails
  // with a message instead.
  const opt_text& image = nic.pxmlFwImage[0];
  if (!image || !is_plain_file_name(*image)) {
    if (o.asked) refuse_device_image(idx, image, address);
    return true;
  }
  if (contains(*image, FAMILY_IMAGE_MARKER)) {
    bool stop = false;
    if (!resolve_family_image(idx, address, matches, &stop)) return !stop;
  }
  // The burn records how it ended in the device's outcome.
  if (o.asked) do_update_firmware(static_cast<uint32_t>(idx));
  return true;
}

// Why the apply mode failed: the devices that asked for a flash and were
// not flashed; when none did, the report held no device or none of its
// devices could be used. ended is the device at which the run was ended
// (-1: it was not).
std::string apply_reason(const std::string& path, int deviceCnt, int ended) {
  std::string why = outcome_reason(g_adapter_outcomes);
  if (why.empty() && ended >= 0) {
    why = escaped(outcome_at(ended).address) + ": " + outcome_at(ended).detail;
  } else if (why.empty() && deviceCnt == 0) {
    why = strprintf("the report %s holds no device", escaped(path).c_str());
  } else if (why.empty()) {
    std::vector<const adapter_outcome*> all;
    for (const adapter_outcome& o : g_adapter_outcomes) all.push_back(&o);
    why = strprintf("no device of the report %s could be used (%s)", escaped(path).c_str(),
                    failure_list(all).c_str());
  }
  if (ended >= 0) {
    why += strprintf("; the run was ended there, at device %d of %d", ended + 1, deviceCnt);
  }
  return why;
}

// The exit status once the devices were applied, up to the one the run was
// ended at (-1: all of them): 2 when a device that asked for a flash was not
// flashed, when every device counts as failed (no device at all included),
// or when the run was ended; else 0.
int32_t apply_result(const std::string& path, int deviceCnt, int ended) {
  bool asked_failed = false;
  int counted = 0;
  for (const adapter_outcome& o : g_adapter_outcomes) {
    asked_failed = asked_failed || flash_failed(o);
    counted += o.kind != outcome_kind::flashed && o.kind != outcome_kind::left_alone;
  }
  if (ended < 0 && !asked_failed && counted < deviceCnt) return 0;
  if (ended < 0 && counted >= deviceCnt) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       "read_discovery_report: Error at read_NIC_FW_xml_file\n");
  }
  const std::string why = apply_reason(path, deviceCnt, ended);
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, "read_discovery_report: " + why + "\n");
  note_reason(strprintf("%s (see %s)", why.c_str(), EVENT_LOG));
  return 2;
}

}  // namespace

int32_t read_discovery_report() {
  silent = 2;
  open_event_log(kUnit, __LINE__);
  take_run_lock(true);
  check_run_files();
  const std::string path = g_XMLDiscoveryReport;
  std::string text;
  if (int32_t rc = read_report_text(path, &text)) return rc;

  int deviceCnt = 0;
  size_t device_ends = 0;
  if (int32_t rc = read_report_pass(path, text, [&](xmlTextReaderPtr reader) {
        read_num_device_elements(reader, &deviceCnt);
        device_ends += xmlTextReaderNodeType(reader) == XML_READER_TYPE_END_ELEMENT &&
                       xmlStrcmp(xmlTextReaderConstName(reader), xml_chars("device")) == 0;
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
  g_adapter_outcomes.assign(static_cast<size_t>(deviceCnt), adapter_outcome{});
  std::map<std::string, address_seen> seen;
  for (idx = 0; idx < deviceCnt; ++idx) {
    nic_count = idx;
    // After a burn left running no device is looked at further: resolving
    // a family image would query the adapters during that burn.
    if (!apply_device(idx, state, seen) || (g_iFlag & STATUS_LEFT_BURNING)) {
      return apply_result(path, deviceCnt, idx);
    }
  }
  return apply_result(path, deviceCnt, -1);
}

void read_num_device_elements(_xmlTextReader* reader, int* deviceCnt) {
  if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) return;
  if (xmlStrcmp(xmlTextReaderConstName(reader), xml_chars("device")) == 0) ++*deviceCnt;
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
    bus_info =
        strprintf("%s:%s.%s", nic->busnumber.value_or("").c_str(),
                  nic->devicenumber.value_or("").c_str(), nic->funcnumber.value_or("").c_str());
    nic->pbus_info = bus_info;
  }
}

}  // namespace

void process_node(_xmlTextReader* reader, std::vector<nic_info>& pNinfo, int* Idx,
                  report_pass_state& state) {
  XmlString name_x(xmlTextReaderName(reader));
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
    XmlString value(xmlTextReaderValue(reader));
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
  int32_t rc = get_qrvn_info(
      strprintf("%s imgfile %s > %s", IMAGE_INFO_PROGRAM, address.c_str(), data_file.c_str()), line,
      data_file, ' ');
  if (rc != 0) return rc;
  const image_answer answer = parse_image_answer(line);
  if (!answer.found) return 1;
  // The answer names a file under ./nic_fw/ for the flash utility: anything
  // that could lead elsewhere counts as no image found.
  if (!is_plain_file_name(answer.image)) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("modify_imagename: getqrvninfo named no plain image file for %s: "
                                 "\"%s\"\n",
                                 address.c_str(), escaped(answer.image).c_str()));
    return 1;
  }
  if (servername != nullptr) *servername = answer.host;
  if (nic.pxmlFwImage.empty()) nic.pxmlFwImage.resize(1);
  nic.pxmlFwImage[0] = answer.image;
  return 0;
}

image_answer parse_image_answer(const std::string& word) {
  image_answer answer;
  // The host name comes first and may hold '#' or begin with "0" (nothing
  // stops a host from being called that); the image file is what follows
  // the last '#'. Without any '#' ("0", "0 no image") no image was found.
  const size_t hash = word.rfind('#');
  if (hash == std::string::npos) return answer;
  answer.found = true;
  answer.host = word.substr(0, hash);
  answer.image = trim_right(word.substr(hash + 1));
  return answer;
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
