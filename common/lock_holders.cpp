#include "common/lock_holders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "common/text_checks.h"

namespace {

namespace fs = std::filesystem;

std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string proc_of(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

bool has_open(const fs::path& process, dev_t dev, ino_t ino) {
  std::error_code ec;
  for (fs::directory_iterator it(process / "fd", ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st;
    if (::stat(it->path().c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) return true;
  }
  return false;
}

// The processes but this one that have the file open, by process id.
std::vector<pid_t> processes_holding(dev_t dev, ino_t ino) {
  std::vector<pid_t> pids;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid != ::getpid() && has_open(it->path(), dev, ino)) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

pid_t parent_of(pid_t pid) {
  // The command name in parentheses may hold blanks and parentheses itself.
  const std::string stat = text_of(proc_of(pid, "stat"));
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 1));
  std::string state;
  long parent = 0;
  rest >> state >> parent;
  return static_cast<pid_t>(parent);
}

bool has_holding_ancestor(pid_t pid, const std::vector<pid_t>& holders) {
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    pid = parent_of(pid);
    if (std::binary_search(holders.begin(), holders.end(), pid)) return true;
  }
  return false;
}

std::vector<std::string> command_line(pid_t pid) {
  std::vector<std::string> args;
  std::istringstream raw(text_of(proc_of(pid, "cmdline")));
  for (std::string arg; std::getline(raw, arg, '\0');) args.push_back(arg);
  return args;
}

lock_holder describe(pid_t pid) {
  lock_holder holder;
  holder.pid = pid;
  holder.name = text_of(proc_of(pid, "comm"));
  if (!holder.name.empty() && holder.name.back() == '\n') holder.name.pop_back();
  // The burn's command line, however the utility was started (a script's
  // interpreter in front of it included): "... -d ADDRESS -i IMAGE b".
  const std::vector<std::string> args = command_line(pid);
  if (!args.empty() && args.back() == "b") {
    const auto d = std::find(args.begin(), args.end(), "-d");
    if (d != args.end() && d + 1 != args.end()) {
      holder.what = lock_holder::kind::burn;
      holder.address = *(d + 1);
      return holder;
    }
  }
  if (holder.name == "vexor") holder.what = lock_holder::kind::vexor_run;
  return holder;
}

}  // namespace

std::optional<lock_holder> find_lock_holder(dev_t dev, ino_t ino) {
  const std::vector<pid_t> holders = processes_holding(dev, ino);
  for (const pid_t pid : holders)
    if (!has_holding_ancestor(pid, holders)) return describe(pid);
  return std::nullopt;
}

std::string holder_text(const lock_holder& holder) {
  const std::string pid = std::to_string(holder.pid);
  switch (holder.what) {
    case lock_holder::kind::vexor_run:
      return "another vexor run (pid " + pid + ") is using the adapters";
    case lock_holder::kind::burn:
      return "the flash utility's burn of " + escaped(holder.address) + " (pid " + pid + ", " +
             escaped(holder.name) +
             "), left running by a vexor run that has ended, is using "
             "the adapters";
    case lock_holder::kind::other: break;
  }
  return "another process (pid " + pid + ", " + escaped(holder.name) + ") is using the adapters";
}
