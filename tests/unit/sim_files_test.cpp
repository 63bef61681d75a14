// Tests of the simulated host's own files (not of vexor): the state the host
// shares with its flash utility, and host description files.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/hostfile.h"
#include "sim/sim_state.h"
#include "sim/simhost.h"
#include "tests/builders.h"

namespace {

using sim::Adapter;
using sim::BurnBehaviour;
using sim::Function;
using sim::HostSpec;
using testhost::flash_state;

// --- State files ----------------------------------------------------------

TEST(SimState, EscapedFieldsRoundTrip) {
  for (std::string s :
       {"", "plain", "tab\there", "new\nline", "back\\slash\\", "\\t literal", "cr\r"}) {
    std::string e = sim::escape_field(s);
    EXPECT_EQ(e.find('\t'), std::string::npos) << s;
    EXPECT_EQ(e.find('\n'), std::string::npos) << s;
    EXPECT_EQ(sim::unescape_field(e), s);
  }
}

TEST(SimState, AdapterTextKeepsMissingAndEmptyApart) {
  Adapter a = flash_state("", std::nullopt, "00:02");
  a.query_error = "pyxflash: error: line one\nline two";
  a.burn = BurnBehaviour::slow;
  a.burn_seconds = 1.5;
  a.query_seconds = 0.25;
  Adapter b = sim::adapter_from_text(sim::adapter_to_text(a));
  EXPECT_EQ(b.fw, std::nullopt);
  EXPECT_EQ(b.psid, std::optional<std::string>(""));
  EXPECT_EQ(b.mac, "00:02");
  EXPECT_EQ(b.query_error, a.query_error);
  EXPECT_EQ(b.burn, BurnBehaviour::slow);
  EXPECT_EQ(b.burn_seconds, 1.5);
  EXPECT_EQ(b.query_seconds, 0.25);
  EXPECT_THROW(sim::adapter_from_text("burn=sideways\n"), std::runtime_error);
}

TEST(SimState, ImageTextNamesPsidAndVersion) {
  auto info = sim::parse_image(sim::image_to_text({"x.bin", "QRV0000000011", "16.35.2000"}));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->psid, "QRV0000000011");
  EXPECT_EQ(info->version, "16.35.2000");
  EXPECT_FALSE(sim::parse_image("VEXOR-SIM-IMAGE 1\nPSID X\n"));
  EXPECT_FALSE(sim::parse_image(
      "\x7f"
      "ELF"));
}

// --- Host files -----------------------------------------------------------

TEST(SimHostFile, DemoHostDescribesTwoVendorAdaptersAndAnotherVendor) {
  HostSpec desc = sim::parse_host_file(std::string(VEXOR_SIM_HOSTS) + "/demo.host");
  ASSERT_EQ(desc.functions.size(), 4u);
  const Function& b0 = desc.functions[1];
  const Function& b1 = desc.functions[2];
  EXPECT_EQ(b0.address, "0000:81:00.0");
  EXPECT_EQ(b1.address, "0000:81:00.1");
  ASSERT_TRUE(b0.flash && b1.flash);
  EXPECT_EQ(b0.flash->psid, b1.flash->psid);
  EXPECT_EQ(b0.flash->mac, b1.flash->mac);
  EXPECT_EQ(desc.functions[3].vendor, 0x1f1c);
  EXPECT_FALSE(desc.functions[3].flash);
  ASSERT_TRUE(desc.catalog_xml);
  for (const auto& image : desc.images)  // every image the catalog names is shipped
    EXPECT_NE(desc.catalog_xml->find("fwFile=\"" + image.file + "\""), std::string::npos)
        << image.file;
  EXPECT_EQ(desc.images.size(), 5u);
}

TEST(SimHostFile, AdapterSettingsLeftOutAreLinesLeftOut) {
  HostSpec desc = sim::parse_host_text(
      "vendor 1f1c Ostrova Systems Inc.\n"
      "function 0000:03:00.0 15b3:1003 15b3:0050 0x020700 ib0 ib1\n"
      "adapter 0000:03:00.0 psid= burn=slow seconds=2.5\n"
      "query-error 0000:03:00.0   pyxflash: error: device busy\n"
      "unreadable 0000:03:00.0 class vendor\n"
      "qtk present 127\n",
      "/nowhere", "t");
  ASSERT_EQ(desc.functions.size(), 1u);
  const Function& f = desc.functions[0];
  EXPECT_EQ(f.pci_class, 0x020700u);
  EXPECT_EQ(f.interfaces, (std::vector<std::string>{"ib0", "ib1"}));
  ASSERT_TRUE(f.flash);
  EXPECT_EQ(f.flash->fw, std::nullopt);
  EXPECT_EQ(f.flash->psid, std::optional<std::string>(""));
  EXPECT_EQ(f.flash->burn, BurnBehaviour::slow);
  EXPECT_EQ(f.flash->burn_seconds, 2.5);
  EXPECT_EQ(f.flash->query_error, "pyxflash: error: device busy");
  EXPECT_EQ(f.unreadable_files, (std::vector<std::string>{"class", "vendor"}));
  EXPECT_EQ(desc.vendor_names,
            (std::vector<std::pair<uint16_t, std::string>>{{0x1f1c, "Ostrova Systems Inc."}}));
  EXPECT_TRUE(desc.qtk.present);
  EXPECT_EQ(desc.qtk.exit_status, 127);
  EXPECT_FALSE(desc.quarz.present);
}

TEST(SimHostFile, BadLinesAreNamedWithTheirLineNumber) {
  const std::pair<const char*, const char*> cases[] = {
      {"function 81:00.0 15b3:1003 15b3:0050 020700", "bad PCI address"},
      {"function 0000:02:00.0 15b3:10030 15b3:0050 020700", "too large"},
      {"function 0000:02:00.0 15b3 15b3:0050 020700", "VENDOR:DEVICE expected"},
      {"function 0000:01:00.0 15b3:1003 15b3:0050 020700", "declared twice"},
      {"function 0000:01:00.0 15b3:1003 15b3:0050", "usage: function"},
      {"adapter 0000:09:00.0 fw=1.2.3", "no function 0000:09:00.0"},
      {"adapter 0000:01:00.0 burn=sideways", "bad burn behaviour"},
      {"adapter 0000:01:00.0 seconds=-1", "bad seconds"},
      {"adapter 0000:01:00.0 colour=red", "unknown adapter setting"},
      {"unreadable 0000:01:00.0", "usage: unreadable"},
      {"unreadable 0000:09:00.0 class", "no function 0000:09:00.0"},
      {"secure-boot maybe", "usage: secure-boot"},
      {"qtk present 300", "bad exit status"},
      {"catalog missing.xml", "cannot read catalog /nowhere/missing.xml"},
      {"frobnicate now", "unknown directive"},
  };
  for (const auto& [line, why] : cases) {
    try {
      sim::parse_host_text("# first\nfunction 0000:01:00.0 15b3:1003 15b3:0050 020700\n" +
                               std::string(line),
                           "/nowhere", "t.host");
      ADD_FAILURE() << "accepted: " << line;
    } catch (const std::runtime_error& e) {
      std::string msg = e.what();
      EXPECT_EQ(msg.rfind("t.host:3: ", 0), 0u) << msg;
      EXPECT_NE(msg.find(why), std::string::npos) << line << " -> " << msg;
    }
  }
}

}  // namespace
