// The interactive update at a console explains a failure as the unattended
// modes do: after its own closing message, the reason line; and whatever the
// console says to check (the log) holds the cause.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/pty_reader.h"

namespace {

struct ConsoleCase {
  const char* label;
  std::function<void(sim::HostSpec&)> fault;
  std::vector<std::string> args;
  std::string input;
  int status;
  const char* closing;  // what the console says first ("" nothing looked for)
  std::string reason;   // the reason line ("" none may be shown)
  const char* logged;   // in the event log ("" nothing looked for)
};

void PrintTo(const ConsoleCase& c, std::ostream* os) { *os << c.label; }

using ConsoleReason = testhost::HostTestWithParam<ConsoleCase>;

// Adapter A has a newer image, B runs the latest one.
TEST_P(ConsoleReason, FollowsTheClosingMessageAndPointsAtTheAnswer) {
  const ConsoleCase& c = GetParam();
  sim::HostSpec desc = testhost::two_adapter_host();
  c.fault(desc);
  sim::SimHost& h = host(desc);
  const testpty::TerminalRun r = testpty::run_on_terminal(h, c.args, c.input);
  EXPECT_EQ(r.status, c.status) << r.screen;
  const size_t closing = r.screen.find(c.closing);
  EXPECT_NE(closing, std::string::npos) << c.closing << "\nnot on the screen:\n" << r.screen;
  const size_t reason = r.screen.find("vexor: ");
  if (c.reason.empty()) {
    EXPECT_EQ(reason, std::string::npos) << r.screen;
  } else {
    EXPECT_NE(r.screen.find("\nvexor: " + c.reason), std::string::npos) << r.screen;
    EXPECT_EQ(reason, r.screen.rfind("vexor: ")) << "more than one reason line:\n" << r.screen;
    EXPECT_GT(reason, closing) << r.screen;
  }
  EXPECT_NE(h.event_log().find(c.logged), std::string::npos)
      << c.logged << "\nnot in the log:\n"
      << h.event_log();
}

void no_change(sim::HostSpec&) {}

INSTANTIATE_TEST_SUITE_P(
    Interactive, ConsoleReason,
    ::testing::Values(
        ConsoleCase{"catalog_missing",
                    [](sim::HostSpec& d) { d.catalog_xml.reset(); },
                    {},
                    "",
                    1,
                    "",
                    "the firmware catalog nic_fw/NICFWData.xml could not be read (see "
                    "pyxflash.log)",
                    "Unable to open nic_fw/NICFWData.xml"},
        ConsoleCase{
            "no_adapter",
            [](sim::HostSpec& d) { d.functions = {testhost::other_vendor("0000:02:00.0")}; },
            {},
            "",
            1,
            "NIC firmware update did not complete.  Check log for errors.",
            "no Quorvane adapter found among the 1 network and InfiniBand devices",
            "no Quorvane adapter found among the 1 network and InfiniBand devices"},
        ConsoleCase{"no_flash_utility",
                    [](sim::HostSpec& d) { d.pyxflash_present = false; },
                    {},
                    "",
                    2,
                    "NIC firmware update did not complete.  Check log for errors.",
                    "no usable adapter: the flash utility gave no firmware version or PSID for "
                    "0000:05:00.0 and 1 more (./nic_fw/pyxflash is missing; see /tmp/data",
                    "no usable adapter: the flash utility gave no firmware version or PSID"},
        ConsoleCase{"burn_failed",
                    [](sim::HostSpec& d) { d.functions[0].flash->burn = sim::BurnBehaviour::fail; },
                    {"-y"},
                    "",
                    2,
                    "NIC firmware update completed with errors.",
                    "1 of 2 devices failed (0000:05:00.0: the burn failed, output in /tmp/data",
                    "Output of the failed burn of 0000:05:00.0 is kept in /tmp/data"},
        ConsoleCase{"quit",
                    no_change,
                    {},
                    "q\n",
                    3,
                    "Firmware upgrade cancelled by User",
                    "the operator quit at the question for 0000:05:00.0; nothing more was "
                    "flashed (see pyxflash.log)",
                    ""},
        ConsoleCase{
            "success", no_change, {}, "y\nn\n", 0, "Please Reboot node", "", "Upgrade SUCCESS"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
