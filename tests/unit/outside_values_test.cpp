// Outside values as they go into log lines and console messages: nothing in
// them can end an entry, start a terminal sequence or pass for an escape.
#include <gtest/gtest.h>

#include <string>

#include "common/text_checks.h"

namespace {

struct VisibleCase {
  std::string text;
  std::string shown;
};

class Visible : public ::testing::TestWithParam<VisibleCase> {};

TEST_P(Visible, ControlsBadBytesAndBackslashesBecomeEscapes) {
  EXPECT_EQ(escaped(GetParam().text), GetParam().shown);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Texts, Visible,
    ::testing::Values(
        VisibleCase{"MT_0000000001 16.35.2000", "MT_0000000001 16.35.2000"},
        VisibleCase{"a\n[INFO] forged\r", "a\\n[INFO] forged\\r"},
        VisibleCase{"\x1b[2J\tx\x7f", "\\x1b[2J\\tx\\x7f"},
        VisibleCase{std::string("nul\0end", 7), "nul\\x00end"},
        VisibleCase{"back\\nslash", "back\\\\nslash"},
        VisibleCase{"\xff\xfe cut \xe2\x82", "\\xff\\xfe cut \\xe2\\x82"},
        VisibleCase{"C1 \xc2\x9b""31m", "C1 \\u009b31m"},
        VisibleCase{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa5", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\xa5"},
        VisibleCase{"overlong \xc0\xaf", "overlong \\xc0\\xaf"}));
// clang-format on

// A value longer than a log line needs is cut between two characters.
struct CutCase {
  std::string text;
  size_t max_bytes;
  std::string shown;
};

class VisibleCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(VisibleCut, ShowsTheFirstBytesAndSaysThereWasMore) {
  EXPECT_EQ(escaped(GetParam().text, GetParam().max_bytes), GetParam().shown);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Lengths, VisibleCut,
    ::testing::Values(CutCase{"abcd", 4, "abcd"}, CutCase{"abcde", 4, "abcd..."},
                      CutCase{"ab\xe2\x82\xac", 4, "ab..."},
                      CutCase{"ab\n", 2, "ab..."},
                      CutCase{std::string(5000, 'v'), kVisibleMax,
                              std::string(kVisibleMax, 'v') + "..."}));
// clang-format on

}  // namespace
