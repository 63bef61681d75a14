// getqrvninfo: names the firmware image in ./nic_fw/ that is made for one
// adapter, for the apply mode of vexor, which runs it from the component
// directory as "./getqrvninfo imgfile <bus address>".
//
// It asks the flash utility for the adapter's PSID and picks, among the
// catalog entries for that PSID whose image file lies in ./nic_fw/, the one
// with the highest version (numeric comparison of major, minor, release).
// Family placeholder images (names holding FAMILY_IMAGE_MARKER) are what it
// resolves, so they are never an answer.
//
// Answer on standard output, exit status 0:
//   "<host name>#<image file>"        an image was found
//   "0 <reason>"                      no image for this adapter
// Exit status 2 with the usage on standard error for a bad command line; 1
// when the flash utility cannot be run or the catalog cannot be read.
#include <libxml/xmlreader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/common_structs.h"
#include "common/component_paths.h"
#include "common/flash_utility.h"
#include "common/fw_version.h"
#include "common/owners.h"
#include "common/text_checks.h"
#include "common/xml_checks.h"

namespace {

bool image_present(const std::string& name) {
  struct stat st;
  return stat((std::string(FIRMWARE_DIR) + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Asks the flash utility, run directly without a shell, for the adapter's
// PSID, read from its query output (standard error merged) as vexor reads
// it, within the query limit vexor uses. False, after a message, when the
// query could not be run or did not end in time; *psid stays absent when no
// line gave a value.
bool query_psid(const std::string& address, opt_text* psid) {
  // No Secure Boot gate runs here: the shipped copy when it can be run.
  const flash_utility utility = flash_utility_in_use(utility_choice::first_runnable);
  if (!can_run(utility)) {
    std::fprintf(stderr, "getqrvninfo: neither %s nor %s can be run\n", SHIPPED_FLASH_UTILITY,
                 SYSTEM_FLASH_UTILITY);
    return false;
  }
  wait_limits limits;
  const std::string refused = wait_limits_from_environment(&limits);
  if (!refused.empty()) {
    std::fprintf(stderr, "getqrvninfo: %s\n", refused.c_str());
    return false;
  }
  opt_text value;
  switch (run_query(query_command(utility, address), "PSID", &value, limits.query_seconds)) {
    case QUERY_NOT_RUN:
      std::fprintf(stderr, "getqrvninfo: %s: %s\n", utility.program, std::strerror(errno));
      return false;
    case QUERY_TIMED_OUT:
      std::fprintf(stderr, "getqrvninfo: the query of %s did not end within %s; it was stopped\n",
                   address.c_str(), duration_text(limits.query_seconds).c_str());
      return false;
    case QUERY_VALUE: *psid = value; return true;
    default: return true;
  }
}

struct Choice {
  std::string image;
  fw_version version;
};

// Reads the catalog; every element with attributes is an entry. Returns
// false when the catalog cannot be opened, is not well-formed or declares
// entities.
bool best_image(const std::string& psid, std::optional<Choice>* best) {
  xml_reader_ptr reader(xmlReaderForFile(CATALOG_FILE, nullptr, 0));
  if (!reader) {
    std::fprintf(stderr, "getqrvninfo: cannot open %s\n", CATALOG_FILE);
    return false;
  }
  int ret;
  while ((ret = xmlTextReaderRead(reader.get())) == 1) {
    if (declares_entities(reader.get())) {
      std::fprintf(stderr, "getqrvninfo: %s declares entities; it is not read\n", CATALOG_FILE);
      return false;
    }
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    std::optional<std::string> entry_psid, rom, file;
    while (xmlTextReaderMoveToNextAttribute(reader.get()) == 1) {
      const char* name = reinterpret_cast<const char*>(xmlTextReaderConstName(reader.get()));
      const char* value = reinterpret_cast<const char*>(xmlTextReaderConstValue(reader.get()));
      if (name == nullptr || value == nullptr) continue;
      if (std::strcmp(name, "PSID") == 0) entry_psid = value;
      if (std::strcmp(name, "rom") == 0) rom = value;
      if (std::strcmp(name, "fwFile") == 0) file = value;
    }
    if (entry_psid != psid || !file || file->find(FAMILY_IMAGE_MARKER) != std::string::npos ||
        !is_plain_file_name(*file) || !image_present(*file)) {
      continue;
    }
    const fw_version version = parse_fw_version(rom ? rom->c_str() : nullptr);
    // Among equal versions the first entry of the catalog stays.
    if (!*best || version > (*best)->version) *best = Choice{*file, version};
  }
  if (ret != 0) {
    std::fprintf(stderr, "getqrvninfo: cannot parse %s\n", CATALOG_FILE);
    return false;
  }
  return true;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "imgfile") != 0 || !is_bus_address(argv[2])) {
    std::fprintf(stderr,
                 "usage: getqrvninfo imgfile <bus address>\n"
                 "       the bus address in the form dddd:bb:dd.f, such as 0000:81:00.0\n");
    return 2;
  }
  const std::string address = argv[2];

  opt_text psid;
  if (!query_psid(address, &psid)) return 1;
  if (!psid) {
    std::printf("0 no PSID for %s\n", address.c_str());
    return 0;
  }

  std::optional<Choice> best;
  if (!best_image(*psid, &best)) return 1;
  if (!best) {
    std::printf("0 no image for PSID %s\n", psid->c_str());
    return 0;
  }
  std::printf("%s#%s\n", host_name().c_str(), best->image.c_str());
  return 0;
}
