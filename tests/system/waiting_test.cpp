// Nothing waits for ever: a query that hangs is killed at its limit and
// counts as failed; a burn is never killed, but vexor stops waiting for it
// at its limit, burns nothing more and ends with 2 while the burn keeps the
// run lock; a silenced run says now and then that a burn is alive; the
// limits come from the environment and a wrong one is refused before any
// work.
#include <gtest/gtest.h>
#include <signal.h>

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

// The queries of the adapter at address in the flash utility's journal.
size_t queries_of(const sim::SimHost& h, const std::string& address) {
  size_t n = 0;
  for (const auto& entry : h.journal())
    if (entry.size() == 4 && entry[2] == address && entry[3] == "q") ++n;
  return n;
}

// The output file the log names for the burn that vexor stopped waiting for.
std::string output_named(const std::string& log) {
  const std::string lead = "its output goes to ";
  const size_t at = log.find(lead);
  if (at == std::string::npos) return {};
  const size_t from = at + lead.size();
  return log.substr(from, log.find('.', from + 10) - from);
}

const std::string kLeftBurning =
    "The burn of ./nic_fw/qx50-2000.bin into 0000:05:00.0 has not ended after 2 seconds; vexor "
    "stops waiting for it. The burn goes on and holds the run lock until it ends; its output goes "
    "to /tmp/data";

using Waiting = testhost::HostTest;

}  // namespace

struct LimitCase {
  const char* name;
  Argv args;
};

using BurnOutlivesItsLimit = testhost::HostTestWithParam<LimitCase>;

TEST_P(BurnOutlivesItsLimit, VexorStopsWaitingAndTheBurnKeepsTheLock) {
  const LimitCase& c = GetParam();
  sim::SimHost& h = host(both_due(8));
  h.write_file("both.xml", both_due_report());
  h.set_environment("VEXOR_BURN_TIMEOUT", "2");
  h.set_timeout(30);
  const sim::RunResult r = h.run(c.args);

  EXPECT_EQ(r.status, 2) << r.out << r.err;
  // The burn goes on, and no other run touches the adapters meanwhile.
  const sim::RunResult meanwhile = h.run({"-c"});
  EXPECT_EQ(meanwhile.status, 1) << meanwhile.out;
  EXPECT_NE(meanwhile.err.find("is using the adapters"), std::string::npos) << meanwhile.err;

  const std::string log = h.event_log();
  EXPECT_EQ(count_of(log, kLeftBurning), 1u) << log;
  // Logged as an error.
  const size_t at = log.find(kLeftBurning);
  EXPECT_EQ(log.rfind("[ERROR]     [", at), log.rfind('\n', at) + 1) << log;
  // Every mode says why it failed, the interactive ones too.
  EXPECT_EQ(count_of(r.err,
                     "0000:05:00.0: the burn did not end within 2 seconds, vexor stopped "
                     "waiting and the burn goes on holding the run lock, output in /tmp/data"),
            1u)
      << r.err;
  // B, due next, was not burned beside it.
  EXPECT_EQ(testhost::burned_addresses(h), Argv{kAddrA});

  h.wait_until_unlocked(30);
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.2000");
  EXPECT_EQ(h.adapter(kAddrB).fw, "2.36.5000");
  // The burn wrote its output to the end into the file the log named.
  const std::string output = output_named(log);
  ASSERT_FALSE(output.empty()) << log;
  const std::string written = testhost::file_text(h.tmp_dir() + output.substr(4));
  EXPECT_NE(written.find("image written, 0000:05:00.0 now runs 16.35.2000"), std::string::npos)
      << output << ": " << written;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BurnOutlivesItsLimit,
    ::testing::Values(LimitCase{"silent", {"-s"}}, LimitCase{"apply", {"-u", "both.xml"}},
                      LimitCase{"yes_to_all", {"-y"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Waiting, TheConsoleSummaryTellsTheBurnLeftRunningFromTheOnesNotStarted) {
  sim::SimHost& h = host(both_due(6));
  h.set_environment("VEXOR_BURN_TIMEOUT", "2");
  const sim::RunResult r = h.run({"-y"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.out.find("failed (vexor stopped waiting; the burn goes on, output in /tmp/data"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("not flashed (a burn vexor stopped waiting for may still run)"),
            std::string::npos)
      << r.out;
  h.wait_until_unlocked(30);
}

TEST_F(Waiting, ASignalDuringABurnStillEndsTheWaitAtTheLimit) {
  sim::SimHost& h = host(both_due(8));
  h.set_environment("VEXOR_BURN_TIMEOUT", "3");
  sim::BackgroundRun run = h.start({"-s"});
  run.wait_for_burn_start();
  run.signal(SIGTERM);
  const sim::RunResult r = run.wait();

  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_NE(r.err.find("vexor: stopped by SIGTERM during the burn of 0000:05:00.0, which vexor "
                       "stopped waiting for at its limit"),
            std::string::npos)
      << r.err;
  // vexor was gone before the burn ended.
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.1012");
  h.wait_until_unlocked(30);
  EXPECT_EQ(h.adapter(kAddrA).fw, "16.35.2000");
}

struct ProgressCase {
  const char* name;
  Argv args;
  bool logged;  // the run's console is silenced
};

using BurnProgress = testhost::HostTestWithParam<ProgressCase>;

TEST_P(BurnProgress, ASilencedRunLogsThatTheBurnIsAlive) {
  sim::SimHost& h = host(both_due(5));
  h.write_file("both.xml", both_due_report());
  // A limit of 8 seconds: the line comes every 2 seconds.
  h.set_environment("VEXOR_BURN_TIMEOUT", "8");
  const sim::RunResult r = h.run(GetParam().args);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string log = h.event_log();
  const std::string first = "The burn of 0000:05:00.0 is still running after 2 seconds\n";
  EXPECT_EQ(count_of(log, first), GetParam().logged ? 1u : 0u) << log;
  // At 2 and 4 seconds, and more should the machine be slow.
  if (GetParam().logged) {
    EXPECT_GE(count_of(log, "is still running after"), 2u) << log;
  } else {
    EXPECT_EQ(count_of(log, "is still running after"), 0u) << log;
  }
  EXPECT_EQ(count_of(log, "The burn of 0000:81:00.0 is still running"), 0u) << log;
}

INSTANTIATE_TEST_SUITE_P(Modes, BurnProgress,
                         ::testing::Values(ProgressCase{"silent", {"-s"}, true},
                                           ProgressCase{"apply", {"-u", "both.xml"}, true},
                                           ProgressCase{"yes_to_all", {"-y"}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct QueryCase {
  const char* name;
  Argv args;
  int status;
  Argv burned;
};

using QueryNeverEnds = testhost::HostTestWithParam<QueryCase>;

TEST_P(QueryNeverEnds, IsKilledAndTheAdapterCountsAsNotAnswering) {
  const QueryCase& c = GetParam();
  sim::SimHost& h = host(both_due(0, 60));
  h.set_environment("VEXOR_QUERY_TIMEOUT", "1");
  h.set_timeout(30);
  const sim::RunResult r = h.run(c.args);

  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(r.err.find("killed after"), std::string::npos) << r.err;
  // After the first query hung, A's other two were not run; B was queried.
  EXPECT_EQ(queries_of(h, kAddrA), 1u);
  EXPECT_EQ(queries_of(h, kAddrB), 3u);
  EXPECT_EQ(testhost::burned_addresses(h), c.burned);
  EXPECT_EQ(count_of(h.event_log(),
                     "The flash utility's query of 0000:05:00.0 (FW Version) did not end within 1 "
                     "second; it was stopped, and the adapter's other queries are not run\n"),
            1u)
      << h.event_log();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, QueryNeverEnds,
    ::testing::Values(QueryCase{"listing", {"-c"}, 0, {}}, QueryCase{"discovery", {"-d"}, 0, {}},
                      QueryCase{"silent", {"-s"}, 0, {kAddrB}}),
    [](const auto& info) { return std::string(info.param.name); });

struct GateCase {
  const char* name;
  double mokutil_seconds;
  double qtk_seconds;
  const char* command;  // the one that hangs
};

using GateCommandNeverEnds = testhost::HostTestWithParam<GateCase>;

TEST_P(GateCommandNeverEnds, IsKilledAndTheBootModeIsUnknown) {
  const GateCase& c = GetParam();
  sim::HostSpec desc = both_due(0);
  desc.secure_boot = sim::SecureBoot::enabled;
  desc.mokutil_seconds = c.mokutil_seconds;
  desc.qtk = {true, 0, c.qtk_seconds};
  desc.quarz.present = true;
  sim::SimHost& h = host(desc);
  h.set_environment("VEXOR_QUERY_TIMEOUT", "1");
  h.set_timeout(30);
  const sim::RunResult r = h.run({"-c"});

  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find(std::string("\nERROR: \"") + c.command +
                       "\" did not end within 1 second and was stopped\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("vexor: the Secure Boot state could not be determined"), std::string::npos)
      << r.err;
  EXPECT_TRUE(h.journal().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, GateCommandNeverEnds,
    ::testing::Values(GateCase{"mokutil", 20, 0, "/usr/bin/mokutil --sb-state"},
                      GateCase{"qtk", 0, 20, "/usr/bin/qtk status"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedLimit {
  const char* name;
  const char* variable;
  const char* value;
  const char* shown;  // how the reason line shows the value
};

using LimitRefused = testhost::HostTestWithParam<RefusedLimit>;

TEST_P(LimitRefused, BeforeAnyWorkWithAReason) {
  const RefusedLimit& c = GetParam();
  sim::SimHost& h = host(both_due(0));
  h.set_environment(c.variable, c.value);
  const sim::RunResult r = h.run({"-s"});

  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, std::string("vexor: ") + c.variable + " is \"" + c.shown +
                       "\", not a positive whole number of seconds (at most 999999999)\n");
  EXPECT_TRUE(h.journal().empty());
  EXPECT_EQ(h.event_log(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Values, LimitRefused,
    ::testing::Values(RefusedLimit{"empty", "VEXOR_QUERY_TIMEOUT", "", ""},
                      RefusedLimit{"zero", "VEXOR_QUERY_TIMEOUT", "0", "0"},
                      RefusedLimit{"negative", "VEXOR_BURN_TIMEOUT", "-5", "-5"},
                      RefusedLimit{"fraction", "VEXOR_BURN_TIMEOUT", "1.5", "1.5"},
                      RefusedLimit{"unit", "VEXOR_BURN_TIMEOUT", "30m", "30m"},
                      RefusedLimit{"blank", "VEXOR_QUERY_TIMEOUT", " 60", " 60"},
                      RefusedLimit{"too_large", "VEXOR_BURN_TIMEOUT", "1000000000", "1000000000"},
                      RefusedLimit{"control", "VEXOR_BURN_TIMEOUT", "6\x1b[2J", "6\\x1b[2J"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Waiting, TheBurnRunsWithTheHardLimitOnFileSizes) {
  sim::SimHost& h = host(both_due(0));
  // 4096 blocks of 512 bytes: plenty for vexor's own files, a limit the
  // utility writing an adapter's image must not inherit.
  const sim::RunResult r = h.run_shell("ulimit -S -f 4096 && ulimit -S -f && exec ./vexor -s");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("4096\n", 0), 0u) << r.out;
  EXPECT_EQ(h.burn_file_size_limit(kAddrA), "unlimited");
  EXPECT_EQ(h.burn_file_size_limit(kAddrB), "unlimited");
}
