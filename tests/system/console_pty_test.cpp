// The interactive update on a terminal: the question must be on the screen
// before vexor waits for the answer, and a burn's progress must appear while
// the burn is still running.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/pty_reader.h"

using Terminal = testhost::HostTest;

TEST_F(Terminal, QuestionFirstThenLiveBurnProgress) {
  auto a = testhost::adapter("0000:05:00.0", 0x1017, "QRV11", "16.35.1012", "0002c9aabb11");
  a.flash->burn = sim::BurnBehaviour::slow;
  a.flash->burn_seconds = 3;
  sim::SimHost& h = host(
      testhost::host_of({a}, {{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50.bin"}}));

  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 1;
    try {
      status = h.run_attached({});
    } catch (...) {
      status = 99;
    }
    std::_Exit(status);
  }

  std::string screen;
  ASSERT_TRUE(testpty::read_until(master, screen, "y/n/q (y):", 30)) << screen;
  // vexor is waiting for the answer: nothing has been burned yet.
  EXPECT_TRUE(h.burns().empty());

  ASSERT_EQ(::write(master, "y\n", 2), 2);
  ASSERT_TRUE(testpty::read_until(master, screen, "writing image: ", 30)) << screen;
  int status = 0;
  // The progress is on the screen while the burn is still going on.
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "vexor had already ended";

  EXPECT_TRUE(testpty::read_until(master, screen, "Please Reboot node", 60)) << screen;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << screen;
  EXPECT_EQ(h.adapter("0000:05:00.0").fw, "16.35.2000");
}
