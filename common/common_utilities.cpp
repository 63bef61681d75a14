// Host probes: PCI enumeration, sysfs identifiers, Secure Boot gate.
#include "common/common_utilities.h"

#include <strings.h>

#include <csetjmp>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" {
#include <pci/pci.h>
}

#include "common/child_process.h"
#include "common/flash_utility.h"
#include "common/owners.h"
#include "common/text_checks.h"

int32_t boot_value = 0;

void reset_host_probes() { boot_value = 0; }

namespace {

struct PciAccessDeleter {
  void operator()(pci_access* p) const { pci_cleanup(p); }
};
using PciAccessPtr = std::unique_ptr<pci_access, PciAccessDeleter>;

struct PciDevDeleter {
  void operator()(pci_dev* p) const { pci_free_dev(p); }
};
using PciDevPtr = std::unique_ptr<pci_dev, PciDevDeleter>;

// libpci's error handler must not return: the library goes on as if the
// failed step had worked. The one it is given records the message and jumps
// back to where pci_trapped made the call, so the caller decides what the
// failure means (one function left out, or the enumeration ended) instead
// of the library ending the process. Between the jump's two ends there are
// only libpci's frames and call lambdas that own nothing.
std::jmp_buf* g_pci_trap = nullptr;
// A fixed buffer: the handler runs inside the library and must not allocate
// or throw.
char g_pci_message[512];

// The library declares its handler noreturn as part of the pointer type, which
// only the GNU attribute (not [[noreturn]]) gives a function to clang.
__attribute__((noreturn, format(printf, 1, 2))) void pci_error_trap(char* msg, ...) {
  va_list ap;
  va_start(ap, msg);
  std::vsnprintf(g_pci_message, sizeof g_pci_message, msg, ap);
  va_end(ap);
  if (g_pci_trap != nullptr) std::longjmp(*g_pci_trap, 1);
  // Every call that can report an error goes through pci_trapped; should one
  // not, this is what the library itself would do.
  std::fprintf(stderr, "pcilib: %s\n", g_pci_message);
  std::exit(1);
}

// Runs call, which calls into libpci. False, with the library's message in
// *why, when the library reported an error.
template <typename Call>
bool pci_trapped(const Call& call, std::string* why) {
  std::jmp_buf here;
  if (setjmp(here) != 0) {
    g_pci_trap = nullptr;
    *why = g_pci_message;
    return false;
  }
  g_pci_trap = &here;
  call();
  g_pci_trap = nullptr;
  return true;
}

// Characters of a bus address that name the physical device (domain, bus and
// slot, as in "0000:81:00").
constexpr size_t PHYSICAL_DEVICE_PREFIX = 10;

std::string bus_address_text(const pci_dev* dev) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04x:%02x:%02x.%d", static_cast<unsigned>(dev->domain),
                static_cast<unsigned>(dev->bus), static_cast<unsigned>(dev->dev),
                static_cast<int>(dev->func));
  return buf;
}

// Result of reading one filter field: whether to store, and what.
struct FieldValue {
  bool present = false;
  long value = 0;
};

// A field that is empty or "*" is "any" and leaves the filter untouched.
// Otherwise it reads like strtol base 16: leading blanks and a sign allowed,
// reading stops at the first non-digit, no digits at all read as 0.
FieldValue read_hex_field(const std::string& field) {
  if (field.empty() || field == "*") return {};
  errno = 0;
  long v = std::strtol(field.c_str(), nullptr, 16);
  // An out-of-range number clamps to LONG_MAX/LONG_MIN, which every range
  // check below rejects, so a huge field can never pass as a small one.
  return {true, v};
}

// How one of the Secure Boot gate's commands ended, run through the shell
// within the query limit.
struct GateRun {
  bool shell_started = false;
  bool timed_out = false;
  int exit_status = -1;  // -1: ended by a signal
};

// Runs a command through the shell, as system() would but with the query
// limit: a command that has not ended by then is killed (the shell execs
// it, so that the kill reaches the command itself). When first_line is
// given, the command's standard output goes into a pipe and only its first
// line is kept there (at most max_line characters); otherwise it goes to
// vexor's own. Standard output is flushed first, so that what the command
// prints lands after everything printed so far.
GateRun run_gate_command(const char* command, std::string* first_line = nullptr,
                         size_t max_line = 0) {
  line_reader read_first;
  if (first_line != nullptr) {
    read_first = [&](const std::string& line) {
      *first_line = line.substr(0, max_line);
      return false;
    };
  }
  const std::string line = std::string("exec ") + command;
  const limited_end end = run_limited("/bin/sh", {"sh", "-c", line}, spawn_options{},
                                      flash_wait_limits().query_seconds * 1000, read_first);
  GateRun run;
  run.shell_started = end.started;
  run.timed_out = end.timed_out;
  if (end.end.how == child_end::kind::exited) run.exit_status = end.end.value;
  return run;
}

// A gate command that did not end in time leaves the boot mode unknown.
int32_t gate_timed_out(const char* command) {
  std::printf("\nERROR: \"%s\" did not end within %s and was stopped\n", command,
              duration_text(flash_wait_limits().query_seconds).c_str());
  boot_value = 3;
  return 3;
}

bool command_not_found(const GateRun& run) { return run.exit_status == 127; }

}  // namespace

int cmp_pci_id_nums(const void* pci_id1, const void* pci_id2) {
  const char* a = *static_cast<const char* const*>(pci_id1);
  const char* b = *static_cast<const char* const*>(pci_id2);
  return strcasecmp(a, b);
}

const char* pci_filter_parse_pciid(struct pci_filter* f, const char* str) {
  static const char* const kMissing = "Invalid input. Either colon or dot missing!";
  const std::string text = str == nullptr ? std::string() : std::string(str);
  const size_t first_colon = text.find(':');
  const size_t last_colon = text.rfind(':');
  const size_t first_dot = text.find('.');

  // The fields are found by position, so the domain is not optional.
  FieldValue domain = read_hex_field(text.substr(0, 4));
  if (domain.present) {
    if (domain.value < 0 || domain.value > 0xff) return "Invalid domain number";
    f->domain = static_cast<int>(domain.value);
  }

  if (first_colon == std::string::npos) return kMissing;
  FieldValue bus = read_hex_field(text.substr(first_colon + 1, 2));
  if (bus.present) {
    if (bus.value < 0 || bus.value > 0xff) return "Invalid bus number";
    f->bus = static_cast<int>(bus.value);
  }

  if (first_dot == std::string::npos) return kMissing;
  // A dot before the last colon leaves no slot field between them; that text
  // is malformed, and is refused rather than read across the other fields.
  if (first_dot < last_colon) return kMissing;
  const std::string slot_text = text.substr(last_colon + 1, first_dot - last_colon - 1);
  // The slot is at most two characters; a longer field is refused rather
  // than silently cut to its first two characters.
  if (slot_text.size() > 2) return "Invalid slot number";
  FieldValue slot = read_hex_field(slot_text);
  if (slot.present) {
    if (slot.value < 0 || slot.value > 0x1f) return "Invalid slot number";
    f->slot = static_cast<int>(slot.value);
  }

  FieldValue func = read_hex_field(text.substr(first_dot + 1));
  if (func.present) {
    if (func.value < 0 || func.value > 7) return "Invalid function number";
    f->func = static_cast<int>(func.value);
  }
  return nullptr;
}

namespace {

// Fills dev's identity and class. False, with "ADDRESS: message" appended to
// left_out, when the library cannot read them.
bool fill_identity(pci_dev* dev, std::vector<std::string>& left_out) {
  std::string why;
  if (pci_trapped([dev] { pci_fill_info(dev, PCI_FILL_IDENT | PCI_FILL_CLASS); }, &why))
    return true;
  left_out.push_back(bus_address_text(dev) + ": " + why);
  return false;
}

// The bus addresses of the scanned functions whose class is one of the four
// in pmatch_pattern (once per matching entry), sorted with cmp_pci_id_nums.
// A function whose identity or class cannot be read is left out, whatever
// its vendor: it cannot be told to be an adapter at all.
std::vector<std::string> sorted_matching_functions(pci_access* pacc, const int32_t* pmatch_pattern,
                                                   std::vector<std::string>& left_out) {
  std::vector<std::string> working;
  for (pci_dev* dev = pacc->devices; dev != nullptr; dev = dev->next) {
    if (!fill_identity(dev, left_out)) continue;
    for (int i = 0; i < 4; ++i) {
      if (dev->device_class == pmatch_pattern[i]) working.push_back(bus_address_text(dev));
    }
  }
  std::vector<const char*> sorted;
  sorted.reserve(working.size());
  for (const std::string& s : working) sorted.push_back(s.c_str());
  // An empty vector's data() may be null, which qsort must never be given,
  // even for zero elements.
  if (!sorted.empty())
    std::qsort(sorted.data(), sorted.size(), sizeof(const char*), cmp_pci_id_nums);
  return std::vector<std::string>(sorted.begin(), sorted.end());
}

// What list_device made of one device.
enum class DeviceFate { listed, left_out, library_failed };

// Gets the device filter names, reads its identity again (it may have gone
// since the scan) and appends its bus address and vendor name to the lists.
DeviceFate list_device(pci_access* pacc, const pci_filter& filter, pci_troubles& t,
                       std::vector<std::string>* pppif, std::vector<std::string>* vendor_name) {
  pci_dev* got = nullptr;
  if (!pci_trapped(
          [&] { got = pci_get_dev(pacc, filter.domain, filter.bus, filter.slot, filter.func); },
          &t.fatal)) {
    return DeviceFate::library_failed;
  }
  PciDevPtr dev(got);
  if (!dev || !fill_identity(dev.get(), t.left_out)) return DeviceFate::left_out;

  char namebuf[1024];
  const char* name = nullptr;
  // A broken ID database ends the enumeration, as the library's own handler
  // would end the process: it is the machine's to repair.
  if (!pci_trapped(
          [&] {
            name = pci_lookup_name(pacc, namebuf, sizeof namebuf, PCI_LOOKUP_VENDOR,
                                   static_cast<int>(dev->vendor_id));
          },
          &t.fatal)) {
    return DeviceFate::library_failed;
  }
  pppif->push_back(bus_address_text(dev.get()));
  vendor_name->push_back(name != nullptr ? name : "");
  return DeviceFate::listed;
}

}  // namespace

int32_t get_interface_list(std::vector<std::string>* pppif, std::vector<std::string>* vendor_name,
                           const int32_t* pmatch_pattern, int32_t* pif_count,
                           pci_troubles* troubles) {
  pppif->clear();
  vendor_name->clear();
  *pif_count = 0;
  pci_troubles own;
  pci_troubles& t = troubles != nullptr ? *troubles : own;
  t = pci_troubles{};
  auto library_failed = [&] {
    pppif->clear();
    vendor_name->clear();
    return PCI_LIBRARY_FAILED;
  };

  PciAccessPtr pacc(pci_alloc());
  pacc->error = pci_error_trap;
  pci_filter filter;
  if (!pci_trapped([&] { pci_init(pacc.get()); }, &t.fatal)) return library_failed();
  pci_filter_init(pacc.get(), &filter);
  if (!pci_trapped([&] { pci_scan_bus(pacc.get()); }, &t.fatal)) return library_failed();
  const std::vector<std::string> sorted =
      sorted_matching_functions(pacc.get(), pmatch_pattern, t.left_out);

  // One entry per physical device: the first text of each domain:bus:slot
  // group, which after sorting is its lowest matching function. The previous
  // text moves on before parsing, so a device whose text does not parse is
  // left out together with all its functions.
  std::string previous;
  int32_t count = 0;
  for (const std::string& text : sorted) {
    if (!previous.empty() &&
        strncasecmp(text.c_str(), previous.c_str(), PHYSICAL_DEVICE_PREFIX) == 0)
      continue;
    previous = text;
    if (pci_filter_parse_pciid(&filter, text.c_str()) != nullptr) continue;

    switch (list_device(pacc.get(), filter, t, pppif, vendor_name)) {
      case DeviceFate::listed: ++count; break;
      case DeviceFate::left_out: break;
      case DeviceFate::library_failed: return library_failed();
    }
  }

  // The device handles are released (each in list_device) before the
  // access handle; pci_cleanup runs here.
  pacc.reset();
  *pif_count = count;
  if (count == 0) {
    std::printf("NO Interface Found\n");
    return 1;
  }
  return 0;
}

int32_t get_pci_info(const char* pbus_info, int32_t* ppci_ven, int32_t* ppci_dev,
                     int32_t* ppci_sub_ven, int32_t* ppci_sub_dev) {
  if (pbus_info == nullptr || *pbus_info == '\0') return 1;

  static const char* const kAttributes[4] = {"vendor", "device", "subsystem_vendor",
                                             "subsystem_device"};
  unsigned int values[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    std::string path = "/sys/bus/pci/devices";
    path += '/';
    path += pbus_info;
    path += '/';
    path += kAttributes[i];
    unique_file file(std::fopen(path.c_str(), "re"));
    if (!file) {
      std::fprintf(stderr, "ERROR: could not open %s (errno=%d), %s,%d\n", path.c_str(), errno,
                   "common_utilities", 700);
      return 1;
    }
    // "%x" accepts the kernel's "0x" prefix; unreadable content leaves 0.
    if (std::fscanf(file.get(), "%x", &values[i]) != 1) values[i] = 0;
  }
  *ppci_ven = static_cast<int32_t>(values[0]);
  *ppci_dev = static_cast<int32_t>(values[1]);
  *ppci_sub_ven = static_cast<int32_t>(values[2]);
  *ppci_sub_dev = static_cast<int32_t>(values[3]);
  return 0;
}

int32_t get_boot_mode() {
  static const char* const kMokutil = "/usr/bin/mokutil --sb-state";
  // Only the first line counts, and only its first 499 characters.
  constexpr size_t kMaxLine = 499;
  std::string line;
  const GateRun mokutil = run_gate_command(kMokutil, &line, kMaxLine);
  if (!mokutil.shell_started) {
    std::printf("\nERROR: In popen for mokutil, call failed \n\n");
    boot_value = 3;
    return 3;
  }
  if (mokutil.timed_out) return gate_timed_out(kMokutil);
  if (!contains_nocase(line, "enabled")) return 0;

  static const char* const kQtkStatus = "/usr/bin/qtk status";
  GateRun run = run_gate_command(kQtkStatus);
  if (!run.shell_started) {
    std::printf("\nERROR: Failed to execute \"%s\"\n", kQtkStatus);
    boot_value = 3;
    return 3;
  }
  if (run.timed_out) return gate_timed_out(kQtkStatus);
  if (command_not_found(run)) {
    std::printf("\nERROR: \"%s\" command not found.\n", kQtkStatus);
    boot_value = 2;
    return 2;
  }

  static const char* const kQtkStart = "/usr/bin/qtk start";
  run = run_gate_command(kQtkStart);
  if (run.timed_out) return gate_timed_out(kQtkStart);
  if (!run.shell_started || command_not_found(run)) {
    std::printf("\nERROR: Unable to start qtk service\n");
    boot_value = 3;
    return 3;
  }

  const std::string presence =
      shell_line(presence_command(system_flash_utility())) + " > /dev/null";
  run = run_gate_command(presence.c_str());
  if (run.timed_out) return gate_timed_out(presence.c_str());
  if (!run.shell_started || command_not_found(run)) {
    // The front end prints the message for this outcome.
    boot_value = 2;
    return 2;
  }
  boot_value = 1;
  return 1;
}
