// Small builders for simulated hosts shared by the workflow tests.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sim/simhost.h"

namespace testhost {

// One catalog element, written in the attribute order vexor reads.
struct CatalogEntry {
  std::string name;
  std::string venid;
  std::string devid;
  std::string psid;
  std::string rom;
  std::string file;
};

inline std::string catalog(const std::vector<CatalogEntry>& entries) {
  std::string xml = "<?xml version=\"1.0\"?>\n<NICFWData>\n";
  for (const auto& e : entries) {
    xml += "  <nic name=\"" + e.name + "\" venid=\"" + e.venid + "\" devid=\"" + e.devid +
           "\" subvenid=\"15B3\" PSID=\"" + e.psid + "\" subdevid=\"0050\" rom=\"" + e.rom +
           "\" fwFile=\"" + e.file + "\"/>\n";
  }
  return xml + "</NICFWData>\n";
}

// A single-function adapter of the vendor with its flash utility state.
inline sim::Function adapter(const std::string& address, uint16_t device, const std::string& psid,
                             const std::string& fw, const std::string& mac) {
  sim::Function f;
  f.address = address;
  f.device = device;
  f.pci_class = 0x020700;
  sim::Adapter a;
  a.fw = fw;
  a.psid = psid;
  a.mac = mac;
  f.flash = a;
  return f;
}

// An Ethernet controller of another vendor: listed, never queried.
inline sim::Function other_vendor(const std::string& address) {
  sim::Function f;
  f.address = address;
  f.vendor = 0x1f1c;
  f.device = 0x0101;
  f.subsystem_vendor = 0x1f1c;
  f.subsystem_device = 0x0001;
  f.pci_class = 0x020000;
  return f;
}

// The part of the output from the first line that contains `from`.
inline std::string from_line(const std::string& out, const std::string& from) {
  auto pos = out.find(from);
  if (pos == std::string::npos) return "";
  auto start = out.rfind('\n', pos);
  return out.substr(start == std::string::npos ? 0 : start + 1);
}

inline size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (auto pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size()))
    ++n;
  return n;
}

// A test that lays out one simulated host at a time and, when the test
// fails, keeps its directory for a look.
class HostTest : public ::testing::Test {
 protected:
  sim::SimHost& host(sim::HostSpec desc) {
    host_ = std::make_unique<sim::SimHost>(std::move(desc));
    return *host_;
  }
  sim::RunResult run(sim::HostSpec desc, const std::vector<std::string>& args) {
    return host(std::move(desc)).run(args);
  }
  void TearDown() override {
    if (host_ && HasFailure()) {
      host_->keep();
      std::cerr << "simulated host kept in " << host_->dir() << "\n";
    }
  }
  std::unique_ptr<sim::SimHost> host_;
};

}  // namespace testhost
