#include "common/fw_version.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>

namespace {

// One part, as atoi reads it but saturated instead of overflowing.
int32_t component_value(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), limit);
  }
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

fw_version parse_fw_version(const char* text) {
  std::string parts[3];
  if (text != nullptr) {
    size_t counter = 0;
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p == '.') {
        ++counter;
      } else if (counter < 3) {
        parts[counter] += *p;
      }
    }
  }
  return {static_cast<uint32_t>(component_value(parts[0])),
          static_cast<uint32_t>(component_value(parts[1])),
          static_cast<uint32_t>(component_value(parts[2]))};
}
