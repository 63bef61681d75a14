// The history's records: texts escaped so that JSON readers get them back
// byte for byte, and lines that are not records refused.
#include <gtest/gtest.h>

#include <string>

#include "common/json_record.h"

namespace {

struct EscapeCase {
  const char* name;
  std::string text;
  std::string json;
};

class JsonString : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonString, EscapesWhatJsonOrATerminalWouldMisread) {
  EXPECT_EQ(json_string(GetParam().text), GetParam().json);
}

TEST_P(JsonString, ReadsBackToTheSameBytes) {
  const std::string line = "{\"v\": " + json_string(GetParam().text) + "}";
  const std::optional<json_fields> fields = parse_json_record(line);
  ASSERT_TRUE(fields.has_value()) << line;
  EXPECT_EQ(fields->text("v"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonString,
    ::testing::Values(
        EscapeCase{"plain", "./nic_fw/qx50-2000.bin", "\"./nic_fw/qx50-2000.bin\""},
        EscapeCase{"empty", "", "\"\""},
        EscapeCase{"quote_and_backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        EscapeCase{"short_escapes", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        EscapeCase{"other_controls", std::string("\x00\x01\x1b\x7f", 4),
                   "\"\\u0000\\u0001\\u001b\\u007f\""},
        EscapeCase{"c1_control", "\xc2\x9b", "\"\\u009b\""},
        EscapeCase{"line_separator", "\xe2\x80\xa8", "\"\\u2028\""},
        EscapeCase{"utf8_kept", "caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        EscapeCase{"invalid_bytes", "\xff\xfe", "\"\\udcff\\udcfe\""},
        EscapeCase{"cut_sequence", "\xc3", "\"\\udcc3\""},
        EscapeCase{"overlong", "\xc0\xaf", "\"\\udcc0\\udcaf\""},
        EscapeCase{"encoded_surrogate", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonRecord, FieldsInTheOrderAddedOnOneLine) {
  const std::string line =
      json_record()
          .text("record", "burn started")
          .number("burn", 2)
          .number("signal", -9)
          .null("output")
          .text_or_null("psid", std::string("QRV1"))
          .text_or_null("none", std::nullopt)
          .line();
  EXPECT_EQ(line,
            "{\"record\": \"burn started\", \"burn\": 2, \"signal\": -9, \"output\": null, "
            "\"psid\": \"QRV1\", \"none\": null}\n");
  const std::optional<json_fields> fields = parse_json_record(line.substr(0, line.size() - 1));
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->number("burn"), 2);
  EXPECT_EQ(fields->number("signal"), -9);
  EXPECT_EQ(fields->find("output")->how, json_value::kind::null);
  EXPECT_EQ(fields->text("output"), std::nullopt);
  EXPECT_EQ(fields->number("psid"), std::nullopt);
  EXPECT_EQ(fields->find("missing"), nullptr);
}

struct LineCase {
  const char* name;
  std::string line;
};

class NotARecord : public ::testing::TestWithParam<LineCase> {};

TEST_P(NotARecord, IsRefused) { EXPECT_FALSE(parse_json_record(GetParam().line).has_value()); }

INSTANTIATE_TEST_SUITE_P(
    Lines, NotARecord,
    ::testing::Values(
        LineCase{"empty", ""}, LineCase{"text", "not json"},
        LineCase{"torn", "{\"record\": \"burn st"}, LineCase{"array", "[1, 2]"},
        LineCase{"nested", "{\"a\": {\"b\": 1}}"}, LineCase{"list_value", "{\"a\": [1]}"},
        LineCase{"boolean", "{\"a\": true}"}, LineCase{"fraction", "{\"a\": 1.5}"},
        LineCase{"exponent", "{\"a\": 1e3}"}, LineCase{"leading_zero", "{\"a\": 012}"},
        LineCase{"too_long_number", "{\"a\": 1234567890123456789}"},
        LineCase{"key_twice", "{\"a\": 1, \"a\": 2}"}, LineCase{"trailing_comma", "{\"a\": 1,}"},
        LineCase{"after_object", "{\"a\": 1} x"}, LineCase{"two_objects", "{} {}"},
        LineCase{"raw_newline", "{\"a\": \"x\ny\"}"},
        LineCase{"raw_control", "{\"a\": \"x\x01y\"}"},
        LineCase{"invalid_utf8", "{\"a\": \"\xff\"}"},
        LineCase{"unknown_escape", "{\"a\": \"\\x41\"}"},
        LineCase{"short_u_escape", "{\"a\": \"\\u00e\"}"},
        LineCase{"lone_high_surrogate", "{\"a\": \"\\ud83d\"}"},
        LineCase{"lone_low_surrogate", "{\"a\": \"\\udc00\"}"}, LineCase{"unquoted_key", "{a: 1}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseJsonRecord, TakesWhatOtherWritersProduce) {
  // Compact, with blanks and a carriage return, escaped slashes and pairs.
  const std::optional<json_fields> fields =
      parse_json_record("{\"a\":\"x\\/y\",\"b\":-0 ,  \"c\":\"\\ud83d\\ude00\\u00e9\"}\r");
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->text("a"), "x/y");
  EXPECT_EQ(fields->number("b"), 0);
  EXPECT_EQ(fields->text("c"), "\xf0\x9f\x98\x80\xc3\xa9");
  EXPECT_TRUE(parse_json_record("{}").has_value());
}

}  // namespace
