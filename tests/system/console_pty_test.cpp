// The interactive update on a terminal: the question must be on the screen
// before vexor waits for the answer, a burn's progress must appear while the
// burn is still running, and Ctrl-C during a burn must not cut it short.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "sim/simhost.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/pty_reader.h"

using Terminal = testhost::HostTest;

namespace {

// A host whose one adapter takes seconds to burn a newer image.
sim::HostSpec slow_burn_host(double seconds) {
  auto a = testhost::adapter("0000:05:00.0", 0x1017, "QRV11", "16.35.1012", "0002c9aabb11");
  a.flash->burn = sim::BurnBehaviour::slow;
  a.flash->burn_seconds = seconds;
  return testhost::host_of({a}, {{"Quorvane QX-50", "1017", "QRV11", "16.35.2000", "qx50.bin"}});
}

// Starts the interactive update on h on a new terminal (*master is its
// master side), waits for the question, runs at_question while vexor waits
// for the answer, answers y and waits for the burn's first progress line.
// Returns the pid of the process whose exit status is vexor's, or -1 after
// saying what did not come.
pid_t answer_yes_on_terminal(sim::SimHost& h, int* master, std::string& screen,
                             const std::function<void()>& at_question) {
  pid_t pid = ::forkpty(master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    int status = 1;
    try {
      status = h.run_attached({});
    } catch (...) {
      status = 99;
    }
    std::_Exit(status);
  }
  if (pid < 0 || !testpty::read_until(*master, screen, "y/n/q (y):", 30)) {
    ADD_FAILURE() << "no question:\n" << screen;
    return -1;
  }
  at_question();
  if (::write(*master, "y\n", 2) != 2 ||
      !testpty::read_until(*master, screen, "writing image: ", 30)) {
    ADD_FAILURE() << "no burn progress after the answer:\n" << screen;
    return -1;
  }
  return pid;
}

}  // namespace

TEST_F(Terminal, QuestionFirstThenLiveBurnProgress) {
  sim::SimHost& h = host(slow_burn_host(3));
  int master = -1;
  std::string screen;
  // While vexor waits for the answer nothing has been burned yet.
  const pid_t pid =
      answer_yes_on_terminal(h, &master, screen, [&] { EXPECT_TRUE(h.burns().empty()); });
  ASSERT_GT(pid, 0);
  int status = 0;
  // The progress is on the screen while the burn is still going on.
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "vexor had already ended";

  EXPECT_TRUE(testpty::read_until(master, screen, "Please Reboot node", 60)) << screen;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << screen;
  EXPECT_EQ(h.adapter("0000:05:00.0").fw, "16.35.2000");
}

TEST_F(Terminal, CtrlCDuringTheBurnWaitsForItThenEnds) {
  sim::SimHost& h = host(slow_burn_host(2));
  int master = -1;
  std::string screen;
  const pid_t pid = answer_yes_on_terminal(h, &master, screen, [] {});
  ASSERT_GT(pid, 0);
  // The terminal's interrupt character: SIGINT to its foreground group.
  ASSERT_EQ(::write(master, "\x03", 1), 1);
  EXPECT_TRUE(testpty::read_until(master, screen, "vexor: Received SIGINT during the burn", 30))
      << screen;
  EXPECT_TRUE(testpty::read_until(master, screen, "image written", 30)) << screen;
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  testpty::read_until(master, screen, "\x01never printed", 1);
  ::close(master);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status << "\n" << screen;
  EXPECT_EQ(screen.find("Please Reboot node"), std::string::npos) << screen;
  EXPECT_EQ(h.adapter("0000:05:00.0").fw, "16.35.2000");
  const std::string log = h.event_log();
  for (const char* text :
       {"Burning ./nic_fw/qx50.bin into 0000:05:00.0", "Received SIGINT", "Upgrade SUCCESS"})
    EXPECT_NE(log.find(text), std::string::npos) << text << "\nnot in the log:\n" << log;
}
