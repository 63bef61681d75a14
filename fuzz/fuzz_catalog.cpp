// Fuzzes the firmware catalog reader with arbitrary catalog files.
//
// The reader opens the fixed relative path nic_fw/NICFWData.xml, so the
// harness writes each input there in a private directory. Every
// input is read twice, with room for one match (the apply mode's lookup) and
// with room for MAX_FW_ENTRIES (the inventory build), and the two results
// must agree with each other and with the matching rule. A catalog that
// defines entities ends the process, as an unreadable one does; such inputs
// are passed over.
#include <libxml/xmlreader.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/xml_checks.h"
#include "fuzz/fuzz_support.h"
#include "main/vexor.h"

namespace {

// The adapter every input is searched for.
constexpr const char* kSubVen = "15B3";
constexpr const char* kSubDev = "0050";
constexpr const char* kAdapterId = "15B3-1003-15B3-0050-QRV0000000001";

bool empty_entry(const XMLFW_INFO& e) {
  return !e.pxmlName && !e.pxmlVenId && !e.pxmlDevId && !e.pxmlSubVenId && !e.pxmlSubDevId &&
         !e.pxmlRom && !e.pxmlFwImage && !e.pxmlPSID;
}

bool same_entry(const XMLFW_INFO& a, const XMLFW_INFO& b) {
  return a.pxmlName == b.pxmlName && a.pxmlVenId == b.pxmlVenId && a.pxmlDevId == b.pxmlDevId &&
         a.pxmlSubVenId == b.pxmlSubVenId && a.pxmlSubDevId == b.pxmlSubDevId &&
         a.pxmlRom == b.pxmlRom && a.pxmlFwImage == b.pxmlFwImage && a.pxmlPSID == b.pxmlPSID;
}

struct Lookup {
  int rc = 0;
  int count = 0;
  std::vector<XMLFW_INFO> entries;
};

// One lookup with fresh globals, as a run would start it.
Lookup lookup(size_t capacity) {
  reset_run_state();
  // Warnings about dropped matches go through the event log.
  ppyxflash_fout = std::fopen("/dev/null", "a");
  if (ppyxflash_fout == nullptr) std::abort();
  g_ninfo.assign(1, nic_info{});
  sub_ven_id_new = kSubVen;
  sub_dev_id_new = kSubDev;
  fuzz::quiet_libxml();
  Lookup result;
  result.entries.assign(capacity, XMLFW_INFO{});
  result.rc = read_NIC_FW_xml_file(kAdapterId, result.entries);
  result.count = g_ninfo[0].fw_count;
  return result;
}

void check_lookup(const Lookup& l) {
  FUZZ_CHECK(l.rc == (l.count != 0 ? 1 : 0));
  FUZZ_CHECK(l.count >= 0 && static_cast<size_t>(l.count) <= l.entries.size());
  for (size_t i = 0; i < l.entries.size(); ++i) {
    const XMLFW_INFO& e = l.entries[i];
    if (i >= static_cast<size_t>(l.count)) {
      FUZZ_CHECK(empty_entry(e));
      continue;
    }
    // A kept entry carries every identifier, and they spell the adapter.
    FUZZ_CHECK(e.pxmlVenId && e.pxmlDevId && e.pxmlSubVenId && e.pxmlSubDevId && e.pxmlPSID);
    FUZZ_CHECK(*e.pxmlSubVenId == kSubVen && *e.pxmlSubDevId == kSubDev);
    FUZZ_CHECK(strprintf("%4s-%4s-%4s-%4s-%s", e.pxmlVenId->c_str(), e.pxmlDevId->c_str(),
                         e.pxmlSubVenId->c_str(), e.pxmlSubDevId->c_str(), e.pxmlPSID->c_str()) ==
               kAdapterId);
  }
}

// True when the input's document type defines an entity: the reader ends
// the process for it. The document type stands before the first element.
bool defines_entities(const uint8_t* data, size_t size) {
  xml_reader_ptr reader(xmlReaderForMemory(reinterpret_cast<const char*>(data),
                                           static_cast<int>(size), nullptr, nullptr, 0));
  while (reader && xmlTextReaderRead(reader.get()) == 1) {
    if (declares_entities(reader.get())) return true;
    if (xmlTextReaderNodeType(reader.get()) == XML_READER_TYPE_ELEMENT) return false;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::make_private_dir("vexor-fuzz-catalog");
  fuzz::InPrivateDir inside;
  std::filesystem::create_directory("nic_fw");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InPrivateDir inside;
  fuzz::quiet_libxml();
  if (defines_entities(data, size)) return 0;
  fuzz::write_file(g_XMLFwFile, data, size);
  const Lookup one = lookup(1);
  const Lookup all = lookup(MAX_FW_ENTRIES);
  check_lookup(one);
  check_lookup(all);
  // The entries kept are the first ones in file order, whatever the room.
  FUZZ_CHECK(one.count == (all.count > 0 ? 1 : 0));
  if (one.count == 1) FUZZ_CHECK(same_entry(one.entries[0], all.entries[0]));
  reset_run_state();
  return 0;
}
