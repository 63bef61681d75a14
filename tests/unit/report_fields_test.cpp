// Texts of a discovery report that the apply mode (-u) reads: hexadecimal
// ids and bus addresses.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/text_checks.h"
#include "main/vexor.h"

namespace {

struct HexCase {
  const char* text;
  int32_t value;
};

class Axtoi : public ::testing::TestWithParam<HexCase> {};

TEST_P(Axtoi, ReadsAtMostFourHexDigits) {
  EXPECT_EQ(axtoi(GetParam().text), GetParam().value) << "text '" << GetParam().text << "'";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, Axtoi,
                         ::testing::Values(HexCase{"15b3", 0x15B3}, HexCase{"15B3", 0x15B3},
                                           HexCase{"15B30", 0x15B3}, HexCase{"", 0},
                                           HexCase{"50", 0x50}, HexCase{"1g03", 0x1},
                                           HexCase{"x15b3", 0}, HexCase{"ffff", 0xFFFF}));
// clang-format on

struct AddressCase {
  const char* text;
  bool valid;
};

class BusAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(BusAddress, OnlyTheBusAddressFormIsAccepted) {
  EXPECT_EQ(is_bus_address(GetParam().text), GetParam().valid) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BusAddress,
    ::testing::Values(AddressCase{"0000:81:00.0", true}, AddressCase{"ABCD:eF:1f.7", true},
                      AddressCase{"0000:81:00.8", false}, AddressCase{"000:81:00.0", false},
                      AddressCase{"00000:81:00.0", false}, AddressCase{"0000:81:00.0 ", false},
                      AddressCase{"0000-81:00.0", false}, AddressCase{"0000:81.00.0", false},
                      AddressCase{"0000:81:0g.0", false}, AddressCase{"0000:81:00.0;", false},
                      AddressCase{"$(x):81:00.0", false}, AddressCase{"", false}));

}  // namespace
