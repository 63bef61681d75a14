// Records written as one flat JSON object per line: texts, whole numbers and
// null, keyed by name. Made by vexor and read back by vexor and by whatever
// tool a site points at the file, so the escaping follows JSON exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// text as a JSON string, quotes included. Valid UTF-8 is kept as it is but
// for the characters JSON or a terminal would take for something else: the
// quote, the backslash, C0 and C1 control characters, delete, and the line
// and paragraph separators, which become escapes. A byte that is not part
// of valid UTF-8 (0xNN) becomes "\udcNN", the lone low surrogate by which
// Python's surrogateescape keeps such bytes: read back here, or in Python
// with text.encode("utf-8", "surrogateescape"), it gives the byte again.
std::string json_string(std::string_view text);

// One value of a record.
struct json_value {
  enum class kind { text, number, null };
  kind how = kind::null;
  std::string text;    // kind::text: the bytes, escapes undone
  int64_t number = 0;  // kind::number
};

// Builds one record, its fields in the order they are added.
class json_record {
 public:
  json_record& text(std::string_view key, std::string_view value);
  json_record& number(std::string_view key, int64_t value);
  json_record& null(std::string_view key);
  // A text, or null when there is none.
  json_record& text_or_null(std::string_view key, const std::optional<std::string>& value);
  // The object on one line, its newline included.
  std::string line() const;

 private:
  std::string fields_;
};

// A record read back: its fields in file order.
class json_fields {
 public:
  explicit json_fields(std::vector<std::pair<std::string, json_value>> fields) :
      fields_(std::move(fields)) {}
  // The field named key, null when there is none.
  const json_value* find(std::string_view key) const;
  // The text of field key; nothing when it is missing or not a text.
  std::optional<std::string> text(std::string_view key) const;
  // The number of field key; nothing when it is missing or not a number.
  std::optional<int64_t> number(std::string_view key) const;
  // Every field, in file order.
  const std::vector<std::pair<std::string, json_value>>& all() const { return fields_; }

 private:
  std::vector<std::pair<std::string, json_value>> fields_;
};

// Parses one line (without its newline) holding one flat JSON object whose
// values are strings, whole numbers (at most 18 digits) or null. Nothing
// when the line is anything else: not JSON, a nested value, a fraction, true
// or false, a key given twice, a raw control character or invalid UTF-8 in
// a string, or anything after the object but blanks.
std::optional<json_fields> parse_json_record(std::string_view line);
