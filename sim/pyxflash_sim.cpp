// The simulated flash utility of the test host. Installed as nic_fw/pyxflash
// and as /usr/bin/quarz; answers the query and burn command lines from the
// adapter state kept in the host's state directory, and records every
// invocation in the journal before it does anything else.
//
// Two command lines stand for the host rather than the utility and are not
// journalled: --simulated-reboot (the host restarts: pending versions run,
// or are dropped, and the boot id changes) and --boot-id (prints it), for
// test equipment that reboots a simulated host.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_state.h"

namespace {

std::string g_name = "pyxflash";  // basename of argv[0], for messages

int usage(FILE* to) {
  std::fprintf(to,
               "%s: firmware flash utility (simulated)\n"
               "usage:\n"
               "  %s -d <pci address> q\n"
               "  %s [-s] -y -d <pci address> -i <image file> b\n"
               "  %s --help\n",
               g_name.c_str(), g_name.c_str(), g_name.c_str(), g_name.c_str());
  return to == stdout ? 0 : 1;
}

// Every error goes to standard error as "<name>: error: ..." (the name this
// copy was run as, pyxflash or quarz).
[[gnu::format(printf, 1, 2)]] void error(const char* format, ...) {
  std::fprintf(stderr, "%s: error: ", g_name.c_str());
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// The adapter's state, or nothing (and an error) for an address the
// simulated host gives no adapter or whose state cannot be read.
std::optional<sim::Adapter> open_device(const std::string& state_dir, const std::string& address) {
  std::optional<sim::Adapter> a;
  try {
    a = sim::load_adapter(state_dir, address);
  } catch (const std::exception& e) {
    error("cannot read the state of %s: %s", address.c_str(), e.what());
    return std::nullopt;
  }
  if (!a) error("no device at %s", address.c_str());
  return a;
}

int query(const std::string& state_dir, const std::string& address) {
  std::optional<sim::Adapter> a = open_device(state_dir, address);
  if (!a) return 1;
  if (a->query_seconds > 0)
    std::this_thread::sleep_for(std::chrono::duration<double>(a->query_seconds));
  if (!a->query_error.empty()) {
    std::fprintf(stderr, "%s\n", a->query_error.c_str());
    return 1;
  }
  // No line but the labelled ones may contain "fw version", "psid" or
  // "base mac": the caller takes the first line holding the label.
  auto line = [](const char* label, const std::string& value) {
    std::printf("%s:  %s\n", label, value.c_str());
  };
  auto field = [&](const char* label, const std::optional<std::string>& v,
                   const char* suffix = "") {
    if (!v) return;
    if (v->empty()) {
      std::printf("%s:\n", label);
      return;
    }
    line(label, *v + suffix);
  };
  line("Device", address);
  line("Board name", "Quorvane test board");
  field("FW Version", a->fw);
  line("Built on", "2026-03-12");
  field("PSID", a->psid);
  // The trailing count: how many addresses the board holds from the base one on.
  field("Base MAC", a->mac, "  4");
  line("Flash size", "16 MiB");
  line("Boot code", "none");
  line("Temperature", "41 C");
  return 0;
}

void progress(int percent) {
  std::printf("writing image: %d%%\n", percent);
  std::fflush(stdout);
}

// Lists the descriptors this process was started with, and what each
// leads to, for the tests of what vexor passes on to a burn.
void record_descriptors(const std::string& state_dir, const std::string& address) {
  std::string listing;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == ::dirfd(d)) continue;
      char target[4096];
      const ssize_t n = ::readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target,
                                   sizeof target - 1);
      listing += std::string(e->d_name) + "\t" + std::string(target, n > 0 ? size_t(n) : 0) + "\n";
    }
    ::closedir(d);
  }
  std::ofstream(sim::descriptors_path(state_dir, address), std::ios::trunc) << listing;
  struct rlimit limit {};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  std::ofstream(sim::file_size_limit_path(state_dir, address), std::ios::trunc)
      << (limit.rlim_cur == RLIM_INFINITY ? std::string("unlimited")
                                          : std::to_string(limit.rlim_cur))
      << "\n";
}

int burn(const std::string& state_dir, const std::string& address, const std::string& image_path,
         bool silent) {
  record_descriptors(state_dir, address);
  std::optional<sim::Adapter> a = open_device(state_dir, address);
  if (!a) return 1;
  auto text = sim::slurp(image_path);
  if (!text) {
    error("cannot read image %s", image_path.c_str());
    return 1;
  }
  auto image = sim::parse_image(*text);
  if (!image) {
    error("%s is not a firmware image", image_path.c_str());
    return 1;
  }
  // vexor recognises an image meant for another board by "PSID Mismatch".
  if (!a->psid || *a->psid != image->psid) {
    error("PSID Mismatch, the image is for %s and the device is %s", image->psid.c_str(),
          a->psid ? a->psid->c_str() : "(none)");
    return 1;
  }
  if (!silent) {
    std::printf("burning %s over %s on %s\n", image->version.c_str(),
                a->fw.value_or("(no version)").c_str(), address.c_str());
    std::fflush(stdout);
  }
  const int steps = 10;
  for (int i = 1; i <= steps; ++i) {
    if (a->burn == sim::BurnBehaviour::slow && a->burn_seconds > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(a->burn_seconds / steps));
    if (!silent || a->burn == sim::BurnBehaviour::slow) progress(i * 100 / steps);
    if (i == steps / 2) {
      if (a->burn == sim::BurnBehaviour::fail) {
        error("write failed at offset 0x3d0000");
        return 1;
      }
      if (a->burn == sim::BurnBehaviour::killed) {
        std::fflush(stdout);
        ::kill(::getpid(), SIGKILL);
      }
    }
  }
  const bool at_once = a->activation == sim::Activation::at_burn;
  (at_once ? a->fw : a->pending) = image->version;
  try {
    sim::save_adapter(state_dir, address, *a);
  } catch (const std::exception& e) {
    error("cannot record the new version: %s", e.what());
    return 1;
  }
  std::printf(at_once ? "image written, %s now runs %s\n"
                      : "image written, %s runs %s after a reboot\n",
              address.c_str(), image->version.c_str());
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
    error("%s is not set; run me inside the simulated host", sim::kStateEnv);
    return 1;
  }
  std::string state_dir = state_env;
  if (args.size() == 2 && (args[1] == "--simulated-reboot" || args[1] == "--boot-id")) {
    try {
      if (args[1] == "--simulated-reboot") sim::reboot(state_dir);
      std::printf("%s\n", sim::boot_id(state_dir).c_str());
      return 0;
    } catch (const std::exception& e) {
      error("%s", e.what());
      return 1;
    }
  }
  if (!sim::append_journal(sim::journal_path(state_dir), args)) {
    error("cannot append to %s: %s", sim::journal_path(state_dir).c_str(), std::strerror(errno));
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
  error("unknown command line:%s", line.c_str());
  return usage(stderr);
}
