// Host files: a line-based text description of a simulated host, for the
// vexor-sim command. The format is documented in sim/hosts/demo.host.
#pragma once

#include <string>

#include "sim/simhost.h"

namespace sim {

// Parses a host description. Relative file references (catalog) are resolved
// against base_dir; origin names the text in error messages. Throws
// std::runtime_error("origin:line: reason") on the first bad line.
HostSpec parse_host_text(const std::string& text, const std::string& base_dir,
                         const std::string& origin);

// Reads and parses the host file at path (references relative to its directory).
HostSpec parse_host_file(const std::string& path);

}  // namespace sim
