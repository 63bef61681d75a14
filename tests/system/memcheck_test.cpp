// vexor under valgrind's memcheck on the simulated host: every mode runs to
// its normal end with no invalid read or write, no use of an uninitialised
// value and no block definitely lost. Sanitizer builds leave these out
// (valgrind cannot run a binary built with AddressSanitizer).
#ifndef VEXOR_SANITIZED

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

const char* const kValgrind =
    "valgrind --tool=memcheck --error-exitcode=99 --leak-check=full "
    "--errors-for-leak-kinds=definite --trace-children=no";

// A has a newer image, B runs the latest one, C has a newer image whose
// burn fails: between them every branch of the update and the report.
sim::HostSpec three_adapters() {
  sim::HostSpec desc = testhost::two_adapter_host();
  desc.secure_boot = sim::SecureBoot::disabled;
  desc.functions.push_back(
      testhost::adapter("0000:82:00.0", 0x1003, "QRV33", "2.36.5000", "0002c9aabb33"));
  desc.functions[2].flash->burn = sim::BurnBehaviour::fail;
  auto entries = testhost::two_adapter_catalog();
  entries.push_back({"Quorvane QX-100", "1003", "QRV33", "2.42.5000", "qx100c-2.42.bin"});
  testhost::set_catalog(desc, entries);
  return desc;
}

struct MemcheckRun {
  const char* name;
  std::string args;
  std::string stdin_text;
  int status;                       // vexor's own exit status
  std::vector<std::string> burned;  // addresses burned, in order
  const char* out_has;              // proof the mode did its work ("" none)
  const char* report_has = "";      // in nicdiscovery.xml afterwards ("" none)
};

void PrintTo(const MemcheckRun& run, std::ostream* os) { *os << run.name; }

using Memcheck = testhost::HostTestWithParam<MemcheckRun>;

TEST_P(Memcheck, NoErrorsNoDefiniteLeaks) {
  const MemcheckRun& run = GetParam();
  sim::SimHost& h = host(three_adapters());
  h.set_timeout(120);
  // The apply mode reads the report a plain -d run writes, with B's action
  // edited to ask for a rewrite and a device the host lacks appended.
  if (run.args.rfind("-u", 0) == 0) {
    ASSERT_EQ(h.run({"-d"}).status, 0);
    std::string report = h.read_file("nicdiscovery.xml");
    const std::string b_action =
        "<active_version value=\"2.42.5000\"/>\n                <action value=\"";
    auto at = report.find(b_action);
    ASSERT_NE(at, std::string::npos) << report;
    at += b_action.size();
    report.replace(at, report.find('"', at) - at, "rewrite");
    report.insert(report.rfind("    </devices>"),
                  "        <device><busnumber value=\"0000:99;\"/><fw_item><type value=\"ROM\"/>"
                  "<action value=\"upgrade\"/></fw_item></device>\n");
    h.write_file("nicdiscovery.xml", report);
  }

  const sim::RunResult r =
      h.run_shell(std::string(kValgrind) + " ./vexor " + run.args, run.stdin_text);

  ASSERT_NE(r.err.find("Memcheck, a memory error detector"), std::string::npos)
      << "valgrind did not run:\n"
      << r.err;
  EXPECT_EQ(r.status, run.status) << r.err;
  EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << r.err;
  EXPECT_EQ(testhost::count_of(r.err, "definitely lost: "),
            testhost::count_of(r.err, "definitely lost: 0 bytes"))
      << r.err;
  if (*run.out_has) {
    EXPECT_NE(r.out.find(run.out_has), std::string::npos) << r.out;
  }
  if (*run.report_has) {
    EXPECT_NE(h.read_file("nicdiscovery.xml").find(run.report_has), std::string::npos);
  }

  EXPECT_EQ(testhost::burned_addresses(h), run.burned);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Modes, Memcheck,
    ::testing::Values(
        MemcheckRun{"listing", "-c", "", 0, {}, "Quorvane QX-100 \n"},
        MemcheckRun{"discovery", "-d", "", 0, {}, "", "<busnumber value=\"0000:82\"/>"},
        // C's burn fails and the device the host lacks has no valid address.
        MemcheckRun{"apply", "-u nicdiscovery.xml", "", 2,
                    {"0000:05:00.0", "0000:81:00.0", "0000:82:00.0"}, ""},
        MemcheckRun{"silent_update", "-s", "", 2, {"0000:05:00.0", "0000:82:00.0"}, ""},
        MemcheckRun{"interactive_update", "", "y\nn\nq\n", 3, {"0000:05:00.0"},
                    "Firmware upgrade cancelled by User"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace

#endif  // VEXOR_SANITIZED
