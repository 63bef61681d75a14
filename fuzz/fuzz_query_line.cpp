// Fuzzes the value extraction of the flash utility's query output.
//
// The first byte picks the label (the three the inventory asks for), the
// rest is the query output. It is cut into lines as get_firmware_info reads
// them, and the first labelled line gives the value.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/flash_utility.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kLabels[] = {"FW Version", "PSID", "Base MAC"};
constexpr const char* kUntouched = "\x01untouched";

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void check_line(const std::string& line, const char* label, int32_t rc, const opt_text& value) {
  const bool labelled = lower(line).find(lower(label)) != std::string::npos;
  FUZZ_CHECK(rc == QUERY_VALUE || rc == QUERY_EMPTY_VALUE || rc == QUERY_NO_LABEL);
  FUZZ_CHECK((rc == QUERY_NO_LABEL) == !labelled);
  if (rc == QUERY_NO_LABEL) {
    FUZZ_CHECK(value == kUntouched);
    return;
  }
  FUZZ_CHECK(value.has_value());
  FUZZ_CHECK((rc == QUERY_VALUE) == !value->empty());
  // Blanks never survive, and nothing is added: the value is drawn from
  // what follows the label's width on the line.
  FUZZ_CHECK(value->find(' ') == std::string::npos);
  const size_t skip = std::min(line.size(), std::strlen(label) + 1);
  FUZZ_CHECK(value->size() <= line.size() - skip);
  size_t pos = skip;
  for (char c : *value) {
    pos = line.find(c, pos);
    FUZZ_CHECK(pos != std::string::npos);
    ++pos;
  }
  // A line as getline returns it ends in its only newline, which is dropped.
  if (line.find('\n') == line.size() - 1) FUZZ_CHECK(value->find('\n') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* label = kLabels[data[0] % 3];
  const std::string output(reinterpret_cast<const char*>(data) + 1, size - 1);

  // Whole input as one line: the function must cope with any text.
  opt_text value = std::string(kUntouched);
  check_line(output, label, extract_query_value(output, label, &value), value);

  // Line by line up to the first labelled one, as the query reads its pipe.
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    end = end == std::string::npos ? output.size() : end + 1;
    const std::string line = output.substr(start, end - start);
    value = std::string(kUntouched);
    const int32_t rc = extract_query_value(line, label, &value);
    check_line(line, label, rc, value);
    if (rc != QUERY_NO_LABEL) break;
    start = end;
  }
  return 0;
}
