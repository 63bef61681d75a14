// Unit tests of the front end: message formatting, pre-check, option scan,
// refusal rules, console output, operator questions and the event log.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/vexor.h"
#include "tests/builders.h"
#include "tests/fixtures.h"
#include "tests/readers.h"

namespace {

using testhost::kUsage;
using testhost::OutputCapture;
using testhost::stream_text;

// A mutable argument vector, as main() receives it (argv[argc] is null).
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    words_.insert(words_.begin(), "vexor");
    for (auto& w : words_) ptrs_.push_back(w.data());
    ptrs_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return ptrs_.data(); }
  // The words as they are now (the pre-check may rewrite them in place).
  std::vector<std::string> now() const {
    std::vector<std::string> out;
    for (size_t i = 1; i + 1 < ptrs_.size(); ++i) out.emplace_back(ptrs_[i]);
    return out;
  }

 private:
  std::vector<std::string> words_;
  std::vector<char*> ptrs_;
};

// Feeds text to standard input through a pipe whose writing end is closed,
// so reading past the text meets end of input.
class StdinFeed {
 public:
  explicit StdinFeed(const std::string& text) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    saved_ = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    std::clearerr(stdin);
  }
  // What the code under test left unread.
  std::string rest() {
    std::string out;
    int c;
    while ((c = std::fgetc(stdin)) != EOF) out.push_back(static_cast<char>(c));
    return out;
  }
  ~StdinFeed() {
    rest();  // drain stdio's buffer so nothing leaks into the next test
    dup2(saved_, 0);
    close(saved_);
    std::clearerr(stdin);
  }

 private:
  int saved_ = -1;
};

// The ctime form: "Wed Jun 30 21:49:08 1993", day right-aligned in two.
const char* const kTimeForm =
    R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
    R"(( [1-9]|[12][0-9]|3[01]) [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4})";

using FrontEnd = testhost::RunStateTest;

// ---------------------------------------------------------------- strprintf

TEST(Strprintf, FormatsBeyondAnyFixedBuffer) {
  std::string long_arg(5000, 'x');
  EXPECT_EQ(strprintf("<%s>", long_arg.c_str()).size(), 5002u);
  EXPECT_EQ(strprintf("%d%%", 7), "7%");
}

// ---------------------------------------------------------------- pre-check

struct PreCheckCase {
  std::vector<std::string> args;
  int32_t result;
  std::vector<std::string> rewritten;  // argv after the call (when result 0)
  std::string report;                  // g_XMLDiscoveryReport after the call
};

class PreCheck : public FrontEnd, public ::testing::WithParamInterface<PreCheckCase> {};

TEST_P(PreCheck, ResultRewriteAndReportName) {
  const PreCheckCase& c = GetParam();
  Argv a(c.args);
  EXPECT_EQ(verify_cmd_line_options(a.argc(), a.argv()), c.result);
  if (c.result == 0) {
    EXPECT_EQ(a.now(), c.rewritten);
    EXPECT_EQ(g_XMLDiscoveryReport, c.report);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Counts, PreCheck,
    ::testing::Values(
        // No argument: go on, no report name chosen.
        PreCheckCase{{}, 0, {}, ""},
        // One argument: slash forms, dash rules, default report name.
        PreCheckCase{{"-c"}, 0, {"-c"}, "nicdiscovery.xml"},
        PreCheckCase{{"/d"}, 0, {"-d"}, "nicdiscovery.xml"},
        PreCheckCase{{"/u"}, 0, {"-u"}, "nicdiscovery.xml"},
        PreCheckCase{{"/s"}, 0, {"-s"}, "nicdiscovery.xml"},
        PreCheckCase{{"/F"}, 0, {"-F"}, "nicdiscovery.xml"},
        PreCheckCase{{"-ureport.xml"}, 0, {"-ureport.xml"}, "nicdiscovery.xml"},
        PreCheckCase{{"a-b"}, 0, {"a-b"}, "nicdiscovery.xml"},
        PreCheckCase{{"/c"}, 2, {}, ""}, PreCheckCase{{"/f"}, 2, {}, ""},
        PreCheckCase{{"/x"}, 2, {}, ""}, PreCheckCase{{"-"}, 2, {}, ""},
        PreCheckCase{{"s"}, 2, {}, ""}, PreCheckCase{{""}, 2, {}, ""},
        // Two arguments: first /d /u /s, second /F; the second is the name.
        PreCheckCase{{"-d", "out.xml"}, 0, {"-d", "out.xml"}, "out.xml"},
        PreCheckCase{{"/u", "in.xml"}, 0, {"-u", "in.xml"}, "in.xml"},
        PreCheckCase{{"/s", "/F"}, 0, {"-s", "-F"}, "-F"},
        PreCheckCase{{"/d", "/d"}, 0, {"-d", "/d"}, "/d"},
        PreCheckCase{{"-su", "x.xml"}, 0, {"-su", "x.xml"}, "x.xml"},
        PreCheckCase{{"/F", "-s"}, 2, {}, ""}, PreCheckCase{{"x", "-s"}, 2, {}, ""},
        PreCheckCase{{"-", "x"}, 2, {}, ""},
        // Three arguments: only the boot-enable request passes.
        PreCheckCase{{"eth0", "-bootenable", "rom"}, 256, {}, ""},
        PreCheckCase{{"eth0", "-bootenable", "iscsi"}, 256, {}, ""},
        PreCheckCase{{"eth0", "-bootenable", "disabled"}, 256, {}, ""},
        PreCheckCase{{"myeth12", "-bootenable", "rom"}, 256, {}, ""},
        PreCheckCase{{"ens1f0", "-bootenable", "rom"}, 2, {}, ""},
        PreCheckCase{{"eth0", "-bootenable", "pxe"}, 2, {}, ""},
        PreCheckCase{{"eth0", "-bootenable", "ROM"}, 2, {}, ""},
        PreCheckCase{{"eth0", "-bootEnable", "rom"}, 2, {}, ""},
        PreCheckCase{{"eth0", "bootenable", "rom"}, 2, {}, ""},
        PreCheckCase{{"-s", "-u", "x.xml"}, 2, {}, ""},
        // Four or more: always refused.
        PreCheckCase{{"eth0", "-bootenable", "rom", "x"}, 2, {}, ""},
        PreCheckCase{{"-s", "-F", "-y", "-c", "-d"}, 2, {}, ""}));
// clang-format on

TEST_F(FrontEnd, PreCheckRefusesAnEmptyArgumentVector) {
  char* none[] = {nullptr};
  EXPECT_EQ(verify_cmd_line_options(0, none), 2);
}

TEST_F(FrontEnd, PreCheckKeepsAReportNameOfAnyLength) {
  const std::string name(10000, 'r');
  Argv a({"-d", name});
  EXPECT_EQ(verify_cmd_line_options(a.argc(), a.argv()), 0);
  EXPECT_EQ(g_XMLDiscoveryReport, name);
}

// ------------------------------------------------------------- option scan

struct ScanCase {
  std::vector<std::string> args;
  int32_t result;
  int32_t flags;
  int32_t silent;
  std::string out;  // console output
};

class OptionScan : public FrontEnd, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(OptionScan, SetsBitsOrEndsWithUsage) {
  const ScanCase& c = GetParam();
  Argv a(c.args);
  OutputCapture cap;
  EXPECT_EQ(scan_cmd_line_options(a.argc(), a.argv()), c.result);
  EXPECT_EQ(cap.text(), c.out);
  EXPECT_EQ(g_iFlag, c.flags);
  EXPECT_EQ(silent, c.silent);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Options, OptionScan,
    ::testing::Values(ScanCase{{}, 0, 0, 0, ""}, ScanCase{{"-c"}, 0, 0x1, 0, ""},
                      ScanCase{{"-s"}, 0, 0x2, 2, ""}, ScanCase{{"-F"}, 0, 0x4, 0, ""},
                      ScanCase{{"-f"}, 0, 0x4, 0, ""}, ScanCase{{"-p"}, 0, 0x8, 0, ""},
                      ScanCase{{"-y"}, 0, 0x10, 0, ""}, ScanCase{{"-d"}, 0, 0x20, 0, ""},
                      ScanCase{{"-u", "r.xml"}, 0, 0x40, 0, ""},
                      ScanCase{{"-ur.xml"}, 0, 0x40, 0, ""},
                      ScanCase{{"-sF"}, 0, 0x6, 2, ""}, ScanCase{{"-s", "-F"}, 0, 0x6, 2, ""},
                      ScanCase{{"-su", "r.xml"}, 0, 0x42, 2, ""},
                      ScanCase{{"-d", "report.xml"}, 0, 0x20, 0, ""},
                      ScanCase{{"-cspyFfd", "-u", "x"}, 0, 0x7f, 2, ""},
                      // -i is the default interactive upgrade: no bit, no refusal.
                      ScanCase{{"-i"}, 0, 0, 0, ""}, ScanCase{{"-si"}, 0, 0x2, 2, ""},
                      ScanCase{{"-h"}, 1, 0, 0, kUsage},
                      ScanCase{{"-ch"}, 1, 0x1, 0, kUsage},
                      // -s before -h silences the usage text.
                      ScanCase{{"-sh"}, 1, 0x2, 2, ""},
                      ScanCase{{"-x"}, 1, 0, 0, "Unknown command line option: ?\n" + kUsage},
                      ScanCase{{"-u"}, 1, 0, 0, "Unknown command line option: ?\n" + kUsage},
                      ScanCase{{"-cx"}, 1, 0x1, 0, "Unknown command line option: ?\n" + kUsage},
                      ScanCase{{"-dx"}, 1, 0x20, 0, ""}));
// clang-format on

TEST_F(FrontEnd, OptionScanStartsAfreshAfterAnAbandonedGroup) {
  // "-hc" stops at h with c still pending inside getopt; a later scan must
  // not pick that c up.
  Argv first({"-hc"});
  {
    OutputCapture cap;
    EXPECT_EQ(scan_cmd_line_options(first.argc(), first.argv()), 1);
  }
  g_iFlag = 0;
  Argv second({"-d"});
  EXPECT_EQ(scan_cmd_line_options(second.argc(), second.argv()), 0);
  EXPECT_EQ(g_iFlag, FLAG_DISCOVER);
}

// ----------------------------------------------------------- refusal rules

TEST(OptionRefusal, EveryCombinationAgainstTheAcceptedSets) {
  const int32_t s = FLAG_SILENT, F = FLAG_FORCE, u = FLAG_APPLY;
  const std::vector<int32_t> accepted = {
      0, s, F, s | F, FLAG_P, FLAG_YES, FLAG_LIST, FLAG_DISCOVER, u, s | u};
  for (int32_t flags = 0; flags < 0x80; ++flags) {
    const bool ok = std::find(accepted.begin(), accepted.end(), flags) != accepted.end();
    EXPECT_EQ(option_set_refused(flags), !ok) << "option bits 0x" << std::hex << flags;
  }
}

// ----------------------------------------------------------- print_message

struct SilenceCase {
  int32_t flags;
  bool shown;
};

class PrintMessage : public FrontEnd, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(PrintMessage, SilencedOnlyBySilentReportAndApplyBits) {
  g_iFlag = GetParam().flags;
  const std::string msg = "100% done %s %d %n\n";
  OutputCapture cap;
  print_message(msg);
  EXPECT_EQ(cap.text(), GetParam().shown ? msg : "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Bits, PrintMessage,
    ::testing::Values(SilenceCase{0, true}, SilenceCase{FLAG_LIST, true},
                      SilenceCase{FLAG_FORCE, true}, SilenceCase{FLAG_P, true},
                      SilenceCase{FLAG_YES, true},
                      SilenceCase{STATUS_QUIT | STATUS_FAILED | STATUS_FLASHED, true},
                      SilenceCase{FLAG_SILENT, false}, SilenceCase{FLAG_DISCOVER, false},
                      SilenceCase{FLAG_APPLY, false},
                      SilenceCase{FLAG_SILENT | FLAG_APPLY, false},
                      SilenceCase{FLAG_LIST | FLAG_DISCOVER, false}));
// clang-format on

// -------------------------------------------------------------- nfwu_yesno

struct AnswerCase {
  std::string input;
  int32_t def_ans;
  int32_t expected;
};

class YesNo : public FrontEnd, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(YesNo, AnswerRules) {
  const AnswerCase& c = GetParam();
  StdinFeed feed(c.input);
  OutputCapture cap;
  EXPECT_EQ(nfwu_yesno("Flash?", 1, 1, c.def_ans, "y"), c.expected)
      << "answer \"" << c.input << "\"";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Answers, YesNo,
    ::testing::Values(
        // Empty line, or one character at end of input: the default.
        AnswerCase{"\n", 0, 0}, AnswerCase{"\n", 1, 1}, AnswerCase{"\n", 3, 3},
        AnswerCase{"n", 0, 0}, AnswerCase{"y", 1, 1},
        AnswerCase{"y\n", 1, 0}, AnswerCase{"yes\n", 1, 0}, AnswerCase{"Y\n", 1, 0},
        AnswerCase{"Yes\n", 1, 0}, AnswerCase{"YES\n", 1, 0}, AnswerCase{"yes", 1, 0},
        AnswerCase{"q\n", 0, 2}, AnswerCase{"Q\n", 0, 2}, AnswerCase{"Quit\n", 0, 2},
        AnswerCase{"QUIT\n", 0, 2}, AnswerCase{"quit\n", 0, 2},
        AnswerCase{"c\n", 0, 3}, AnswerCase{"C\n", 0, 3},
        // Anything else is "no": case, blanks and carriage returns count.
        AnswerCase{"n\n", 0, 1}, AnswerCase{"no\n", 0, 1}, AnswerCase{"yEs\n", 0, 1},
        AnswerCase{"yES\n", 0, 1}, AnswerCase{"qUIT\n", 0, 1}, AnswerCase{" y\n", 0, 1},
        AnswerCase{"y \n", 0, 1}, AnswerCase{"y\r\n", 0, 1}, AnswerCase{"cc\n", 0, 1},
        AnswerCase{"\r\n", 0, 1}, AnswerCase{"yes\nno\n", 1, 0}));
// clang-format on

TEST_F(FrontEnd, YesNoShowsThePromptAndLogsTheAnswerAsRead) {
  ppyxflash_fout = std::tmpfile();
  StdinFeed feed("Yes\nnext\n");
  OutputCapture cap;
  EXPECT_EQ(nfwu_yesno("Would you like to flash the firmware?\n", 1, 1, 0, "y"), 0);
  EXPECT_EQ(cap.text(), "Would you like to flash the firmware?\n y/n/q (y):");
  EXPECT_EQ(feed.rest(), "next\n");
  const std::regex line(std::string(R"(\[INFO\]      \[)") + kTimeForm +
                        R"(\] Would you like to flash the firmware\?\n y/n/q \(y\): Yes\n\n\n)");
  const std::string log = stream_text(ppyxflash_fout);
  EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(FrontEnd, YesNoAtEndOfInputQuitsWithoutLogging) {
  ppyxflash_fout = std::tmpfile();
  StdinFeed feed("");
  OutputCapture cap;
  EXPECT_EQ(nfwu_yesno("Go on?", 0, 0, 0, "y"), 2);
  EXPECT_EQ(cap.text(), "Go on? y/n/q (y):Unknown input problem!\nQuit...\n");
  EXPECT_EQ(stream_text(ppyxflash_fout), "");
}

TEST_F(FrontEnd, YesNoDropsTheRestOfAnOverlongAnswer) {
  ppyxflash_fout = std::tmpfile();
  // 499 characters are the answer; the rest of that line must not become
  // the answer to the next question.
  const std::string longline = std::string(499, 'y') + "yes\n";
  StdinFeed feed(longline + "q\n");
  OutputCapture cap;
  EXPECT_EQ(nfwu_yesno("First?", 0, 0, 0, "y"), 1);
  EXPECT_EQ(nfwu_yesno("Second?", 0, 0, 0, "y"), 2);
  const std::string log = stream_text(ppyxflash_fout);
  EXPECT_NE(log.find("First? y/n/q (y): " + std::string(499, 'y') + "\n\n"), std::string::npos);
  EXPECT_EQ(log.find("yyyes"), std::string::npos);
  EXPECT_NE(log.find("Second? y/n/q (y): q\n\n\n"), std::string::npos);
}

struct ShortcutCase {
  int32_t flags;
  const char* yorn;
};

class YesNoShortcut : public FrontEnd, public ::testing::WithParamInterface<ShortcutCase> {};

TEST_P(YesNoShortcut, AnswersYesWithoutShowingReadingOrLogging) {
  g_iFlag = GetParam().flags;
  ppyxflash_fout = std::tmpfile();
  StdinFeed feed("n\n");
  OutputCapture cap;
  EXPECT_EQ(nfwu_yesno("Downgrade?", 1, 1, 1, GetParam().yorn), 0);
  EXPECT_EQ(cap.text(), "");
  EXPECT_EQ(feed.rest(), "n\n");
  EXPECT_EQ(stream_text(ppyxflash_fout), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Flags, YesNoShortcut,
                         ::testing::Values(ShortcutCase{FLAG_SILENT, "n"},
                                           ShortcutCase{FLAG_SILENT | FLAG_FORCE, "n"},
                                           ShortcutCase{FLAG_YES, "n"},
                                           ShortcutCase{FLAG_YES, "y"}));
// clang-format on

TEST_F(FrontEnd, YesNoPromptIsVisibleBeforeTheAnswerIsRead) {
  // The child asks through a pipe; the parent answers only after it has seen
  // the whole prompt, which it can only see if the prompt was flushed.
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  std::fflush(stdout);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[1]);
    close(from_child[0]);
    _exit(nfwu_yesno("Ready?", 0, 0, 1, "n"));
  }
  close(to_child[0]);
  close(from_child[1]);
  const std::string expected = "Ready? y/n/q (n):";
  std::string seen;
  while (seen.size() < expected.size()) {
    pollfd p{from_child[0], POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    char buf[64];
    const ssize_t n = read(from_child[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(seen, expected);
  ASSERT_EQ(write(to_child[1], "C\n", 2), 2);
  close(to_child[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(from_child[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

// --------------------------------------------------------------- event log

class EventLogLine : public FrontEnd, public ::testing::WithParamInterface<const char*> {};

TEST_P(EventLogLine, TagBracketedTimeAndTextOnDiskAtOnce) {
  const std::string tag = GetParam();
  ASSERT_EQ(tag.size(), 11u);
  char path[] = "/tmp/vexor_log_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  FILE* f = std::fopen(path, "a");
  ASSERT_NE(f, nullptr);
  log_quorvane_event(f, GetParam(), "burn of 0000:81:00.0 at 100%s\n");
  log_quorvane_event(f, GetParam(), "second");
  // Read through another stream while f is still open: each line is flushed.
  const std::string log = testhost::file_text(path);
  std::fclose(f);
  std::remove(path);
  const std::string t =
      std::regex_replace(tag, std::regex(R"([\[\]])"), R"(\$&)") + R"( \[)" + kTimeForm + R"(\] )";
  const std::regex lines(t + R"(burn of 0000:81:00\.0 at 100%s\n\n)" + t + R"(second\n)");
  EXPECT_TRUE(std::regex_match(log, lines)) << log;
}

INSTANTIATE_TEST_SUITE_P(Tags, EventLogLine, ::testing::Values(INFO_TAG, WARNING_TAG, ERROR_TAG));

// Runs a test body in a fresh temporary working directory.
class InTempDir : public FrontEnd {
 protected:
  testhost::ScratchDir dir_{"vexor_front"};
  testhost::WorkingDir cwd_{dir_.path()};
};

TEST_F(InTempDir, OpenEventLogAppendsToWhatEarlierRunsLeft) {
  { std::ofstream("pyxflash.log") << "earlier run\n"; }
  open_event_log("frontend_test.cpp", 1);
  ASSERT_NE(ppyxflash_fout, nullptr);
  log_quorvane_event(ppyxflash_fout, INFO_TAG, "one");
  // A second opening in the same process keeps appending too.
  open_event_log("frontend_test.cpp", 2);
  log_quorvane_event(ppyxflash_fout, WARNING_TAG, "two");
  const std::string log = testhost::file_text("pyxflash.log");
  EXPECT_EQ(log.rfind("earlier run\n[INFO]      [", 0), 0u) << log;
  EXPECT_NE(log.find("] one\n[WARNING]   ["), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("] two\n")) << log;
}

TEST_F(InTempDir, OpenEventLogFailureEndsTheProcess) {
  ASSERT_EQ(mkdir("pyxflash.log", 0755), 0);  // a directory cannot be opened for appending
  EXPECT_EXIT(open_event_log("update.cpp", 42), ::testing::ExitedWithCode(1),
              "^FWUPG_ERROR: could not open pyxflash\\.log \\(21\\), update\\.cpp,42\n$");
}

}  // namespace
