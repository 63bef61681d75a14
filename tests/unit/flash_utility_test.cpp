// The flash utility interface: which installation a run uses, and the
// command lines it is given.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
