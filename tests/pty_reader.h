// Reading a terminal's master side in tests that run vexor on a pty.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

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

}  // namespace testpty
