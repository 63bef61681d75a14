// The enumeration and the sysfs identifiers on this machine's own PCI bus,
// compared with what the system's lspci reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/common_utilities.h"
#include "tests/readers.h"

namespace {

const int32_t kClasses[4] = {0x0C06, 0x0200, 0x0280, 0x0207};

std::string command_output(const std::string& cmd) {
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  if (!p) return "";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
  return out;
}

// "Key:\tvalue" lines of `lspci -vmm` for one device.
std::map<std::string, std::string> vmm_fields(const std::string& options, const std::string& addr) {
  std::map<std::string, std::string> fields;
  std::istringstream in(command_output("lspci -D -vmm " + options + " -s " + addr));
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find(":\t");
    if (tab != std::string::npos) fields.emplace(line.substr(0, tab), line.substr(tab + 2));
  }
  return fields;
}

struct LspciDevice {
  std::string address;
  int32_t vendor = 0;
  int32_t device = 0;
};

// One entry per physical device of the four classes, as lspci lists them:
// its lowest matching function, sorted by address, domains above 0xff left
// out (those never parse as a bus-address filter).
std::vector<LspciDevice> expected_from_lspci() {
  std::istringstream in(command_output("lspci -D -n"));
  std::vector<LspciDevice> all;
  std::string line;
  while (std::getline(in, line)) {
    // "0000:00:03.0 0200: 1af4:1041 (rev 01)"
    std::istringstream fields(line);
    std::string addr, cls, ids;
    fields >> addr >> cls >> ids;
    if (addr.size() != 12 || cls.size() != 5 || ids.size() != 9) continue;
    const int32_t class_code = static_cast<int32_t>(std::stol(cls.substr(0, 4), nullptr, 16));
    if (std::find(std::begin(kClasses), std::end(kClasses), class_code) == std::end(kClasses))
      continue;
    if (std::stol(addr.substr(0, 4), nullptr, 16) > 0xff) continue;
    all.push_back({addr, static_cast<int32_t>(std::stol(ids.substr(0, 4), nullptr, 16)),
                   static_cast<int32_t>(std::stol(ids.substr(5, 4), nullptr, 16))});
  }
  std::sort(all.begin(), all.end(),
            [](const LspciDevice& a, const LspciDevice& b) { return a.address < b.address; });
  std::vector<LspciDevice> kept;
  for (const LspciDevice& d : all) {
    if (kept.empty() || kept.back().address.compare(0, 10, d.address, 0, 10) != 0)
      kept.push_back(d);
  }
  return kept;
}

TEST(RealPci, EnumerationAgreesWithLspci) {
  ASSERT_FALSE(command_output("command -v lspci").empty()) << "lspci (pciutils) is not installed";
  const std::vector<LspciDevice> expected = expected_from_lspci();

  std::vector<std::string> addrs, names;
  int32_t count = -1;
  testhost::OutputCapture capture;
  const int32_t rc = get_interface_list(&addrs, &names, kClasses, &count);
  const std::string out = capture.text();

  std::vector<std::string> expected_addrs;
  for (const LspciDevice& d : expected) expected_addrs.push_back(d.address);
  EXPECT_EQ(addrs, expected_addrs);
  EXPECT_EQ(count, static_cast<int32_t>(expected.size()));
  ASSERT_EQ(names.size(), addrs.size());
  if (expected.empty()) {
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "NO Interface Found\n");
    return;
  }
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "");
  for (size_t i = 0; i < addrs.size(); ++i) {
    EXPECT_EQ(names[i], vmm_fields("", addrs[i])["Vendor"]) << addrs[i];
  }
}

TEST(RealPci, SysfsIdentifiersAgreeWithLspci) {
  const std::vector<LspciDevice> devices = expected_from_lspci();
  for (const LspciDevice& d : devices) {
    int32_t ven = -1, dev = -1, sub_ven = -1, sub_dev = -1;
    ASSERT_EQ(get_pci_info(d.address.c_str(), &ven, &dev, &sub_ven, &sub_dev), 0) << d.address;
    EXPECT_EQ(ven, d.vendor) << d.address;
    EXPECT_EQ(dev, d.device) << d.address;
    auto numeric = vmm_fields("-n", d.address);
    if (numeric.count("SVendor")) {
      EXPECT_EQ(sub_ven, std::stoi(numeric["SVendor"], nullptr, 16)) << d.address;
    }
    if (numeric.count("SDevice")) {
      EXPECT_EQ(sub_dev, std::stoi(numeric["SDevice"], nullptr, 16)) << d.address;
    }
  }
}

}  // namespace
