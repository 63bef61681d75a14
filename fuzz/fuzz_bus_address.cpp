// Fuzzes the two readers of bus-address texts: the PCI filter parser of the
// enumeration and the report's is_bus_address, which guards every address
// that reaches a shell line or the flash utility's arguments.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" {
#include <pci/pci.h>
}

#include "fuzz/fuzz_support.h"
#include "common/text_checks.h"
#include "main/vexor.h"

namespace {

// A field is either untouched (-1) or stored within its range, also when a
// later field made the parse fail.
bool field_ok(int value, int max) { return value == -1 || (value >= 0 && value <= max); }

pci_access* g_access = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_access = pci_alloc();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string text(raw);  // the parser sees it up to the first NUL

  pci_filter filter;
  pci_filter_init(g_access, &filter);
  const char* error = pci_filter_parse_pciid(&filter, text.c_str());
  FUZZ_CHECK(field_ok(filter.domain, 0xff));
  FUZZ_CHECK(field_ok(filter.bus, 0xff));
  FUZZ_CHECK(field_ok(filter.slot, 0x1f));
  FUZZ_CHECK(field_ok(filter.func, 7));

  if (!is_bus_address(raw)) return 0;
  // What the report accepts has exactly the bus-address shape and no
  // character a shell would read as syntax.
  FUZZ_CHECK(raw.size() == 12);
  for (char c : raw) {
    FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.');
  }
  // Every accepted address within the parser's ranges parses back to the
  // same numbers, printed the way the enumeration prints them.
  const long domain = std::stol(std::string(raw.substr(0, 4)), nullptr, 16);
  const long slot = std::stol(std::string(raw.substr(8, 2)), nullptr, 16);
  if (domain > 0xff || slot > 0x1f) {
    FUZZ_CHECK(error != nullptr);
    return 0;
  }
  FUZZ_CHECK(error == nullptr);
  std::string lowered(raw);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(strprintf("%04x:%02x:%02x.%d", static_cast<unsigned>(filter.domain),
                       static_cast<unsigned>(filter.bus), static_cast<unsigned>(filter.slot),
                       filter.func) == lowered);
  return 0;
}
