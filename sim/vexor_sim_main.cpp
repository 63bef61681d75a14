// vexor-sim: runs vexor, attached to the terminal, on a simulated host
// described by a host file (see sim/hosts/demo.host for the format).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "sim/hostfile.h"
#include "sim/sim_state.h"
#include "sim/simhost.h"

namespace {

// Exit status for the simulator's own failures, apart from vexor's 0, 1, 2.
constexpr int kSetupFailed = 125;

int usage(FILE* to) {
  std::fprintf(
      to,
      "Usage: vexor-sim [--dir DIR] HOSTFILE [-- VEXOR-ARGS...]\n"
      "       vexor-sim [--dir DIR] HOSTFILE --shell COMMAND\n"
      "       vexor-sim [--dir DIR] HOSTFILE --shell PROGRAM ARG...\n"
      "       vexor-sim --dir DIR --journal\n"
      "Runs vexor on the simulated host that HOSTFILE describes and exits with its status.\n"
      "With --dir the host is laid out in DIR and kept there, so that a later run on the\n"
      "same DIR sees what this one left (flashed adapters, event log, report); without\n"
      "it the host lives in a temporary directory that is removed afterwards.\n"
      "--shell runs COMMAND with /bin/sh inside the host instead of vexor; given several\n"
      "words, it runs PROGRAM with exactly those arguments (a command prefix for\n"
      "frameworks that pass an argument vector), in the component directory.\n"
      "--journal prints every flash-utility command line run on the host in DIR.\n");
  return to == stdout ? 0 : kSetupFailed;
}

// An argument vector as a shell command line that gives back exactly these
// words: a word of plain characters stands as it is, any other is quoted.
// Used for journal lines and to run an argument vector through /bin/sh.
std::string shell_line(const std::vector<std::string>& argv) {
  static constexpr const char* kPlain =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-";
  std::string line;
  for (const auto& a : argv) {
    if (!line.empty()) line += ' ';
    if (!a.empty() && a.find_first_not_of(kPlain) == std::string::npos) {
      line += a;
      continue;
    }
    line += '\'';
    for (char c : a) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string dir, host_file;
  std::vector<std::string> shell_words;
  bool journal = false, shell = false;
  std::vector<std::string> vexor_args;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      vexor_args.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (a == "-h" || a == "--help") return usage(stdout);
    if (a == "--dir" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (a == "--journal") {
      journal = true;
    } else if (a == "--shell" && i + 1 < args.size()) {
      shell = true;
      shell_words.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (!a.empty() && a[0] != '-' && host_file.empty()) {
      host_file = a;
    } else {
      std::fprintf(stderr, "vexor-sim: unexpected argument \"%s\"\n", a.c_str());
      return usage(stderr);
    }
  }

  try {
    if (journal) {
      if (dir.empty() || !host_file.empty() || shell || !vexor_args.empty()) return usage(stderr);
      auto text = sim::slurp(dir + "/vexor-sim.host");
      if (!text) {
        std::fprintf(stderr, "vexor-sim: %s holds no simulated host\n", dir.c_str());
        return kSetupFailed;
      }
      for (const auto& entry : sim::read_journal(sim::journal_path(dir + "/state")))
        std::printf("%s\n", shell_line(entry).c_str());
      return 0;
    }
    if (host_file.empty() || (shell && !vexor_args.empty())) return usage(stderr);
    sim::HostSpec desc = sim::parse_host_file(host_file);
    sim::SimHost host =
        dir.empty() ? sim::SimHost(std::move(desc)) : sim::SimHost(std::move(desc), dir);
    if (!shell) return host.run_attached(vexor_args);
    // One word is a command line for the shell; several are an argument
    // vector, quoted so that the shell hands each word over unchanged.
    return host.run_shell_attached(
        shell_words.size() == 1 ? shell_words[0] : "exec " + shell_line(shell_words));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexor-sim: %s\n", e.what());
    return kSetupFailed;
  }
}
