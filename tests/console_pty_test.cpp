// The interactive update on a terminal: the question must be on the screen
// before vexor waits for the answer, and a burn's progress must appear while
// the burn is still running.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim/simhost.h"
#include "tests/host_builders.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads from the terminal's master side until `want` has appeared in what
// was read so far, or the deadline passes. Returns whether it appeared.
bool read_until(int master, std::string& screen, const std::string& want, int seconds) {
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

}  // namespace

TEST(Terminal, QuestionFirstThenLiveBurnProgress) {
  sim::HostSpec desc;
  auto a = testhost::adapter("0000:05:00.0", 0x1017, "QRV11", "16.35.1012", "0002c9aabb11");
  a.flash->burn = sim::BurnBehaviour::slow;
  a.flash->burn_seconds = 3;
  desc.functions.push_back(a);
  desc.catalog_xml =
      testhost::catalog({{"Quorvane QX-50", "15B3", "1017", "QRV11", "16.35.2000", "qx50.bin"}});
  desc.images = {{"qx50.bin", "QRV11", "16.35.2000"}};
  sim::SimHost host(desc);

  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 1;
    try {
      status = host.run_attached({});
    } catch (...) {
      status = 99;
    }
    std::_Exit(status);
  }

  std::string screen;
  ASSERT_TRUE(read_until(master, screen, "y/n/q (y):", 30)) << screen;
  // vexor is waiting for the answer: nothing has been burned yet.
  EXPECT_TRUE(host.burns().empty());

  ASSERT_EQ(::write(master, "y\n", 2), 2);
  ASSERT_TRUE(read_until(master, screen, "Burning FS4 FW image without signatures", 30)) << screen;
  int status = 0;
  // The progress is on the screen while the burn is still going on.
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "vexor had already ended";

  EXPECT_TRUE(read_until(master, screen, "Please Reboot node", 60)) << screen;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << screen;
  EXPECT_EQ(host.adapter("0000:05:00.0").fw, "16.35.2000");
}
