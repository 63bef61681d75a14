// What keeps a burn whole whatever happens to vexor around it: signals are
// deferred until the burn has ended, a killed vexor leaves the burn running
// and the run lock with it, a closed standard output or pipe changes
// nothing, one run at a time holds the adapters, and a caller's odd start
// state (SIGCHLD ignored, standard output closed) is put right.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>
#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

using testhost::both_due;
using testhost::both_due_report;
using testhost::count_of;
using testhost::kAddrA;
using testhost::kAddrB;
using Argv = std::vector<std::string>;

const std::string kStartA =
    "Burning ./nic_fw/qx50-2000.bin into 0000:05:00.0; the flash utility's output goes to "
    "/tmp/data";
const char* const kSuccessA = "MAC 0002c9aabb114 Upgrade SUCCESS\n";

std::string refusal(pid_t pid) {
  return "another vexor run (pid " + std::to_string(pid) + ") is using the adapters";
}

// Position of each text in log, failing the test for any that is missing.
std::vector<size_t> positions(const std::string& log, const std::vector<std::string>& texts) {
  std::vector<size_t> at;
  for (const auto& t : texts) {
    at.push_back(log.find(t));
    EXPECT_NE(at.back(), std::string::npos) << t << "\nnot in the log:\n" << log;
  }
  return at;
}

using BurnGuard = testhost::HostTest;

}  // namespace

struct SignalCase {
  const char* name;
  int sig;
  const char* sig_name;
  Argv args;
};

using SignalDuringBurn = testhost::HostTestWithParam<SignalCase>;

TEST_P(SignalDuringBurn, BurnCompletesThenTheRunEnds) {
  const SignalCase& c = GetParam();
  sim::SimHost& h = host(both_due(1));
  h.write_file("both.xml", both_due_report());
  sim::BackgroundRun run = h.start(c.args);
  run.wait_for_burn_start();
  run.signal(c.sig);
  const sim::RunResult r = run.wait();

  EXPECT_EQ(r.status, 128 + c.sig) << r.out << r.err;
  // A was burned once and runs the new version; B, due next, was left.
  EXPECT_EQ(testhost::burned_addresses(h), Argv{kAddrA});
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.2000");
  EXPECT_EQ(h.adapter(kAddrB).fw, "2.36.5000");
  const std::string warning = std::string("Received ") + c.sig_name +
                              " during the burn of 0000:05:00.0: the burn goes on, and vexor "
                              "stops when it has finished\n";
  EXPECT_EQ(count_of(r.err, "vexor: " + warning), 1u) << r.err;
  // The run's reason comes last, in every mode: the signal and how the
  // burn ended.
  const std::string reason = std::string("vexor: stopped by ") + c.sig_name +
                             " during the burn of 0000:05:00.0, which succeeded";
  EXPECT_EQ(count_of(r.err, reason), 1u) << r.err;
  const std::string log = h.event_log();
  const auto at = positions(log, {kStartA, warning, kSuccessA});
  EXPECT_TRUE(at[0] < at[1] && at[1] < at[2]) << log;
  EXPECT_EQ(count_of(log, "Burning "), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalDuringBurn,
    ::testing::Values(SignalCase{"term_silent", SIGTERM, "SIGTERM", {"-s"}},
                      SignalCase{"int_silent", SIGINT, "SIGINT", {"-s"}},
                      SignalCase{"hup_silent", SIGHUP, "SIGHUP", {"-s"}},
                      SignalCase{"term_apply", SIGTERM, "SIGTERM", {"-u", "both.xml"}},
                      SignalCase{"hup_apply", SIGHUP, "SIGHUP", {"-u", "both.xml"}},
                      SignalCase{"int_yes_to_all", SIGINT, "SIGINT", {"-y"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BurnGuard, KilledVexorLeavesTheBurnAndTheLockToTheUtility) {
  sim::SimHost& h = host(both_due(2));
  sim::BackgroundRun first = h.start({"-s"});
  first.wait_for_burn_start();
  first.signal(SIGKILL);
  EXPECT_EQ(first.wait().status, 128 + SIGKILL);

  // The orphaned burn still holds the adapters, and is named as what it
  // is, not by the id of the vexor that is gone.
  const sim::RunResult refused = h.run({"-s"});
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  const std::string burn_holds = "the flash utility's burn of 0000:05:00.0 (pid ";
  const std::string left =
      ", pyxflash), left running by a vexor run that has ended, is using "
      "the adapters\n";
  const size_t at = refused.err.find("vexor: " + burn_holds);
  ASSERT_NE(at, std::string::npos) << refused.err;
  const size_t pid_at = at + std::string("vexor: ").size() + burn_holds.size();
  const std::string pid = refused.err.substr(pid_at, refused.err.find(',', pid_at) - pid_at);
  EXPECT_NE(pid, std::to_string(first.pid())) << refused.err;
  EXPECT_EQ(refused.err.substr(pid_at + pid.size(), left.size()), left) << refused.err;

  h.wait_until_unlocked();
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.2000");
  EXPECT_EQ(testhost::burned_addresses(h), Argv{kAddrA});
  const std::string log = h.event_log();
  EXPECT_NE(log.find(kStartA), std::string::npos) << log;
  EXPECT_NE(log.find("] " + burn_holds + pid + left), std::string::npos) << log;

  // Once the burn has ended the next run goes ahead: A is current, B is due.
  const sim::RunResult after = h.run({"-s"});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(testhost::burned_addresses(h), (Argv{kAddrA, kAddrB}));
}

struct SecondRunCase {
  const char* name;
  Argv args;
};

using RunDuringBurn = testhost::HostTestWithParam<SecondRunCase>;

TEST_P(RunDuringBurn, IsRefusedAndTheFirstRunFinishes) {
  sim::SimHost& h = host(both_due(1.5));
  h.write_file("both.xml", both_due_report());
  sim::BackgroundRun first = h.start({"-s"});
  first.wait_for_burn_start();

  const sim::RunResult second = h.run(GetParam().args);
  EXPECT_EQ(second.status, 1) << second.out << second.err;
  EXPECT_NE(second.err.find("vexor: " + refusal(first.pid()) + "\n"), std::string::npos)
      << second.err;
  // It never got as far as asking the utility anything.
  EXPECT_EQ(h.journal().size(), 7u) << "six queries and the first run's burn of A";

  const sim::RunResult done = first.wait();
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(testhost::burned_addresses(h), (Argv{kAddrA, kAddrB}));
  EXPECT_EQ(count_of(h.event_log(), refusal(first.pid())), 1u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lock, RunDuringBurn,
                         ::testing::Values(SecondRunCase{"silent", {"-s"}},
                                           SecondRunCase{"listing", {"-c"}},
                                           SecondRunCase{"discovery", {"-d"}},
                                           SecondRunCase{"apply", {"-u", "both.xml"}}),
                         [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(BurnGuard, TwoListingsAtOnceBothWork) {
  // Each query of A takes a while, so the first listing is still querying
  // when the second one starts.
  sim::SimHost& h = host(both_due(0, 0.4));
  sim::BackgroundRun first = h.start({"-c"});
  first.wait_for_journal(1);
  const sim::RunResult second = h.run({"-c"});
  const sim::RunResult first_done = first.wait();
  for (const sim::RunResult* r : {&second, &first_done}) {
    EXPECT_EQ(r->status, 0) << r->err;
    EXPECT_EQ(r->err.find("is using the adapters"), std::string::npos) << r->err;
    EXPECT_NE(r->out.find("16.35.1012"), std::string::npos) << r->out;
  }
  EXPECT_EQ(h.journal().size(), 12u);
}

struct PipeCase {
  const char* name;
  const char* reader;  // what vexor's standard output goes into
  Argv args;
  bool a_fails;  // A's burn fails, so that even -s writes something (the search's echo)
  int status;
};

using ClosedPipe = testhost::HostTestWithParam<PipeCase>;

TEST_P(ClosedPipe, RunGoesOnWhenItsReaderHasGone) {
  const PipeCase& c = GetParam();
  sim::HostSpec desc = both_due(1);
  if (c.a_fails) desc.functions[0].flash->burn = sim::BurnBehaviour::fail;
  sim::SimHost& h = host(desc);
  std::string line = "{ ./vexor";
  for (const auto& a : c.args) line += " " + a;
  line += "; echo $? > status; } | " + std::string(c.reader) + " > /dev/null";
  const sim::RunResult r = h.run_shell(line);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(h.read_file("status"), std::to_string(c.status) + "\n") << r.err;
  EXPECT_EQ(testhost::burned_addresses(h), (Argv{kAddrA, kAddrB}));
  EXPECT_EQ(h.adapter(kAddrB).fw, "2.42.5000");
  const std::string log = h.event_log();
  EXPECT_EQ(count_of(log, "Upgrade SUCCESS"), c.a_fails ? 1u : 2u) << log;
  EXPECT_EQ(count_of(log, "Upgrade failed"), c.a_fails ? 1u : 0u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, ClosedPipe,
    ::testing::Values(PipeCase{"silent_first_line", "head -n 1", {"-s"}, true, 2},
                      PipeCase{"yes_first_line", "head -n 1", {"-y"}, false, 0},
                      // The reader goes while the burn's progress is being shown.
                      PipeCase{"yes_gone_during_burn", "sed '/writing image/q'", {"-y"}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BurnGuard, IgnoredSigchldAtStartStillSeesSuccess) {
  sim::SimHost& h = host(both_due(0));
  const std::string ignoring = "perl -e '$SIG{CHLD}=\"IGNORE\"; exec @ARGV' ";
  // The wrapper does hand on an ignored SIGCHLD (bit 17 of the mask).
  const sim::RunResult probe = h.run_shell(ignoring + "grep SigIgn /proc/self/status");
  ASSERT_NE(probe.out.find("10000\n"), std::string::npos) << probe.out;

  const sim::RunResult r = h.run_shell(ignoring + "./vexor -s");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string log = h.event_log();
  EXPECT_EQ(count_of(log, "Upgrade SUCCESS"), 2u) << log;
  EXPECT_EQ(log.find("Upgrade failed"), std::string::npos) << log;
}

TEST_F(BurnGuard, ClosedStandardOutputKeepsConsoleTextOutOfTheLog) {
  sim::SimHost& h = host(both_due(0));
  for (const char* args : {"-c", "-y"}) {
    const sim::RunResult r = h.run_shell(std::string("./vexor ") + args + " >&-");
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
  }
  const std::string log = h.event_log();
  EXPECT_EQ(count_of(log, "Upgrade SUCCESS"), 2u) << log;
  for (const char* console : {"Zentrik Quorvane InfiniBand", "SecureBoot is disabled", "PCI-ID",
                              "List of Network Adapters", "writing image"})
    EXPECT_EQ(log.find(console), std::string::npos) << console << " in the log:\n" << log;
}

TEST_F(BurnGuard, UtilityGetsOnlyItsStreamsAndTheLock) {
  sim::SimHost& h = host(both_due(0));
  // A descriptor vexor's caller left open must not reach the burn either.
  const sim::RunResult r = h.run_shell("exec 7< nic_fw/NICFWData.xml; ./vexor -s");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto fds = h.burn_descriptors(kAddrA);
  ASSERT_EQ(fds.size(), 4u) << testing::PrintToString(fds);
  EXPECT_EQ(fds[0], (std::pair<int, std::string>{0, "/dev/null"}));
  EXPECT_EQ(fds[1].first, 1);
  EXPECT_EQ(fds[1].second.rfind("/tmp/data", 0), 0u) << fds[1].second;
  EXPECT_EQ(fds[2], (std::pair<int, std::string>{2, fds[1].second}));
  EXPECT_GT(fds[3].first, 2);
  EXPECT_EQ(fds[3].second, "/run/vexor/vexor.lock");
}
