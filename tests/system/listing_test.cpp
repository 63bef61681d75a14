// The listing (-c) on simulated hosts, compared byte for byte.
#include <gtest/gtest.h>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

using testhost::adapter;
using testhost::CatalogEntry;
using testhost::host_of;

namespace {

const char* const kHeading = " PCI-ID              \t\tNIC\n";
const char* const kTableHead =
    "     (Installed)           (Available)\n"
    "     Image      Version      Image        Version     \t\tInterface\n"
    "------------------------------------------------------------------------\n";

// The listing blocks: everything from the first heading on.
std::string listing(const sim::RunResult& r) {
  auto pos = r.out.find(kHeading);
  return pos == std::string::npos ? "" : r.out.substr(pos);
}

sim::HostSpec one_adapter(const std::vector<std::string>& roms) {
  std::vector<CatalogEntry> entries;
  for (const auto& rom : roms)
    entries.push_back({"Quorvane QX-100", "1003", "QRV22", rom, "qx-" + rom + ".bin"});
  return host_of({adapter("0000:81:00.0", 0x1003, "QRV22", "2.42.5000", "0002c9aabb22")}, entries);
}

using Listing = testhost::HostTest;

}  // namespace

struct ListingCase {
  const char* label;
  std::vector<std::string> roms;  // catalog order
  std::vector<std::string> rows;  // listed order
};

using ListingOrder = testhost::HostTestWithParam<ListingCase>;

TEST_P(ListingOrder, RowsFollowTheOrderingKey) {
  const auto& c = GetParam();
  auto r = run(one_adapter(c.roms), {"-c"});
  ASSERT_EQ(r.status, 0) << r.err;

  std::string expected =
      std::string(kHeading) + "15B3-1003-15B3-0050 \tQuorvane QX-100 \n\n" + kTableHead;
  char row[200];
  std::snprintf(row, sizeof row, "      ROM       2.42.5000    ROM\t\t%10s\t\t0000:81:00.0\n",
                c.rows[0].c_str());
  expected += row;
  for (size_t i = 1; i < c.rows.size(); ++i) {
    std::snprintf(row, sizeof row, "                               \t\t%10s\t\t0000:81:00.0\n",
                  c.rows[i].c_str());
    expected += row;
  }
  expected += "\n";
  EXPECT_EQ(listing(r), expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Catalogs, ListingOrder,
    ::testing::Values(
        ListingCase{"three", {"2.42.5000", "2.36.5000", "2.40.7000"},
                    {"2.36.5000", "2.40.7000", "2.42.5000"}},
        ListingCase{"digit_counts", {"2.9.1000", "2.10.700"}, {"2.10.700", "2.9.1000"}},
        ListingCase{"single", {"2.42.5000"}, {"2.42.5000"}}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST_F(Listing, AdapterWithoutCatalogEntryShowsNothingRow) {
  auto r = run(one_adapter({}), {"-c"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listing(r),
            std::string(kHeading) + "15B3-1003-15B3-0050 \t(no catalog entry) \n\n" + kTableHead +
                "      ROM       2.42.5000    ROM\t\tNothing\t\t\t0000:81:00.0\n\n");
  EXPECT_NE(host().event_log().find("[ERROR]     ["), std::string::npos);
  EXPECT_NE(host().event_log().find("For 0000:81:00.0 no matching firmware file in XML\n"),
            std::string::npos);
}

TEST_F(Listing, OnlyUsableAdaptersAreListed) {
  // A dual-port adapter (second function skipped), a function whose query
  // gives no PSID, and another vendor's controller.
  auto r = run(host_of({adapter("0000:81:00.0", 0x1003, "QRV22", "2.42.5000", "0002c9aabb22"),
                        adapter("0000:81:00.1", 0x1003, "QRV22", "2.42.5000", "0002c9aabb22"),
                        adapter("0000:82:00.0", 0x1003, std::nullopt, "2.42.5000", "0002c9aabb33"),
                        testhost::other_vendor("0000:03:00.0")},
                       {{"Quorvane QX-100", "1003", "QRV22", "2.42.5000", "qx.bin"}}),
               {"-c"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string blocks = listing(r);
  EXPECT_EQ(testhost::count_of(blocks, kHeading), 1u);
  EXPECT_NE(blocks.find("0000:81:00.0\n"), std::string::npos);
  EXPECT_EQ(blocks.find("0000:81:00.1"), std::string::npos);
  EXPECT_EQ(blocks.find("0000:82:00.0"), std::string::npos);
  EXPECT_EQ(blocks.find("0000:03:00.0"), std::string::npos);
}

TEST_F(Listing, NothingListedStillExitsZero) {
  auto r = run(host_of({testhost::other_vendor("0000:03:00.0")}), {"-c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listing(r), "");
  EXPECT_NE(r.out.find("Interface 0000:03:00.0 is not Quorvane one.\n"), std::string::npos);
}
