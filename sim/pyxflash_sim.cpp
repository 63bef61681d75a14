// The simulated flash utility of the test host. Installed as nic_fw/pyxflash
// and as /usr/bin/quarz; answers the query and burn command lines from the
// adapter state kept in the host's state directory, and records every
// invocation in the journal before it does anything else.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_state.h"

namespace {

std::string g_name = "pyxflash";  // basename of argv[0], for messages

int usage(FILE* to) {
  std::fprintf(to,
               "%s: firmware flash utility (simulated)\n"
               "Usage:\n"
               "  %s -d <pci address> q\n"
               "  %s [-s] -y -d <pci address> -i <image file> b\n"
               "  %s --help\n",
               g_name.c_str(), g_name.c_str(), g_name.c_str(), g_name.c_str());
  return to == stdout ? 0 : 1;
}

std::string or_na(const std::optional<std::string>& v) { return v ? *v : "N/A"; }

// A GUID shaped after the MAC, as boards derive one from the other.
std::string guid_of(const std::optional<std::string>& mac) {
  if (!mac || mac->size() != 12) return "N/A";
  return mac->substr(0, 6) + "0300" + mac->substr(6);
}

// The adapter's state, or nothing after the error a real utility prints for
// a device it cannot open.
std::optional<sim::Adapter> open_device(const std::string& state_dir, const std::string& address) {
  std::optional<sim::Adapter> a;
  try {
    a = sim::load_adapter(state_dir, address);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "-E- Cannot open device %s: %s\n", address.c_str(), e.what());
    return std::nullopt;
  }
  if (!a) std::fprintf(stderr, "-E- Cannot open device %s: No such device\n", address.c_str());
  return a;
}

int query(const std::string& state_dir, const std::string& address) {
  std::optional<sim::Adapter> a = open_device(state_dir, address);
  if (!a) return 1;
  if (!a->query_error.empty()) {
    std::fprintf(stderr, "%s\n", a->query_error.c_str());
    return 1;
  }
  // No line but the labelled ones may contain "fw version", "psid" or
  // "base mac": the caller takes the first line holding the label.
  auto field = [](const char* label, const std::optional<std::string>& v, const char* suffix = "") {
    if (!v) return;
    if (v->empty()) {
      std::printf("%s:\n", label);
      return;
    }
    std::printf("%-22s %s%s\n", (std::string(label) + ":").c_str(), v->c_str(), suffix);
  };
  std::printf("%-22s %s\n", "Image type:", "FS4");
  field("FW Version", a->fw);
  std::printf("%-22s %s\n", "FW Release Date:", "12.3.2026");
  std::printf("%-22s %s\n", "Product Version:", or_na(a->fw).c_str());
  std::printf("%-22s %s\n", "Rom Info:", "type=UEFI version=14.29.15 cpu=AMD64");
  std::printf("%-22s %s\n", "Description:", "UID                GuidsNumber");
  std::printf("%-22s %s\n", "Base GUID:", (guid_of(a->mac) + "        4").c_str());
  field("Base MAC", a->mac, "        4");
  std::printf("%-22s %s\n", "Image VSD:", "N/A");
  std::printf("%-22s %s\n", "Device VSD:", "N/A");
  field("PSID", a->psid);
  std::printf("%-22s %s\n", "Security Attributes:", "N/A");
  return 0;
}

void progress(int percent) {
  std::printf("Burning FS4 FW image without signatures - %d%%\n", percent);
  std::fflush(stdout);
}

int burn(const std::string& state_dir, const std::string& address, const std::string& image_path,
         bool silent) {
  std::optional<sim::Adapter> a = open_device(state_dir, address);
  if (!a) return 1;
  auto text = sim::slurp(image_path);
  if (!text) {
    std::fprintf(stderr, "-E- Cannot open image file %s: No such file or directory\n", image_path.c_str());
    return 1;
  }
  auto image = sim::parse_image(*text);
  if (!image) {
    std::fprintf(stderr, "-E- %s: not a firmware image\n", image_path.c_str());
    return 1;
  }
  if (!a->psid || *a->psid != image->psid) {
    std::fprintf(stderr,
                 "-E- PSID Mismatch: the image is for PSID %s, the device has PSID %s\n",
                 image->psid.c_str(), a->psid ? a->psid->c_str() : "(none)");
    return 1;
  }
  if (!silent) {
    std::printf("\n    Current FW version on flash:  %s\n", or_na(a->fw).c_str());
    std::printf("    New FW version:               %s\n\n", image->version.c_str());
    std::fflush(stdout);
  }
  const int steps = 10;
  for (int i = 1; i <= steps; ++i) {
    if (a->burn == sim::BurnBehaviour::slow && a->burn_seconds > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(a->burn_seconds / steps));
    if (!silent || a->burn == sim::BurnBehaviour::slow) progress(i * 100 / steps);
    if (i == steps / 2) {
      if (a->burn == sim::BurnBehaviour::fail) {
        std::fprintf(stderr, "-E- Burning FS4 image failed: Flash write error at address 0x00f40000\n");
        return 1;
      }
      if (a->burn == sim::BurnBehaviour::killed) {
        std::fflush(stdout);
        ::kill(::getpid(), SIGKILL);
      }
    }
  }
  a->fw = image->version;
  try {
    sim::save_adapter(state_dir, address, *a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "-E- Burning FS4 image failed: %s\n", e.what());
    return 1;
  }
  std::printf("Burning FS4 FW image without signatures - OK\n");
  std::printf("Restoring signature                     - OK\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (!args.empty()) {
    g_name = args[0].substr(args[0].rfind('/') + 1);
  }
  const char* state_env = std::getenv(sim::kStateEnv);
  if (!state_env || !*state_env) {
    std::fprintf(stderr, "-E- %s: %s is not set; run me inside the simulated host\n", g_name.c_str(),
                 sim::kStateEnv);
    return 1;
  }
  std::string state_dir = state_env;
  if (!sim::append_journal(sim::journal_path(state_dir), args)) {
    std::perror(("-E- cannot append to " + sim::journal_path(state_dir)).c_str());
    return 1;
  }

  std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
  if (rest.size() == 1 && (rest[0] == "--help" || rest[0] == "-h")) return usage(stdout);
  if (rest.size() == 3 && rest[0] == "-d" && rest[2] == "q") return query(state_dir, rest[1]);
  bool silent = !rest.empty() && rest[0] == "-s";
  if (silent) rest.erase(rest.begin());
  if (rest.size() == 6 && rest[0] == "-y" && rest[1] == "-d" && rest[3] == "-i" && rest[5] == "b")
    return burn(state_dir, rest[2], rest[4], silent);

  std::string line;
  for (size_t i = 1; i < args.size(); ++i) line += " " + args[i];
  std::fprintf(stderr, "-E- Unrecognised command line:%s\n", line.c_str());
  return usage(stderr);
}
