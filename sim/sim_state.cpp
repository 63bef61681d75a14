#include "sim/sim_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sim {

std::string escape_field(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string unescape_field(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    switch (c) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: out += c;
    }
  }
  return out;
}

std::string journal_path(const std::string& state_dir) { return state_dir + "/journal"; }

std::string descriptors_path(const std::string& state_dir, const std::string& address) {
  return state_dir + "/descriptors-" + address;
}

std::string file_size_limit_path(const std::string& state_dir, const std::string& address) {
  return state_dir + "/file-size-limit-" + address;
}

bool append_journal(const std::string& path, const std::vector<std::string>& argv) {
  std::string line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i) line += '\t';
    line += escape_field(argv[i]);
  }
  line += '\n';
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write with O_APPEND keeps concurrent invocations' lines whole.
  ssize_t n = ::write(fd, line.data(), line.size());
  int saved = errno;
  ::close(fd);
  errno = saved;
  return n == static_cast<ssize_t>(line.size());
}

std::vector<std::vector<std::string>> read_journal(const std::string& path) {
  std::vector<std::vector<std::string>> entries;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> argv;
    size_t start = 0;
    while (true) {
      size_t tab = line.find('\t', start);
      argv.push_back(unescape_field(line.substr(start, tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    entries.push_back(std::move(argv));
  }
  return entries;
}

bool is_pci_address(const std::string& a) {
  auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  if (a.size() != 12 || a[4] != ':' || a[7] != ':' || a[10] != '.') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (!hex(a[i])) return false;
  return a[11] >= '0' && a[11] <= '7';
}

namespace {

std::string adapter_path(const std::string& state_dir, const std::string& address) {
  if (!is_pci_address(address))
    throw std::invalid_argument("simulated host: not a PCI address: \"" + address + "\"");
  return state_dir + "/adapter-" + address;
}

const char* burn_name(BurnBehaviour b) {
  switch (b) {
    case BurnBehaviour::ok: return "ok";
    case BurnBehaviour::fail: return "fail";
    case BurnBehaviour::killed: return "killed";
    case BurnBehaviour::slow: return "slow";
  }
  return "ok";
}

const char* activation_name(Activation a) {
  switch (a) {
    case Activation::at_burn: return "burn";
    case Activation::reboot: return "reboot";
    case Activation::never: return "never";
  }
  return "burn";
}

std::string boot_id_path(const std::string& state_dir) { return state_dir + "/boot-id"; }

}  // namespace

std::string adapter_to_text(const Adapter& a) {
  std::ostringstream out;
  // A value left out of the file stands for a query line left out.
  if (a.fw) out << "fw=" << escape_field(*a.fw) << '\n';
  if (a.psid) out << "psid=" << escape_field(*a.psid) << '\n';
  if (a.mac) out << "mac=" << escape_field(*a.mac) << '\n';
  if (!a.query_error.empty()) out << "query_error=" << escape_field(a.query_error) << '\n';
  out << "burn=" << burn_name(a.burn) << '\n';
  out << "burn_seconds=" << a.burn_seconds << '\n';
  if (a.query_seconds > 0) out << "query_seconds=" << a.query_seconds << '\n';
  if (a.activation != Activation::at_burn)
    out << "activation=" << activation_name(a.activation) << '\n';
  if (a.pending) out << "pending=" << escape_field(*a.pending) << '\n';
  return out.str();
}

Adapter adapter_from_text(const std::string& text) {
  Adapter a;
  a.fw.reset();
  a.psid.reset();
  a.mac.reset();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) throw std::runtime_error("malformed adapter state line: " + line);
    std::string key = line.substr(0, eq);
    std::string value = unescape_field(line.substr(eq + 1));
    if (key == "fw") {
      a.fw = value;
    } else if (key == "psid") {
      a.psid = value;
    } else if (key == "mac") {
      a.mac = value;
    } else if (key == "query_error") {
      a.query_error = value;
    } else if (key == "burn") {
      if (value == "ok") a.burn = BurnBehaviour::ok;
      else if (value == "fail") a.burn = BurnBehaviour::fail;
      else if (value == "killed") a.burn = BurnBehaviour::killed;
      else if (value == "slow") a.burn = BurnBehaviour::slow;
      else throw std::runtime_error("unknown burn behaviour: " + value);
    } else if (key == "activation") {
      if (value == "burn") a.activation = Activation::at_burn;
      else if (value == "reboot") a.activation = Activation::reboot;
      else if (value == "never") a.activation = Activation::never;
      else throw std::runtime_error("unknown activation: " + value);
    } else if (key == "pending") {
      a.pending = value;
    } else if (key == "burn_seconds" || key == "query_seconds") {
      try {
        (key == "burn_seconds" ? a.burn_seconds : a.query_seconds) = std::stod(value);
      } catch (const std::exception&) {
        throw std::runtime_error("malformed " + key + ": " + value);
      }
    } else {
      throw std::runtime_error("unknown adapter state key: " + key);
    }
  }
  return a;
}

std::optional<Adapter> load_adapter(const std::string& state_dir, const std::string& address) {
  auto text = slurp(adapter_path(state_dir, address));
  if (!text) return std::nullopt;
  return adapter_from_text(*text);
}

void save_adapter(const std::string& state_dir, const std::string& address,
                  const Adapter& adapter) {
  std::string path = adapter_path(state_dir, address);
  std::string tmp = path + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << adapter_to_text(adapter);
    out.flush();
    if (!out) throw std::runtime_error("cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot rename " + tmp + " to " + path);
}

void reboot(const std::string& state_dir) {
  const std::string prefix = "adapter-";
  for (const auto& entry : std::filesystem::directory_iterator(state_dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0 || !is_pci_address(name.substr(prefix.size()))) continue;
    const std::string address = name.substr(prefix.size());
    std::optional<Adapter> a = load_adapter(state_dir, address);
    if (!a || !a->pending) continue;
    if (a->activation == Activation::reboot) a->fw = a->pending;
    a->pending.reset();
    save_adapter(state_dir, address, *a);
  }
  long boots = 0;
  try {
    boots = std::stol(boot_id(state_dir));
  } catch (const std::exception&) {
    // A host never rebooted has none yet.
  }
  const std::string path = boot_id_path(state_dir);
  std::ofstream(path, std::ios::trunc) << boots + 1 << '\n';
  if (boot_id(state_dir) != std::to_string(boots + 1))
    throw std::runtime_error("cannot write " + path);
}

std::string boot_id(const std::string& state_dir) {
  std::string text = slurp(boot_id_path(state_dir)).value_or("0");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

namespace {
constexpr const char* kImageMagic = "VEXOR-SIM-IMAGE 1";
}

std::string image_to_text(const Image& image) {
  return std::string(kImageMagic) + "\nPSID " + image.psid + "\nVERSION " + image.version + "\n";
}

std::optional<ImageInfo> parse_image(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kImageMagic) return std::nullopt;
  ImageInfo info;
  bool psid = false, version = false;
  while (std::getline(in, line)) {
    if (line.rfind("PSID ", 0) == 0) {
      info.psid = line.substr(5);
      psid = true;
    } else if (line.rfind("VERSION ", 0) == 0) {
      info.version = line.substr(8);
      version = true;
    }
  }
  if (!psid || !version) return std::nullopt;
  return info;
}

std::optional<std::string> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return s.str();
}

}  // namespace sim
