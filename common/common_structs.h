// Declarations the host probes share with the main unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A text that may be absent. Absent and empty mean different things
// throughout (a query label that was missing vs. a label with no value).
using opt_text = std::optional<std::string>;

// Gate result, written once per run by get_boot_mode(): 0 shipped utility,
// 1 system utility, 2 Secure Boot on but tools missing, 3 state unknown.
extern int32_t boot_value;
