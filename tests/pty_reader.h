// Reading a terminal's master side in tests that run vexor on a pty.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "sim/simhost.h"

namespace testpty {

// Reads from the terminal's master side until `want` has appeared in what
// was read so far, or `seconds` have passed. Returns whether it appeared.
inline bool read_until(int master, std::string& screen, const std::string& want, int seconds) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (screen.find(want) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[1024];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) return screen.find(want) != std::string::npos;
    screen.append(buf, static_cast<size_t>(n));
  }
  return true;
}

struct TerminalRun {
  int status = -1;
  std::string screen;  // what the terminal showed, "\r\n" read as "\n"
};

// Runs vexor with args on h on a new terminal, typing input (one line per
// question) and reading the screen until vexor has ended.
inline TerminalRun run_on_terminal(sim::SimHost& h, const std::vector<std::string>& args,
                                   const std::string& input) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    int status = 99;
    try {
      status = h.run_attached(args);
    } catch (...) {
    }
    std::_Exit(status);
  }
  TerminalRun r;
  if (pid < 0) return r;
  if (!input.empty() && ::write(master, input.data(), input.size()) < 0) ADD_FAILURE() << "write";
  read_until(master, r.screen, "\x01never printed", 90);  // ends with vexor
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  ::close(master);
  r.screen = std::regex_replace(r.screen, std::regex("\r\n"), "\n");
  return r;
}

}  // namespace testpty
