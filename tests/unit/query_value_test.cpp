// The value extraction of the flash utility's query, one output line at a
// time, without running anything.
#include <gtest/gtest.h>

#include "common/flash_utility.h"

namespace {

struct QueryLineCase {
  const char* name;
  std::string line;
  const char* label;
  int32_t rc;
  opt_text value;  // nullopt: left as it was
};

void PrintTo(const QueryLineCase& c, std::ostream* os) { *os << c.name; }

class QueryLine : public ::testing::TestWithParam<QueryLineCase> {};

TEST_P(QueryLine, ExtractsTheValueAfterTheLabel) {
  const QueryLineCase& c = GetParam();
  opt_text value;
  EXPECT_EQ(extract_query_value(c.line, c.label, &value), c.rc);
  EXPECT_EQ(value, c.value);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Lines, QueryLine,
    ::testing::Values(
        QueryLineCase{"Psid", "PSID:  QRV0000000001\n", "PSID", QUERY_VALUE,
                      "QRV0000000001"},
        QueryLineCase{"LabelInAnyCase", "psid: QRV1\n", "PSID", QUERY_VALUE, "QRV1"},
        QueryLineCase{"BlanksInsideAreDropped", "Base MAC:  0002c9aabbcc  4\n",
                      "Base MAC", QUERY_VALUE, "0002c9aabbcc4"},
        QueryLineCase{"TabsAreKept", "PSID:  \tQRV1\n", "PSID", QUERY_VALUE, "\tQRV1"},
        QueryLineCase{"LastLineWithoutNewlineKeepsItsEnd", "FW Version:  16.35.2000",
                      "FW Version", QUERY_VALUE, "16.35.2000"},
        QueryLineCase{"OnlyOneFinalNewlineIsDropped", "PSID: A\n\n", "PSID", QUERY_VALUE, "A\n"},
        QueryLineCase{"LabelWithoutValue", "PSID:      \n", "PSID", QUERY_EMPTY_VALUE, ""},
        QueryLineCase{"LineShorterThanLabelAndSeparator", "PSID", "PSID", QUERY_EMPTY_VALUE,
                      ""},
        // The value is taken at the label's width from the start of the
        // line, wherever on the line the label stands.
        QueryLineCase{"IndentedLabel", "  PSID: QRV1\n", "PSID", QUERY_VALUE, "D:QRV1"},
        QueryLineCase{"OtherLabel", "Board name:  Quorvane test board\n", "PSID", QUERY_NO_LABEL, std::nullopt},
        QueryLineCase{"NoLabelGiven", "PSID: QRV1\n", nullptr, QUERY_NO_LABEL, std::nullopt}),
    [](const ::testing::TestParamInfo<QueryLineCase>& info) { return info.param.name; });
// clang-format on

TEST(QueryLine, LineWithoutLabelLeavesAnEarlierValue) {
  opt_text value = std::string("16.35.2000");
  EXPECT_EQ(extract_query_value("Board name:  Quorvane test board\n", "FW Version", &value),
            QUERY_NO_LABEL);
  EXPECT_EQ(value, "16.35.2000");
}

}  // namespace
