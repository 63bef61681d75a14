#include "common/json_record.h"

#include <cstdio>

#include "common/text_checks.h"

namespace {

constexpr char32_t kFirstC1 = 0x80;
constexpr char32_t kLastC1 = 0x9F;
constexpr char32_t kLineSeparator = 0x2028;
constexpr char32_t kParagraphSeparator = 0x2029;
// The lone low surrogates that stand for the bytes 0x80 to 0xFF that are not
// part of valid UTF-8.
constexpr char32_t kFirstByteSurrogate = 0xDC80;
constexpr char32_t kLastByteSurrogate = 0xDCFF;

void append_u_escape(std::string& out, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", value);
  out += escape;
}

// The escape of one ASCII character, or nothing when it stands as it is.
const char* short_escape(char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return nullptr;
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Reads one line's JSON object from left to right.
class RecordParser {
 public:
  explicit RecordParser(std::string_view line) : s_(line) {}
  std::optional<json_fields> object();

 private:
  void skip_blanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r')) ++pos_;
  }
  bool take(char c) {
    skip_blanks();
    if (pos_ >= s_.size() || s_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  bool take_word(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  std::optional<json_value> value();
  std::optional<std::string> string();
  std::optional<int64_t> number();
  std::optional<unsigned> hex4();
  bool escape(std::string& out);

  std::string_view s_;
  size_t pos_ = 0;
};

std::optional<json_fields> RecordParser::object() {
  std::vector<std::pair<std::string, json_value>> fields;
  if (!take('{')) return std::nullopt;
  if (!take('}')) {
    do {
      skip_blanks();
      std::optional<std::string> key = string();
      if (!key || !take(':')) return std::nullopt;
      for (const auto& field : fields)
        if (field.first == *key) return std::nullopt;
      skip_blanks();
      std::optional<json_value> v = value();
      if (!v) return std::nullopt;
      fields.emplace_back(std::move(*key), std::move(*v));
    } while (take(','));
    if (!take('}')) return std::nullopt;
  }
  skip_blanks();
  if (pos_ != s_.size()) return std::nullopt;
  return json_fields(std::move(fields));
}

std::optional<json_value> RecordParser::value() {
  json_value v;
  if (pos_ < s_.size() && s_[pos_] == '"') {
    std::optional<std::string> text = string();
    if (!text) return std::nullopt;
    v.how = json_value::kind::text;
    v.text = std::move(*text);
    return v;
  }
  if (take_word("null")) return v;
  std::optional<int64_t> n = number();
  if (!n) return std::nullopt;
  v.how = json_value::kind::number;
  v.number = *n;
  return v;
}

std::optional<int64_t> RecordParser::number() {
  constexpr size_t kMaxDigits = 18;  // always within int64_t
  const bool negative = pos_ < s_.size() && s_[pos_] == '-';
  if (negative) ++pos_;
  const size_t first = pos_;
  while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
  const size_t digits = pos_ - first;
  // JSON allows no leading zero; a fraction or exponent is not a whole number.
  if (digits == 0 || digits > kMaxDigits || (digits > 1 && s_[first] == '0')) return std::nullopt;
  if (pos_ < s_.size() && (s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E'))
    return std::nullopt;
  int64_t n = 0;
  for (size_t i = first; i < pos_; ++i) n = n * 10 + (s_[i] - '0');
  return negative ? -n : n;
}

std::optional<std::string> RecordParser::string() {
  if (pos_ >= s_.size() || s_[pos_] != '"') return std::nullopt;
  ++pos_;
  std::string out;
  while (pos_ < s_.size()) {
    const char c = s_[pos_];
    if (c == '"') {
      ++pos_;
      return out;
    }
    if (c == '\\') {
      ++pos_;
      if (!escape(out)) return std::nullopt;
      continue;
    }
    char32_t cp = 0;
    const size_t len = utf8_sequence(s_, pos_, &cp);
    if (len == 0 || (len == 1 && static_cast<unsigned char>(c) < 0x20)) return std::nullopt;
    out.append(s_, pos_, len);
    pos_ += len;
  }
  return std::nullopt;
}

std::optional<unsigned> RecordParser::hex4() {
  if (s_.size() - pos_ < 4) return std::nullopt;
  unsigned v = 0;
  for (size_t k = 0; k < 4; ++k) {
    const char c = s_[pos_ + k];
    const int digit = (c >= '0' && c <= '9')   ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
    if (digit < 0) return std::nullopt;
    v = v * 16 + static_cast<unsigned>(digit);
  }
  pos_ += 4;
  return v;
}

// After a backslash: appends what the escape stands for.
bool RecordParser::escape(std::string& out) {
  if (pos_ >= s_.size()) return false;
  const char c = s_[pos_++];
  static constexpr std::pair<char, char> kSimple[] = {
      {'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
      {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'}};
  for (const auto& [name, meaning] : kSimple) {
    if (c == name) {
      out += meaning;
      return true;
    }
  }
  if (c != 'u') return false;
  const std::optional<unsigned> first = hex4();
  if (!first) return false;
  char32_t cp = *first;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A high surrogate counts only with the low one after it.
    if (!take_word("\\u")) return false;
    const std::optional<unsigned> low = hex4();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
  } else if (cp >= kFirstByteSurrogate && cp <= kLastByteSurrogate) {
    out += static_cast<char>(cp & 0xFF);
    return true;
  } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
    return false;
  }
  append_utf8(out, cp);
  return true;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t len = utf8_sequence(text, i, &cp);
    if (len == 0) {
      append_u_escape(out, 0xDC00 | static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    if (const char* escaped = len == 1 ? short_escape(text[i]) : nullptr) {
      out += escaped;
    } else if ((len == 1 && is_control(text[i])) || (cp >= kFirstC1 && cp <= kLastC1) ||
               cp == kLineSeparator || cp == kParagraphSeparator) {
      append_u_escape(out, static_cast<unsigned>(cp));
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  out += '"';
  return out;
}

json_record& json_record::text(std::string_view key, std::string_view value) {
  fields_ += (fields_.empty() ? "" : ", ") + json_string(key) + ": " + json_string(value);
  return *this;
}

json_record& json_record::number(std::string_view key, int64_t value) {
  fields_ += (fields_.empty() ? "" : ", ") + json_string(key) + ": " + std::to_string(value);
  return *this;
}

json_record& json_record::null(std::string_view key) {
  fields_ += (fields_.empty() ? "" : ", ") + json_string(key) + ": null";
  return *this;
}

json_record& json_record::text_or_null(std::string_view key,
                                       const std::optional<std::string>& value) {
  return value ? text(key, *value) : null(key);
}

std::string json_record::line() const { return "{" + fields_ + "}\n"; }

const json_value* json_fields::find(std::string_view key) const {
  for (const auto& field : fields_)
    if (field.first == key) return &field.second;
  return nullptr;
}

std::optional<std::string> json_fields::text(std::string_view key) const {
  const json_value* v = find(key);
  if (v == nullptr || v->how != json_value::kind::text) return std::nullopt;
  return v->text;
}

std::optional<int64_t> json_fields::number(std::string_view key) const {
  const json_value* v = find(key);
  if (v == nullptr || v->how != json_value::kind::number) return std::nullopt;
  return v->number;
}

std::optional<json_fields> parse_json_record(std::string_view line) {
  return RecordParser(line).object();
}
