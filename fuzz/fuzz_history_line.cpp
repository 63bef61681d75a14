// Fuzzes the JSON records of the history of burns.
//
// Any bytes as a value: made into a record and parsed back, the value comes
// back byte for byte. Any bytes as a line: when they parse, the record made
// again from the fields parses to the same fields.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json_record.h"
#include "fuzz/fuzz_support.h"

namespace {

bool same_value(const json_value& a, const json_value& b) {
  return a.how == b.how && a.text == b.text && a.number == b.number;
}

void check_value_round_trip(std::string_view bytes) {
  const std::string line = json_record().text("value", bytes).number("n", -7).line();
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  FUZZ_CHECK(line.find('\n') == line.size() - 1);
  const std::optional<json_fields> back =
      parse_json_record(std::string_view(line).substr(0, line.size() - 1));
  FUZZ_CHECK(back.has_value());
  FUZZ_CHECK(back->text("value") == std::string(bytes));
  FUZZ_CHECK(back->number("n") == -7);
}

// A line that parses is made again from its fields, which must parse to the
// same fields in the same order.
void check_line_round_trip(std::string_view line) {
  const std::optional<json_fields> fields = parse_json_record(line);
  if (!fields) return;
  json_record again;
  for (const auto& [key, value] : fields->all()) {
    if (value.how == json_value::kind::text) again.text(key, value.text);
    if (value.how == json_value::kind::number) again.number(key, value.number);
    if (value.how == json_value::kind::null) again.null(key);
  }
  const std::string text = again.line();
  const std::optional<json_fields> back =
      parse_json_record(std::string_view(text).substr(0, text.size() - 1));
  FUZZ_CHECK(back.has_value());
  FUZZ_CHECK(back->all().size() == fields->all().size());
  for (size_t i = 0; i < fields->all().size(); ++i) {
    FUZZ_CHECK(back->all()[i].first == fields->all()[i].first);
    FUZZ_CHECK(same_value(back->all()[i].second, fields->all()[i].second));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_value_round_trip(bytes);
  check_line_round_trip(bytes);
  return 0;
}
