// Host probes: PCI enumeration, sysfs identifiers and the Secure Boot gate.
// The flash utility's query is in flash_utility.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/common_structs.h"

struct pci_filter;

// What the PCI library reported during one enumeration, for the caller to
// log: the functions it left out, and why the enumeration could not go on.
struct pci_troubles {
  std::vector<std::string> left_out;  // "ADDRESS: the library's message", one per function
  std::string fatal;                  // the library's message; empty when it went on
};

// Enumerates PCI functions whose class is one of the four codes in
// pmatch_pattern, one entry per physical device (its lowest matching
// function), sorted by bus address. Fills *pppif with "%04x:%02x:%02x.%d"
// texts and *vendor_name with the parallel vendor names (the ID database's
// name, or libpci's numeric fallback). A function whose identity or class
// the library cannot read (its sysfs files gone, as in hot removal) is left
// out and named in troubles->left_out. Returns 0 when at least one entry was
// kept; 1 after printing "NO Interface Found\n" otherwise; PCI_LIBRARY_FAILED,
// with the library's message in troubles->fatal and no entry, when the
// library could not go on (no access method, an unreadable ID database).
inline constexpr int32_t PCI_LIBRARY_FAILED = 2;
int32_t get_interface_list(std::vector<std::string>* pppif, std::vector<std::string>* vendor_name,
                           const int32_t* pmatch_pattern, int32_t* pif_count,
                           pci_troubles* troubles = nullptr);

// qsort comparator over an array of const char*: case-insensitive order.
int cmp_pci_id_nums(const void* pci_id1, const void* pci_id2);

// Parses a bus-address text into f's domain, bus, slot and func. Returns null
// on success, otherwise one of its fixed messages (fields parsed before the
// failing one stay stored).
const char* pci_filter_parse_pciid(struct pci_filter* f, const char* str);

// Reads vendor, device, subsystem vendor and subsystem device from
// /sys/bus/pci/devices/<pbus_info>/. Returns 0 and stores all four, or 1 and
// leaves them untouched (after a message on stderr naming the path, unless
// pbus_info is null or empty).
int32_t get_pci_info(const char* pbus_info, int32_t* ppci_ven, int32_t* ppci_dev,
                     int32_t* ppci_sub_ven, int32_t* ppci_sub_dev);

// Puts the host probes' run-wide variable boot_value back to what a fresh
// process starts with.
void reset_host_probes();

// Secure Boot gate; returns 0..3 (see boot_value) and stores it in
// boot_value (result 0 leaves boot_value as it was).
int32_t get_boot_mode();
