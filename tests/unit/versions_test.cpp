// Firmware versions: splitting a version text, the ordering key, and the
// ascending order of an adapter's catalog versions.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>

#include "main/vexor.h"
#include "tests/builders.h"
#include "tests/fixtures.h"

namespace {

struct ParseCase {
  const char* text;
  uint32_t major, minor, release;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  if (c.text == nullptr) {
    *os << "null";
    return;
  }
  *os << '"';
  for (const char* p = c.text; *p != '\0'; ++p) {
    if (*p == '\n') {
      *os << "\\n";
    } else {
      *os << *p;
    }
  }
  *os << '"';
}

class ParseVersions : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseVersions, SplitsIntoThreeNumbers) {
  const ParseCase& c = GetParam();
  uint32_t major = 77, minor = 77, release = 77;
  EXPECT_EQ(parseversions(c.text, &major, &minor, &release), 0);
  EXPECT_EQ(major, c.major) << "text '" << (c.text ? c.text : "null") << "'";
  EXPECT_EQ(minor, c.minor) << "text '" << (c.text ? c.text : "null") << "'";
  EXPECT_EQ(release, c.release) << "text '" << (c.text ? c.text : "null") << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseVersions,
    ::testing::Values(ParseCase{"2.42.5000", 2, 42, 5000}, ParseCase{"2.42", 2, 42, 0},
                      ParseCase{"", 0, 0, 0}, ParseCase{"2.42.5000.7", 2, 42, 5000},
                      ParseCase{"2..5", 2, 0, 5}, ParseCase{" 2.42.5000", 2, 42, 5000},
                      ParseCase{"x2.42.5000", 0, 42, 5000}, ParseCase{"2.4x.50a0", 2, 4, 50},
                      ParseCase{"16.35.2000\n", 16, 35, 2000}, ParseCase{"...", 0, 0, 0},
                      // Negative components wrap as atoi's result converted to unsigned.
                      ParseCase{"-1.0.0", 4294967295u, 0, 0},
                      // Over-long components are read whole, never cut short.
                      ParseCase{"1000.2000.123456", 1000, 2000, 123456},
                      ParseCase{"0002.0042.00005000", 2, 42, 5000},
                      // Beyond int they saturate rather than wrap into another version.
                      ParseCase{"99999999999.1.1", INT_MAX, 1, 1},
                      ParseCase{"1.1.-99999999999", 1, 1, static_cast<uint32_t>(INT_MIN)},
                      ParseCase{nullptr, 0, 0, 0}));

struct KeyCase {
  uint32_t major, minor, release;
  int64_t key;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << c.major << "." << c.minor << "." << c.release;
}

class OrderingKey : public ::testing::TestWithParam<KeyCase> {};

TEST_P(OrderingKey, IsTheFirstTenDigitsFilledWithZeros) {
  const KeyCase& c = GetParam();
  EXPECT_EQ(fw_ordering_key(c.major, c.minor, c.release), c.key)
      << c.major << "." << c.minor << "." << c.release;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, OrderingKey,
    ::testing::Values(KeyCase{2, 42, 5000, 2425000000}, KeyCase{2, 9, 1000, 2910000000},
                      KeyCase{2, 10, 700, 2107000000}, KeyCase{16, 35, 1012, 1635101200},
                      KeyCase{10, 0, 0, 1000000000}, KeyCase{1, 23, 4, 1234000000},
                      KeyCase{12, 3, 4, 1234000000}, KeyCase{0, 0, 0, 0},
                      KeyCase{123456, 78901, 2, 1234567890},
                      KeyCase{2147483647, 1, 1, 2147483647}));

// Fixture with one adapter record whose fw_count drives sort_fw.
class SortFw : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    g_ninfo.assign(1, nic_info{});
  }
  void set_count(int n) { g_ninfo[0].fw_count = n; }
  void set_catalog(const std::vector<std::string>& roms) {
    g_ninfo = {testhost::record_with_catalog(testhost::entries_with_roms(roms))};
  }
};

TEST_F(SortFw, EqualKeysAboveASmallerOneChangeTheirOrder) {
  std::vector<std::string> rows = {"X", "Y", "Z"};
  std::vector<int64_t> keys = {5000000000, 5000000000, 1000000000};
  set_count(3);
  sort_fw(0, rows, keys);
  EXPECT_EQ(rows, (std::vector<std::string>{"Z", "Y", "X"}));
  EXPECT_EQ(keys, (std::vector<int64_t>{1000000000, 5000000000, 5000000000}));
}

TEST_F(SortFw, FollowsTheKeyNotTheNumbers) {
  set_catalog({"2.9.1000", "2.10.700"});
  std::vector<std::string> texts;
  std::vector<int64_t> keys;
  build_sorted_versions(0, texts, keys);
  EXPECT_EQ(texts, (std::vector<std::string>{"2.10.700", "2.9.1000"}));
  EXPECT_EQ(keys, (std::vector<int64_t>{2107000000, 2910000000}));
}

TEST_F(SortFw, BuildSortedVersionsOrdersTheCatalogAscending) {
  set_catalog({"2.42.5000", "2.36.5000", "2.40.7000"});
  std::vector<std::string> texts = {"stale"};
  std::vector<int64_t> keys = {99};
  build_sorted_versions(0, texts, keys);
  EXPECT_EQ(texts, (std::vector<std::string>{"2.36.5000", "2.40.7000", "2.42.5000"}));
  // The record's own arrays keep catalog order.
  EXPECT_EQ(g_ninfo[0].uFwROMmin, (std::vector<uint32_t>{42, 36, 40}));
}

TEST_F(SortFw, NoneOrOneEntryLeavesTheTableAlone) {
  for (int count : {0, 1}) {
    std::vector<std::string> rows = {"b", "a"};
    std::vector<int64_t> keys = {2, 1};
    set_count(count);
    sort_fw(0, rows, keys);
    EXPECT_EQ(rows, (std::vector<std::string>{"b", "a"})) << "fw_count " << count;
    EXPECT_EQ(keys, (std::vector<int64_t>{2, 1})) << "fw_count " << count;
  }
}

TEST_F(SortFw, OrdersOnlyTheFirstFwCountRows) {
  std::vector<std::string> rows = {"c", "b", "a"};
  std::vector<int64_t> keys = {3, 2, 1};
  set_count(2);
  sort_fw(0, rows, keys);
  EXPECT_EQ(rows, (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(SortFw, CountBeyondTheTablesStaysInsideThem) {
  std::vector<std::string> rows = {"c", "b", "a"};
  std::vector<int64_t> keys = {3, 2, 1};
  set_count(100);
  sort_fw(0, rows, keys);
  EXPECT_EQ(rows, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(keys.size(), 3u);
}

TEST_F(SortFw, MoreThanFiftyEntriesAreAllOrdered) {
  std::vector<std::string> versions;
  for (uint32_t i = 0; i < 120; ++i)
    versions.push_back("1." + std::to_string(100 + (i * 37) % 120) + ".0");
  set_catalog(versions);
  std::vector<std::string> texts;
  std::vector<int64_t> keys;
  build_sorted_versions(0, texts, keys);
  ASSERT_EQ(texts.size(), 120u);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(texts.front(), "1.100.0");
  EXPECT_EQ(texts.back(), "1.219.0");  // the highest key is kept, at the end
}

}  // namespace
