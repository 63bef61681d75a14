#include "sim/hostfile.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/sim_state.h"

namespace sim {

namespace {

namespace fs = std::filesystem;

struct Parser {
  std::string origin;
  fs::path base;
  int line_no = 0;
  HostSpec desc;
  bool vendors_replaced = false;

  [[noreturn]] void error(const std::string& why) const {
    throw std::runtime_error(origin + ":" + std::to_string(line_no) + ": " + why);
  }

  // A hexadecimal number, "0x" optional, no larger than max.
  unsigned long hex(const std::string& text, unsigned long max, const char* what) const {
    std::string digits =
        text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      error(std::string("bad ") + what + " \"" + text + "\" (hexadecimal expected)");
    if (digits.size() > 8) error(std::string(what) + " \"" + text + "\" is too large");
    unsigned long v = std::stoul(digits, nullptr, 16);
    if (v > max) error(std::string(what) + " \"" + text + "\" is too large");
    return v;
  }

  std::pair<uint16_t, uint16_t> id_pair(const std::string& text, const char* what) const {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
      error(std::string("bad ") + what + " \"" + text + "\" (VENDOR:DEVICE expected)");
    return {static_cast<uint16_t>(hex(text.substr(0, colon), 0xffff, what)),
            static_cast<uint16_t>(hex(text.substr(colon + 1), 0xffff, what))};
  }

  Function& function_at(const std::string& address) {
    for (auto& f : desc.functions)
      if (f.address == address) return f;
    error("no function " + address + " declared above");
  }

  static std::string rest_of(const std::string& line, size_t words) {
    std::istringstream in(line);
    std::string w;
    for (size_t i = 0; i < words; ++i) in >> w;
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(" \t");
    return start == std::string::npos ? "" : rest.substr(start);
  }

  void expect_words(const std::vector<std::string>& w, size_t min, size_t max,
                    const char* usage) const {
    if (w.size() < min || w.size() > max) error(std::string("usage: ") + usage);
  }

  Tool tool(const std::vector<std::string>& w, const char* usage) const {
    expect_words(w, 2, 3, usage);
    Tool t;
    if (w[1] == "present") {
      t.present = true;
      if (w.size() == 3) {
        try {
          size_t used = 0;
          t.exit_status = std::stoi(w[2], &used);
          if (used != w[2].size() || t.exit_status < 0 || t.exit_status > 255)
            throw std::out_of_range("");
        } catch (const std::exception&) {
          error("bad exit status \"" + w[2] + "\" (0 to 255)");
        }
      }
    } else if (w[1] != "absent" || w.size() != 2) {
      error(std::string("usage: ") + usage);
    }
    return t;
  }

  void adapter(const std::vector<std::string>& w) {
    expect_words(w, 2, 100,
                 "adapter ADDRESS [fw=V] [psid=P] [mac=M] [burn=ok|fail|killed|slow] [seconds=N]");
    Function& f = function_at(w[1]);
    if (!f.flash) {
      // What the host file does not name, the utility does not print.
      f.flash = Adapter{};
      f.flash->fw.reset();
      f.flash->psid.reset();
      f.flash->mac.reset();
    }
    for (size_t i = 2; i < w.size(); ++i) {
      size_t eq = w[i].find('=');
      if (eq == std::string::npos)
        error("bad adapter setting \"" + w[i] + "\" (KEY=VALUE expected)");
      std::string key = w[i].substr(0, eq), value = w[i].substr(eq + 1);
      if (key == "fw") {
        f.flash->fw = value;
      } else if (key == "psid") {
        f.flash->psid = value;
      } else if (key == "mac") {
        f.flash->mac = value;
      } else if (key == "burn") {
        if (value == "ok") f.flash->burn = BurnBehaviour::ok;
        else if (value == "fail") f.flash->burn = BurnBehaviour::fail;
        else if (value == "killed") f.flash->burn = BurnBehaviour::killed;
        else if (value == "slow") f.flash->burn = BurnBehaviour::slow;
        else error("bad burn behaviour \"" + value + "\" (ok, fail, killed or slow)");
      } else if (key == "seconds") {
        try {
          size_t used = 0;
          f.flash->burn_seconds = std::stod(value, &used);
          if (used != value.size() ||
              !(f.flash->burn_seconds >= 0 && f.flash->burn_seconds <= 3600))
            throw std::out_of_range("");
        } catch (const std::exception&) {
          error("bad seconds \"" + value + "\" (0 to 3600)");
        }
      } else {
        error("unknown adapter setting \"" + key + "\"");
      }
    }
  }

  void function(const std::vector<std::string>& w) {
    expect_words(w, 5, 1000,
                 "function ADDRESS VENDOR:DEVICE SUBVENDOR:SUBDEVICE CLASS [INTERFACE...]");
    Function f;
    f.address = w[1];
    if (!is_pci_address(f.address))
      error("bad PCI address \"" + f.address + "\" (dddd:bb:ss.f expected)");
    for (const auto& g : desc.functions)
      if (g.address == f.address) error("function " + f.address + " declared twice");
    std::tie(f.vendor, f.device) = id_pair(w[2], "vendor:device");
    std::tie(f.subsystem_vendor, f.subsystem_device) = id_pair(w[3], "subsystem vendor:device");
    f.pci_class = static_cast<uint32_t>(hex(w[4], 0xffffff, "class"));
    f.interfaces.assign(w.begin() + 5, w.end());
    desc.functions.push_back(std::move(f));
  }

  void secure_boot(const std::vector<std::string>& w) {
    expect_words(w, 2, 2, "secure-boot absent|disabled|enabled|garbage");
    if (w[1] == "absent") desc.secure_boot = SecureBoot::absent;
    else if (w[1] == "disabled") desc.secure_boot = SecureBoot::disabled;
    else if (w[1] == "enabled") desc.secure_boot = SecureBoot::enabled;
    else if (w[1] == "garbage") desc.secure_boot = SecureBoot::garbage;
    else error("usage: secure-boot absent|disabled|enabled|garbage");
  }

  void pyxflash(const std::vector<std::string>& w) {
    expect_words(w, 2, 2, "pyxflash present|absent|not-executable");
    if (w[1] == "present") desc.pyxflash_present = desc.pyxflash_executable = true;
    else if (w[1] == "absent") desc.pyxflash_present = false;
    else if (w[1] == "not-executable")
      desc.pyxflash_present = true, desc.pyxflash_executable = false;
    else error("usage: pyxflash present|absent|not-executable");
  }

  void line(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty() || w[0][0] == '#') return;
    const std::string& d = w[0];
    if (d == "vendor") {
      expect_words(w, 3, 1000, "vendor ID NAME");
      if (!vendors_replaced) desc.vendor_names.clear();
      vendors_replaced = true;
      desc.vendor_names.emplace_back(static_cast<uint16_t>(hex(w[1], 0xffff, "vendor id")),
                                     rest_of(text, 2));
    } else if (d == "no-vendors") {
      expect_words(w, 1, 1, "no-vendors");
      desc.vendor_names.clear();
      vendors_replaced = true;
    } else if (d == "function") {
      function(w);
    } else if (d == "adapter") {
      adapter(w);
    } else if (d == "query-error") {
      expect_words(w, 3, 1000, "query-error ADDRESS TEXT");
      std::vector<std::string> just_address{"adapter", w[1]};
      adapter(just_address);
      function_at(w[1]).flash->query_error = rest_of(text, 2);
    } else if (d == "unreadable") {
      expect_words(w, 3, 1000, "unreadable ADDRESS FILE...");
      Function& f = function_at(w[1]);
      f.unreadable_files.insert(f.unreadable_files.end(), w.begin() + 2, w.end());
    } else if (d == "secure-boot") {
      secure_boot(w);
    } else if (d == "qtk") {
      desc.qtk = tool(w, "qtk absent|present [EXIT-STATUS]");
    } else if (d == "quarz") {
      desc.quarz = tool(w, "quarz absent|present [EXIT-STATUS]");
    } else if (d == "pyxflash") {
      pyxflash(w);
    } else if (d == "getqrvninfo") {
      expect_words(w, 2, 2, "getqrvninfo present|absent");
      if (w[1] != "present" && w[1] != "absent") error("usage: getqrvninfo present|absent");
      desc.getqrvninfo_present = w[1] == "present";
    } else if (d == "catalog") {
      expect_words(w, 2, 2, "catalog FILE");
      fs::path file = fs::path(w[1]).is_absolute() ? fs::path(w[1]) : base / w[1];
      auto xml = slurp(file.string());
      if (!xml) error("cannot read catalog " + file.string());
      desc.catalog_xml = *xml;
    } else if (d == "image") {
      expect_words(w, 4, 4, "image FILE PSID VERSION");
      desc.images.push_back({w[1], w[2], w[3]});
    } else {
      error("unknown directive \"" + d + "\"");
    }
  }
};

}  // namespace

HostSpec parse_host_text(const std::string& text, const std::string& base_dir,
                         const std::string& origin) {
  Parser p;
  p.origin = origin;
  p.base = base_dir;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ++p.line_no;
    p.line(line);
  }
  return p.desc;
}

HostSpec parse_host_file(const std::string& path) {
  auto text = slurp(path);
  if (!text || std::filesystem::is_directory(path))
    throw std::runtime_error("cannot read host file " + path);
  return parse_host_text(*text, fs::absolute(path).parent_path().string(), path);
}

}  // namespace sim
