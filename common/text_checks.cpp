#include "common/text_checks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool contains_nocase(std::string_view text, std::string_view part) {
  auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end() || part.empty();
}

bool is_bus_address(std::string_view text) {
  if (text.size() != 12 || text[4] != ':' || text[7] != ':' || text[10] != '.') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return text[11] >= '0' && text[11] <= '7';
}

bool is_control(char c) {
  constexpr unsigned char kBlank = 0x20;
  constexpr unsigned char kDelete = 0x7f;
  const unsigned char u = static_cast<unsigned char>(c);
  return u < kBlank || u == kDelete;
}

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || is_control(c); });
}

size_t utf8_sequence(std::string_view text, size_t i, char32_t* cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t len = 1;
  char32_t c = lead;
  char32_t smallest = 0;
  if (lead >= 0xF0 && lead < 0xF8) {
    len = 4, c = lead & 0x07, smallest = 0x10000;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    len = 3, c = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xC0 && lead < 0xE0) {
    len = 2, c = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0x80) {
    return 0;
  }
  if (len > text.size() - i) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  if (c < smallest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return len;
}

std::string escaped(std::string_view text, size_t max_bytes) {
  constexpr char32_t kFirstC1 = 0x80;
  constexpr char32_t kLastC1 = 0x9F;
  std::string out;
  out.reserve(text.size());
  char escape[8];
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t len = utf8_sequence(text, i, &cp);
    const char c = text[i];
    if (i + std::max<size_t>(len, 1) > max_bytes) {
      out += "...";
      break;
    }
    if (len == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
      out += escape;
      ++i;
      continue;
    }
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (len == 1 && is_control(c)) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
      out += escape;
    } else if (cp >= kFirstC1 && cp <= kLastC1) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(cp));
      out += escape;
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  return out;
}
