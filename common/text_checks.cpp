#include "common/text_checks.h"

#include <algorithm>
#include <cctype>

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
