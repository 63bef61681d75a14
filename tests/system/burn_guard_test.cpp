// What keeps a burn whole whatever happens to vexor around it: signals are
// deferred until the burn has ended, a killed vexor leaves the burn running
// and the run lock with it, a closed standard output or pipe changes
// nothing, one run at a time holds the adapters, and a caller's odd start
// state (SIGCHLD ignored, standard output closed) is put right.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"

namespace {

using testhost::count_of;
using testhost::kAddrA;
using testhost::kAddrB;
using Argv = std::vector<std::string>;

// Adapter A burns slowly (seconds), adapter B is due for a burn after it;
// each board has one catalog entry, so -u burns the same images as -s.
sim::HostSpec both_due(double seconds, double query_seconds = 0) {
  auto a = testhost::adapter(kAddrA, 0x1017, "QRV11", "16.35.1012", "0002c9aabb11", {"ens5"});
  a.flash->burn = sim::BurnBehaviour::slow;
  a.flash->burn_seconds = seconds;
  a.flash->query_seconds = query_seconds;
  auto b = testhost::adapter(kAddrB, 0x1003, "QRV22", "2.36.5000", "0002c9aabb22", {"ib0"});
  return testhost::host_of(
      {a, b}, {{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50-2000.bin"},
               {"Quorvane QX-100", "1003", "QRV22", "2.42.5000", "qx100-2.42.bin"}});
}

// The discovery report of both_due() asking for both upgrades.
std::string both_due_report() {
  return testhost::report_xml(
      {{.devid = "1017", .mac = "0002c9aabb114", .bus = "0000:05", .psid = "QRV11",
        .version = "16.35.2000", .active = "16.35.1012"},
       {.devid = "1003", .mac = "0002c9aabb224", .bus = "0000:81", .psid = "QRV22",
        .version = "2.42.5000", .active = "2.36.5000"}});
}

std::string refusal(pid_t pid) {
  return "another vexor run (pid " + std::to_string(pid) + ") is using the adapters";
}

using BurnGuard = testhost::HostTest;

}  // namespace

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

INSTANTIATE_TEST_SUITE_P(Lock, RunDuringBurn,
                         ::testing::Values(SecondRunCase{"silent", {"-s"}},
                                           SecondRunCase{"listing", {"-c"}},
                                           SecondRunCase{"discovery", {"-d"}},
                                           SecondRunCase{"apply", {"-u", "both.xml"}}),
                         [](const auto& info) { return std::string(info.param.name); });

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
  for (const char* console : {"Zentrik Quorvane InfiniBand", "SecureBoot is disabled",
                              "PCI-ID", "List of Network Adapters", "writing image"})
    EXPECT_EQ(log.find(console), std::string::npos) << console << " in the log:\n" << log;
}
