// Host probes: PCI enumeration, sysfs identifiers, Secure Boot gate, query.
#include "common/common_utilities.h"

int32_t boot_value = 0;

// Placeholder until the gate lands: reports an undeterminable state, so a run
// ends rather than flashing with an unchecked utility.
int32_t get_boot_mode() { return 3; }
