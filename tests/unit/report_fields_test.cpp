// Texts of a discovery report that the apply mode (-u) reads: hexadecimal
// ids and bus addresses; getqrvninfo's answer; and the reason line made of
// the devices' outcomes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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

struct AnswerCase {
  const char* word;  // the first word of the answer
  bool found;
  const char* image;
};

class ImageAnswer : public ::testing::TestWithParam<AnswerCase> {};

// The host name stands first and can hold anything a host is called: it
// neither shifts the image nor turns an answer into "no image".
TEST_P(ImageAnswer, TheHostNameNeverChangesTheImage) {
  const image_answer a = parse_image_answer(GetParam().word);
  EXPECT_EQ(a.found, GetParam().found) << GetParam().word;
  EXPECT_EQ(a.image, GetParam().image) << GetParam().word;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ImageAnswer,
    ::testing::Values(AnswerCase{"node1#qx-2.50.0.bin", true, "qx-2.50.0.bin"},
                      AnswerCase{"0node#qx-2.50.0.bin", true, "qx-2.50.0.bin"},
                      AnswerCase{"rack#3#qx-2.50.0.bin", true, "qx-2.50.0.bin"},
                      AnswerCase{"#qx-2.50.0.bin", true, "qx-2.50.0.bin"},
                      AnswerCase{"node1#qx-2.50.0.bin\r\n", true, "qx-2.50.0.bin"},
                      AnswerCase{"node1#", true, ""}, AnswerCase{"0", false, ""},
                      AnswerCase{"0\n", false, ""}, AnswerCase{"node1", false, ""},
                      AnswerCase{"", false, ""}));

adapter_outcome outcome(const char* address, outcome_kind kind, bool asked,
                        std::string detail = {}) {
  adapter_outcome o;
  o.address = address;
  o.kind = kind;
  o.asked = asked;
  o.detail = std::move(detail);
  return o;
}

struct ReasonCase {
  const char* name;
  std::vector<adapter_outcome> outcomes;
  const char* reason;
};

class OutcomeReason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(OutcomeReason, CountsAndNamesTheFailedDevices) {
  EXPECT_EQ(outcome_reason(GetParam().outcomes), GetParam().reason);
}

using K = outcome_kind;

std::vector<adapter_outcome> eleven_failing() {
  std::vector<adapter_outcome> all;
  for (int i = 0; i < 11; ++i) all.push_back(outcome("a", K::failed, true, "/tmp/dataX"));
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, OutcomeReason,
    ::testing::Values(
        ReasonCase{"FirstOfThreeFailed",
                   {outcome("0000:05:00.0", K::failed, true, "/tmp/dataAbC123"),
                    outcome("0000:06:00.0", K::flashed, true),
                    outcome("0000:07:00.0", K::flashed, true)},
                   "1 of 3 devices failed (0000:05:00.0: the burn failed, output in "
                   "/tmp/dataAbC123); 2 flashed"},
        ReasonCase{"OnlyAskedDevicesCount",
                   {outcome("0000:05:00.0", K::left_alone, false),
                    outcome("0000:06:00.0", K::no_catalog_entry, true, "no entry for it"),
                    outcome("device 3", K::invalid_address, false),
                    outcome("0000:08:00.0", K::flashed, true)},
                   "1 of 2 devices failed (0000:06:00.0: no entry for it); 1 flashed"},
        ReasonCase{"UnreadAdaptersAreNamed",
                   {outcome("0000:01:00.0", K::flashed, true),
                    outcome("0000:02:00.0", K::failed, true),
                    outcome("0000:04:00.0", K::already_latest, false),
                    outcome("0000:08:00.0", K::no_query_data, false)},
                   "1 of 2 devices failed (0000:02:00.0: the burn failed, no output kept); 1 "
                   "flashed; 1 gave no firmware version or PSID (0000:08:00.0)"},
        ReasonCase{"NoFailureNoReason",
                   {outcome("0000:01:00.0", K::flashed, true),
                    outcome("0000:02:00.0", K::left_alone, false, "")},
                   ""},
        ReasonCase{"TenAreNamed", eleven_failing(),
                   "11 of 11 devices failed (a: the burn failed, output in /tmp/dataX; a: the "
                   "burn failed, output in /tmp/dataX; a: the burn failed, output in /tmp/dataX; "
                   "a: the burn failed, output in /tmp/dataX; a: the burn failed, output in "
                   "/tmp/dataX; a: the burn failed, output in /tmp/dataX; a: the burn failed, "
                   "output in /tmp/dataX; a: the burn failed, output in /tmp/dataX; a: the burn "
                   "failed, output in /tmp/dataX; a: the burn failed, output in /tmp/dataX; and 1 "
                   "more); 0 flashed"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
