// Host probes: PCI enumeration, sysfs identifiers, Secure Boot gate, query.
#include "common/common_utilities.h"

int32_t boot_value = 0;
