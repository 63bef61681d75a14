// The flash utility interface: which installation a run uses, and the
// command lines it is given.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/flash_utility.h"
#include "tests/fixtures.h"

namespace {

namespace fs = std::filesystem;

struct CommandCase {
  const char* name;
  flash_command command;
  const char* program;
  std::vector<std::string> args;
  const char* shell;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class FlashCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(FlashCommand, ProgramArgumentsAndShellLine) {
  const CommandCase& c = GetParam();
  EXPECT_STREQ(c.command.program, c.program);
  EXPECT_EQ(c.command.args, c.args);
  EXPECT_EQ(shell_line(c.command), c.shell);
}

const flash_utility kShipped{"./nic_fw/pyxflash", "pyxflash"};
const std::string kImage = "./nic_fw/qx.bin";

INSTANTIATE_TEST_SUITE_P(
    Table, FlashCommand,
    ::testing::Values(
        CommandCase{"Query",
                    query_command(kShipped, "0000:81:00.0"),
                    "./nic_fw/pyxflash",
                    {"pyxflash", "-d", "0000:81:00.0", "q"},
                    "./nic_fw/pyxflash -d 0000:81:00.0 q"},
        CommandCase{"Presence",
                    presence_command(system_flash_utility()),
                    "/usr/bin/quarz",
                    {"quarz", "--help"},
                    "/usr/bin/quarz --help"},
        CommandCase{"Burn",
                    burn_command(kShipped, "0000:05:00.0", kImage, false),
                    "./nic_fw/pyxflash",
                    {"pyxflash", "-y", "-d", "0000:05:00.0", "-i", kImage, "b"},
                    "./nic_fw/pyxflash -y -d 0000:05:00.0 -i ./nic_fw/qx.bin b"},
        CommandCase{"SilentBurn",
                    burn_command(system_flash_utility(), "0000:05:00.0", kImage, true),
                    "/usr/bin/quarz",
                    {"quarz", "-s", "-y", "-d", "0000:05:00.0", "-i", kImage, "b"},
                    "/usr/bin/quarz -s -y -d 0000:05:00.0 -i ./nic_fw/qx.bin b"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

class UtilityInUse : public testhost::RunStateTest {
 protected:
  // Puts nic_fw/pyxflash into the working directory, executable or not.
  void ship_utility(bool executable) {
    fs::create_directory("nic_fw");
    std::ofstream("nic_fw/pyxflash") << "#!/bin/sh\n";
    fs::permissions("nic_fw/pyxflash", executable ? fs::perms::owner_all : fs::perms::owner_read);
  }
  static std::string chosen(utility_choice how) { return flash_utility_in_use(how).program; }

  testhost::ScratchDir scratch_{"vexor-utility"};
  testhost::WorkingDir cwd_{scratch_.path()};
};

TEST_F(UtilityInUse, TheSecureBootGateChoosesWhateverIsInstalled) {
  EXPECT_EQ(chosen(utility_choice::secure_boot_gate), "./nic_fw/pyxflash");
  boot_value = 1;
  EXPECT_EQ(chosen(utility_choice::secure_boot_gate), "/usr/bin/quarz");
  EXPECT_STREQ(flash_utility_in_use().name, "quarz");
}

TEST_F(UtilityInUse, WithoutTheGateTheShippedCopyWinsWhenItCanRun) {
  EXPECT_EQ(chosen(utility_choice::first_runnable), "/usr/bin/quarz");
  ship_utility(false);
  EXPECT_EQ(chosen(utility_choice::first_runnable), "/usr/bin/quarz");
  ship_utility(true);
  boot_value = 1;  // not asked
  EXPECT_EQ(chosen(utility_choice::first_runnable), "./nic_fw/pyxflash");
}

}  // namespace

namespace {

struct LimitText {
  const char* name;
  std::string text;
  std::optional<int64_t> seconds;
};

class LimitSeconds : public ::testing::TestWithParam<LimitText> {};

TEST_P(LimitSeconds, OnlyPositiveWholeNumbersAreLimits) {
  EXPECT_EQ(parse_limit_seconds(GetParam().text), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LimitSeconds,
    ::testing::Values(
        LimitText{"one", "1", 1}, LimitText{"minute", "60", 60},
        LimitText{"leading_zeros", "0030", 30}, LimitText{"largest", "999999999", 999999999},
        LimitText{"too_large", "1000000000", std::nullopt},
        LimitText{"far_too_large", "99999999999999999999999", std::nullopt},
        LimitText{"zero", "0", std::nullopt}, LimitText{"zeros", "000", std::nullopt},
        LimitText{"empty", "", std::nullopt}, LimitText{"sign", "+5", std::nullopt},
        LimitText{"negative", "-5", std::nullopt}, LimitText{"fraction", "1.5", std::nullopt},
        LimitText{"blank", "5 ", std::nullopt}, LimitText{"unit", "5s", std::nullopt},
        LimitText{"hex", "0x10", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct DurationCase {
  int64_t seconds;
  const char* text;
  int64_t period;  // progress_period of a limit of that many seconds
};

class Durations : public ::testing::TestWithParam<DurationCase> {};

TEST_P(Durations, ReadAsMinutesAndSecondsWithAProgressPeriodToMatch) {
  EXPECT_EQ(duration_text(GetParam().seconds), GetParam().text);
  EXPECT_EQ(progress_period(GetParam().seconds), GetParam().period);
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, Durations,
    ::testing::Values(
        DurationCase{1, "1 second", 1}, DurationCase{2, "2 seconds", 1},
        DurationCase{8, "8 seconds", 2}, DurationCase{60, "1 minute", 15},
        DurationCase{61, "1 minute 1 second", 15}, DurationCase{150, "2 minutes 30 seconds", 37},
        DurationCase{1800, "30 minutes", 300}, DurationCase{7200, "120 minutes", 300}));

// Sets or removes an environment variable for the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (value != nullptr) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedVariable() { ::unsetenv(name_); }

 private:
  const char* name_;
};

struct EnvironmentCase {
  const char* name;
  const char* query;  // the variables' values, null: not set
  const char* burn;
  int64_t query_seconds;
  int64_t burn_seconds;
  const char* refusal;
};

class WaitLimits : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(WaitLimits, TheEnvironmentSetsEachLimitOrNamesTheWrongValue) {
  const EnvironmentCase& c = GetParam();
  ScopedVariable query(QUERY_TIMEOUT_VARIABLE, c.query);
  ScopedVariable burn(BURN_TIMEOUT_VARIABLE, c.burn);
  wait_limits limits;
  EXPECT_EQ(wait_limits_from_environment(&limits), c.refusal);
  if (*c.refusal != '\0') return;
  EXPECT_EQ(limits.query_seconds, c.query_seconds);
  EXPECT_EQ(limits.burn_seconds, c.burn_seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, WaitLimits,
    ::testing::Values(EnvironmentCase{"Defaults", nullptr, nullptr, 60, 1800, ""},
                      EnvironmentCase{"BothSet", "5", "120", 5, 120, ""},
                      EnvironmentCase{"OneSet", nullptr, "7", 60, 7, ""},
                      EnvironmentCase{"WrongValueNamed", "5", "half\nan hour", 0, 0,
                                      "VEXOR_BURN_TIMEOUT is \"half\\nan hour\", not a positive "
                                      "whole number of seconds (at most 999999999)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
