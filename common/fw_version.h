// Firmware versions: the three numbers of a "major.minor.release" text and
// their numeric order.
#pragma once

#include <compare>
#include <cstdint>

// A firmware version, ordered by major, then minor, then release, each as an
// unsigned number.
struct fw_version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t release = 0;
  friend auto operator<=>(const fw_version&, const fw_version&) = default;
};

// Splits text at its dots into major, minor and release (a fourth part is
// ignored) and reads each part the way atoi does: leading white space, an
// optional sign, digits up to the first other character, none giving 0. A
// value beyond the range of int saturates at INT_MAX or INT_MIN before it is
// taken as unsigned. Null reads as 0.0.0.
fw_version parse_fw_version(const char* text);
