// Discovery report: the writer (-d) and the apply mode (-u).
#include <fcntl.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlsave.h>
#include <libxml/xmlwriter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/text_checks.h"
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

// A text from outside shown in a log line: control characters could forge
// further lines, and a hostile value could be megabytes long.
std::string printable(const std::string& text) {
  constexpr size_t kMax = 64;
  std::string out;
  for (char c : text.substr(0, kMax)) out += is_control(c) ? '?' : c;
  if (text.size() > kMax) out += "...";
  return out;
}

// ---------------------------------------------------------------------------
// Writer helpers
// ---------------------------------------------------------------------------

// Characters below 0x20 other than tab, line feed and carriage return are
// not allowed in XML 1.0; written raw they would end the document early
// (the writer's document is parsed from its own output) and a truncated
// report would be saved. They are shown as '?'.
std::string xml_safe(const std::string& value) {
  std::string out = value;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\t' && c != '\n' && c != '\r') c = '?';
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

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Permissions a newly created report gets, as if it were opened for writing
// the plain way; the temporary file starts out private.
mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// ---------------------------------------------------------------------------
// Reader helpers
// ---------------------------------------------------------------------------

// One pass over the report; visit sees every node. Returns 0, or 2 after
// logging that the report could not be opened or parsed.
template <typename Visit>
int32_t read_report_pass(const std::string& path, Visit visit) {
  xml_reader_ptr reader(xmlNewTextReaderFilename(path.c_str()));
  if (!reader) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: Failed to open %s\n", path.c_str()));
    return 2;
  }
  int ret;
  while ((ret = xmlTextReaderRead(reader.get())) == 1) visit(reader.get());
  if (ret != 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("read_discovery_report: Failed to parse %s\n", path.c_str()));
    return 2;
  }
  return 0;
}

// Applies one attribute value of the element `element` to the record of
// position idx (nic is null past the last record).
void apply_report_value(const std::string& element, const std::string& value, nic_info* nic,
                        int idx, std::string& image_type) {
  // The image type is run state, not part of a record.
  if (element == "type") {
    image_type = value;
    return;
  }
  if (nic == nullptr) return;
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
    read_FW_cur_version(nic, image_type, value);
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

std::string trim_right(std::string text) {
  size_t end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

// Looks a device of the report up in the catalog and applies it. Returns
// true when the device counts as failed; sets *stop when the run must end
// with 2 at once.
bool apply_device(int idx, bool* stop) {
  nic_info& nic = g_ninfo[static_cast<size_t>(idx)];
  const std::string address = nic.pbus_info.value_or("");
  // The address comes from outside and goes into a shell line (getqrvninfo)
  // and the flash utility's arguments: only the bus-address form is used.
  if (!is_bus_address(address)) {
    log_quorvane_event(
        ppyxflash_fout, ERROR_TAG,
        strprintf("read_discovery_report: device %d has an invalid PCI address \"%s\"; "
                  "not flashed\n",
                  idx + 1, printable(address).c_str()));
    return true;
  }

  const std::string pciIdString =
      prepare_catalog_lookup(nic, firmware_id[static_cast<size_t>(idx)]);
  // Only the first matching entry is used.
  std::vector<XMLFW_INFO> match(1);
  nic.fw_count = 0;
  if (read_NIC_FW_xml_file(pciIdString, match) == 0) return true;
  take_catalog_matches(nic, match);

  // A catalog entry without "fwFile" gives no image path: a device that asks
  // for a flash fails with a message instead of burning "./nic_fw/".
  if (!nic.pxmlFwImage[0] || nic.pxmlFwImage[0]->empty()) {
    if (nic.flags & NIC_SELECTED) {
      log_quorvane_event(
          ppyxflash_fout, ERROR_TAG,
          strprintf("read_discovery_report: the catalog names no image file for device %d "
                    "(%s); not flashed\n",
                    idx + 1, address.c_str()));
      return true;
    }
    return (g_iFlag & STATUS_FAILED) != 0;
  }

  if (contains(*nic.pxmlFwImage[0], "Belmora") &&
      modify_imagename(static_cast<uint32_t>(idx), nullptr) != 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       "read_discovery_report: Error in finding the image for Belmora/Tarvik2\n");
    *stop = true;
    return true;
  }

  do_update_firmware(static_cast<uint32_t>(idx));
  // The failure bit is never cleared: after one failed flash every later
  // device counts as failed too.
  return (g_iFlag & STATUS_FAILED) != 0;
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
  return xml_discovery_report() == 0 ? 0 : 2;
}

void write_XML_start_elements(xml_writer_ptr& writer, xml_doc_ptr& doc) {
  static const char* const elements[5] = {"zk_rom_discovery", "type", "alt_name", "version",
                                          "takes_effect"};
  static const char* const attribute[5] = {
      "2.0.0.0", "QUORVANE_NIC",
      "Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux", "1.0.0", "reboot"};

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

  xmlTextWriterStartElement(w, X(elements[0]));
  xmlTextWriterWriteAttribute(w, X("version"), X(attribute[0]));
  for (int i = 1; i < 5; ++i) write_leaf(w, elements[i], attribute[i]);
  xmlTextWriterStartElement(w, X("devices"));
}

void write_XML_device_elements(_xmlTextWriter* writer, uint32_t IdxNic) {
  if (IdxNic >= g_ninfo.size()) return;
  const nic_info& nic = g_ninfo[IdxNic];
  const AddressParts parts = split_address(nic.pbus_info.value_or(""));
  const std::string product_id =
      nic.fw_count > 0 ? catalog_text(nic.pxmlName, 0).value_or("") : std::string();

  xmlTextWriterStartElement(writer, X("device"));
  write_leaf(writer, "device_id", interface_name(nic));
  write_leaf(writer, "venid", strprintf("%04X", nic.ven_id));
  write_leaf(writer, "devid", strprintf("%04X", nic.dev_id));
  write_leaf(writer, "subvenid", strprintf("%04X", nic.sub_ven_id));
  write_leaf(writer, "subdevid", strprintf("%04X", nic.sub_dev_id));
  write_leaf(writer, "macaddress", nic.pcurrent_mac.value_or(""));
  write_leaf(writer, "product_id", product_id);
  write_leaf(writer, "busnumber", parts.busnumber);
  write_leaf(writer, "devicenumber", parts.devicenumber);
  write_leaf(writer, "funcnumber", parts.funcnumber);
  write_leaf(writer, "slotnumber", nic.pPort.value_or(""));
  write_leaf(writer, "nictype", "QUORVANE");
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

  std::string value;
  xmlTextWriterStartElement(writer, X("fw_item"));
  write_leaf(writer, "type", fwtype);
  write_leaf(writer, "firmware_id", nic.psid.value_or(""));
  build_XML_FW_item_version(fwtype, value, IdxNic);
  write_leaf(writer, "version", value);
  build_XML_FW_item_active_version(fwtype, value, IdxNic);
  write_leaf(writer, "active_version", value);
  recommend_XML_FW_action(fwtype, value, IdxNic);
  write_leaf(writer, "action", value);
  write_leaf(writer, "duration", "210");
  write_leaf(writer, "message", "");
  write_leaf(writer, "shared", "no");
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

int32_t xml_discovery_report() {
  // Declared before the writer so that it is released after it: freeing the
  // writer finishes parsing into the document.
  xml_doc_ptr doc;
  xml_writer_ptr writer;
  write_XML_start_elements(writer, doc);
  if (writer) {
    for (size_t i = 0; i < inventory_size(); ++i) {
      if (g_ninfo[i].flags & NIC_USABLE) {
        write_XML_device_elements(writer.get(), static_cast<uint32_t>(i));
      }
    }
  }
  if (xmlTextWriterEndDocument(writer.get()) < 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, "Error at XmlTextWriterEndDocument\n");
    return 1;
  }
  writer.reset();
  return save_discovery_report(doc.get(), g_XMLDiscoveryReport);
}

int32_t save_discovery_report(_xmlDoc* doc, const std::string& path) {
  std::string temp = directory_of(path) + "/.vexor-report-XXXXXX";
  auto fail = [&](const char* step, const std::string& subject, int err) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("xml_discovery_report: could not save %s: %s %s: %s\n",
                                 path.c_str(), step, subject.c_str(), std::strerror(err)));
    return 1;
  };

  // The same bytes xmlSaveFileEnc(path, doc, "UTF-8") writes, held in memory
  // so that nothing touches the old report before they are all on disk.
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &raw, &size, "UTF-8", 0);
  xml_string bytes(raw);
  if (!bytes || size < 0) return fail("serialising", "the document", ENOMEM);

  unique_fd out = create_temp_file(&temp);
  if (!out) return fail("creating", temp, errno);
  // From here on a failure leaves no temporary file behind.
  temp_file_guard remove_temp(temp);

  if (fchmod(out.get(), new_file_mode()) != 0) return fail("setting the mode of", temp, errno);
  const char* p = reinterpret_cast<const char*>(bytes.get());
  size_t left = static_cast<size_t>(size);
  while (left > 0) {
    ssize_t n = write(out.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("writing", temp, n < 0 ? errno : ENOSPC);
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (fsync(out.get()) != 0) return fail("syncing", temp, errno);
  if (out.close() != 0) return fail("closing", temp, errno);
  if (rename(temp.c_str(), path.c_str()) != 0) return fail("renaming", temp, errno);
  remove_temp.keep();

  // Makes the rename itself durable; a failure here loses nothing that the
  // file system has not already accepted.
  unique_fd dir(open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
  return 0;
}

// ===========================================================================
// Reader and apply mode (-u)
// ===========================================================================

int32_t read_discovery_report() {
  silent = 2;
  open_event_log(kUnit, __LINE__);
  take_run_lock(true);
  const std::string path = g_XMLDiscoveryReport;

  int deviceCnt = 0;
  if (int32_t rc = read_report_pass(
          path, [&](xmlTextReaderPtr reader) { read_num_device_elements(reader, &deviceCnt); })) {
    return rc;
  }

  g_ninfo.assign(static_cast<size_t>(deviceCnt), nic_info{});
  firmware_id.assign(static_cast<size_t>(deviceCnt), std::string());
  int idx = 0;
  std::string image_type;
  if (int32_t rc = read_report_pass(path, [&](xmlTextReaderPtr reader) {
        process_node(reader, g_ninfo, &idx, image_type);
      })) {
    return rc;
  }

  read_discovery = 1;
  // Nothing in this mode chooses a catalog index per adapter, but the table
  // exists with one entry per record like after an inventory build, so no
  // reader of it can run past its end.
  fw_number.assign(static_cast<size_t>(deviceCnt), 0);
  int read_discovery_error = 0;
  for (idx = 0; idx < deviceCnt; ++idx) {
    nic_count = idx;
    bool stop = false;
    if (apply_device(idx, &stop)) ++read_discovery_error;
    if (stop) return 2;
  }
  if (read_discovery_error < deviceCnt) return 0;
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     "read_discovery_report: Error at read_NIC_FW_xml_file\n");
  return 2;
}

void read_num_device_elements(_xmlTextReader* reader, int* deviceCnt) {
  if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT) return;
  if (xmlStrcmp(xmlTextReaderConstName(reader), X("device")) == 0) ++*deviceCnt;
}

void process_node(_xmlTextReader* reader, std::vector<nic_info>& pNinfo, int* Idx,
                  std::string& image_type) {
  xml_string name_x(xmlTextReaderName(reader));
  const std::string name = name_x ? xml_text(name_x.get()) : "--";
  const int type = xmlTextReaderNodeType(reader);
  if (type == XML_READER_TYPE_END_ELEMENT && name == "device") {
    ++*Idx;
    return;
  }
  if (type != XML_READER_TYPE_ELEMENT) return;
  // An empty device element has no end, so the device positions can stay
  // behind the records but never run ahead of them; still, elements after
  // the last device must not reach past the end.
  nic_info* nic = (*Idx >= 0 && static_cast<size_t>(*Idx) < pNinfo.size() &&
                   static_cast<size_t>(*Idx) < firmware_id.size())
                      ? &pNinfo[static_cast<size_t>(*Idx)]
                      : nullptr;
  while (xmlTextReaderMoveToNextAttribute(reader) == 1) {
    xml_string value(xmlTextReaderValue(reader));
    apply_report_value(name, xml_text(value.get()), nic, *Idx, image_type);
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
                                 address.c_str(), printable(image).c_str()));
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
