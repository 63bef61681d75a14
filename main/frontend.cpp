// Front end: command line, run modes, console messages, prompts, event log.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>

#include "common/lock_holders.h"
#include "common/own_directory.h"
#include "common/run_lock.h"
#include "common/signals.h"
#include "common/text_checks.h"
#include "main/vexor.h"

int32_t g_iFlag = 0;
int32_t silent = 0;
int32_t boot_mode_value = 0;
const char* const g_XMLFwFile = CATALOG_FILE;
const char* const g_XMLDiscoveryReportDefault = "nicdiscovery.xml";
std::string g_XMLDiscoveryReport;
int g_report_base_dir = AT_FDCWD;
FILE* ppyxflash_fout = nullptr;
std::string print_msg;
std::string g_run_lock_path = "/run/vexor/vexor.lock";

namespace {

// The run lock, held from the start of a mode to the end of the process.
unique_fd g_run_lock;

// What a run says at most once on standard error: its reason line, with
// the first cause of failure noted for it, and that its event log cannot
// be written.
struct SaidOnce {
  std::string noted_reason;  // "" while none was noted
  bool reason_said = false;
  bool log_failure_said = false;
  // Whether a mode runs: from then on every failure says its reason line,
  // the interactive update's too.
  bool mode_running = false;
};
SaidOnce g_said;

// Writes the run's one reason line, "vexor: why", after what standard
// output holds so far.
void say_reason_line(const std::string& why) {
  g_said.reason_said = true;
  std::fflush(stdout);
  std::fprintf(stderr, "vexor: %s\n", why.c_str());
  std::fflush(stderr);
}

// Puts the front end's run-wide variables back to what a fresh process
// starts with, closing the event log if one is open.
void reset_front_end() {
  if (ppyxflash_fout != nullptr) std::fclose(ppyxflash_fout);
  ppyxflash_fout = nullptr;
  g_run_lock.reset();
  for (int32_t* number : {&g_iFlag, &silent, &boot_mode_value}) *number = 0;
  for (std::string* text : {&g_XMLDiscoveryReport, &print_msg}) text->clear();
  g_report_base_dir = AT_FDCWD;
  g_said = SaidOnce{};
}

}  // namespace

void reset_run_state() {
  reset_front_end();
  reset_inventory();
  reset_host_probes();
  set_wait_limits(wait_limits{});
  reset_burn_history();
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

// -------------------------------------------------------------------
// Command line
// -------------------------------------------------------------------

namespace {

bool equals(const char* text, const char* other) {
  return text != nullptr && std::strcmp(text, other) == 0;
}

// Rewrites a slash form ("/d") in place to its dash form ("-d"). Every slash
// form is two characters long, so the argument's own storage always fits.
void rewrite_slash_form(char* arg, const char* const* forms) {
  if (arg == nullptr) return;
  for (const char* const* form = forms; *form != nullptr; ++form) {
    if (std::strcmp(arg, *form) == 0) {
      arg[0] = '-';
      return;
    }
  }
}

// An option word must carry a dash and be more than the dash alone.
bool looks_like_option(const char* arg) {
  return arg != nullptr && contains(arg, "-") && std::strlen(arg) > 1;
}

}  // namespace

int32_t verify_cmd_line_options(int argc, char** pargv) {
  static const char* const kFirstSlashForms2[] = {"/d", "/u", "/s", "/F", nullptr};
  static const char* const kFirstSlashForms3[] = {"/d", "/u", "/s", nullptr};
  static const char* const kSecondSlashForms3[] = {"/F", nullptr};

  switch (argc) {
    case 1: return 0;
    case 2:
      rewrite_slash_form(pargv[1], kFirstSlashForms2);
      if (!looks_like_option(pargv[1])) return 2;
      g_XMLDiscoveryReport = g_XMLDiscoveryReportDefault;
      g_report_base_dir = AT_FDCWD;  // the default report lies beside vexor
      return 0;
    case 3:
      rewrite_slash_form(pargv[1], kFirstSlashForms3);
      rewrite_slash_form(pargv[2], kSecondSlashForms3);
      if (!looks_like_option(pargv[1])) return 2;
      // The caller's name for the report, in the caller's directory.
      g_XMLDiscoveryReport = pargv[2] != nullptr ? pargv[2] : "";
      g_report_base_dir = caller_directory_fd();
      return 0;
    case 4:
      // A boot-enable request for a named interface: accepted, nothing to do.
      if (pargv[1] != nullptr && contains(pargv[1], "eth") && equals(pargv[2], "-bootenable") &&
          (equals(pargv[3], "rom") || equals(pargv[3], "iscsi") || equals(pargv[3], "disabled"))) {
        return 256;
      }
      return 2;
    default: return 2;
  }
}

void usage() {
  print_message("USAGE: vexor [ -s ] [ -s [ -F ] ] [ -s [ -f ] ] [ -y ] [ -d ] [ -c ] [ -h ]\n");
  print_message("\t With no option, interactively upgrade firmware. \n");
  print_message("\t -s  Silently upgrade firmware.\n");
  print_message("\t -y  Assume default repsonse for all prompts.\n");
  print_message("\t -d  Generates NIC Discovery xml file for currently installed version.\n");
  print_message("\t -c  Display currently installed firmware information.\n");
  print_message("\t -h  Display this help menu.\n");
}

int32_t scan_cmd_line_options(int argc, char** argv) {
  // getopt keeps its position in globals; 0 makes glibc start afresh, also
  // in the middle of a group of options left over from an earlier scan.
  optind = 0;
  opterr = 1;
  int opt;
  while ((opt = getopt(argc, argv, "hcsFfipydu:")) != -1) {
    switch (opt) {
      case 'c': g_iFlag |= FLAG_LIST; break;
      case 's':
        g_iFlag |= FLAG_SILENT;
        silent = 2;
        break;
      case 'F':
      case 'f': g_iFlag |= FLAG_FORCE; break;
      case 'p': g_iFlag |= FLAG_P; break;
      case 'y': g_iFlag |= FLAG_YES; break;
      case 'd': g_iFlag |= FLAG_DISCOVER; break;
      case 'u':
        // The report name comes from the pre-check; the argument is only
        // consumed here.
        g_iFlag |= FLAG_APPLY;
        break;
      case 'i':
        // -i names the default, interactive upgrade: accepted and sets no
        // bit, so "-i" alone runs the same as no option at all.
        break;
      case 'h':
        usage();
        say_reason("the usage text was asked for (-h) with other options; vexor -h alone shows it");
        return 1;
      default:
        print_msg = strprintf("Unknown command line option: %c\n", opt);
        print_message(print_msg);
        usage();
        say_reason("an unknown option, or -u without its report (vexor -h shows the usage)");
        return 1;
    }
  }
  return 0;
}

bool option_set_refused(int32_t flags) {
  // The option sets that go together; any other combination is refused.
  static constexpr int32_t kAccepted[] = {
      0,                         // none: the interactive update
      FLAG_SILENT,               // -s
      FLAG_FORCE,                // -F or -f
      FLAG_SILENT | FLAG_FORCE,  // -s -F
      FLAG_P,                    // -p
      FLAG_YES,                  // -y
      FLAG_LIST,                 // -c
      FLAG_DISCOVER,             // -d
      FLAG_APPLY,                // -u
      FLAG_SILENT | FLAG_APPLY,  // -s -u
  };
  return std::find(std::begin(kAccepted), std::end(kAccepted), flags & OPTION_BITS) ==
         std::end(kAccepted);
}

std::string banner_text() {
  const std::string rule(98, '#');
  return "\n" + rule + "\n" +
         "Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux\n" +
         "Copyright (C) 2026 Zentrik. All rights reserved.\n" + rule + "\n\n";
}

int32_t run_boot_mode_gate() {
  switch (get_boot_mode()) {
    case 0: print_message("SecureBoot is disabled.\n"); return 0;
    case 1:
      print_message("SecureBoot is enabled.\n");
      boot_mode_value = 1;
      return 0;
    case 2:
      print_message(
          "SecureBoot is enabled. qtk and quarz tools are not available/installed for firmware "
          "flash.\n");
      say_reason(
          strprintf("Secure Boot is on, and /usr/bin/qtk or %s is missing: no flash "
                    "utility can be used",
                    SYSTEM_FLASH_UTILITY));
      return 1;
    default:
      print_message("Unable to determine the boot mode\n");
      say_reason(
          "the Secure Boot state could not be determined (/usr/bin/mokutil, "
          "/usr/bin/qtk)");
      return 1;
  }
}

namespace {

// "--version" or "-V" as the only argument. Scripts read the answer as one
// line, so it is taken before the pre-check and prints nothing else.
bool is_version_request(int argc, char** argv) {
  return argc == 2 && (equals(argv[1], "--version") || equals(argv[1], "-V"));
}

// The option words of flags, as "-s -y".
std::string option_words(int32_t flags) {
  static constexpr std::pair<int32_t, const char*> kWords[] = {
      {FLAG_LIST, "-c"}, {FLAG_SILENT, "-s"},   {FLAG_FORCE, "-F"}, {FLAG_P, "-p"},
      {FLAG_YES, "-y"},  {FLAG_DISCOVER, "-d"}, {FLAG_APPLY, "-u"}};
  std::string words;
  for (const auto& [bit, word] : kWords) {
    if (!(flags & bit)) continue;
    if (!words.empty()) words += ' ';
    words += word;
  }
  return words;
}

// Runs the mode the options chose and returns its exit status; a failure
// the mode did not explain gets the reason noted during the run.
int run_mode() {
  g_said.mode_running = true;
  const int32_t status = (g_iFlag & FLAG_LIST)       ? show_current()
                         : (g_iFlag & FLAG_DISCOVER) ? discover_HW()
                         : (g_iFlag & FLAG_APPLY)    ? read_discovery_report()
                                                     : fwupg();
  if (status != 0) {
    say_reason(!noted_reason().empty()
                   ? noted_reason()
                   : strprintf("the run ended with status %d (see %s)", status, EVENT_LOG));
  }
  return status;
}

// Writes "vexor <project version>\n" to stdout. Returns the exit status: 1
// when the line could not be written, so a script never reads an empty answer
// as success.
int print_version() {
  std::printf("vexor %s\n", VEXOR_VERSION);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vexor: cannot write the version to standard output: %s\n",
                 std::strerror(errno));
    return 1;
  }
  return 0;
}

// Makes the component directory the working directory, whatever directory
// the caller started vexor in, and gives every child the fixed PATH. False,
// after saying why on standard error, when vexor cannot work there.
bool settle_in_own_directory() {
  std::string failed = enter_own_directory();
  if (failed.empty() && !use_child_path())
    failed = strprintf("PATH cannot be set for its children: %s", std::strerror(errno));
  if (failed.empty()) return true;
  std::fprintf(stderr, "vexor: cannot work in its own directory: %s\n", failed.c_str());
  return false;
}

}  // namespace

int vexor_main(int argc, char** argv) {
  // Before anything opens a file or starts a child.
  prepare_process();
  if (is_version_request(argc, argv)) return print_version();
  // Before the command line is read: the report it names is the caller's.
  if (!settle_in_own_directory()) return 1;

  switch (verify_cmd_line_options(argc, argv)) {
    case 0: break;
    case 256: return 0;
    default: usage(); return 1;
  }

  if (scan_cmd_line_options(argc, argv) != 0) return 1;

  // The banner bypasses print_message: it is shown in every mode.
  const std::string banner = banner_text();
  std::fwrite(banner.data(), 1, banner.size(), stdout);
  std::fflush(stdout);

  // Before the gate, whose commands are the first ones run with a limit.
  take_wait_limits();
  if (run_boot_mode_gate() != 0) return 1;

  if (option_set_refused(g_iFlag)) {
    usage();
    say_reason(
        "the options " + option_words(g_iFlag) + " do not go together (vexor -h shows the usage)");
    return 1;
  }

  // Made before the mode runs: once memory has run out, composing the line
  // could fail too.
  static const std::string out_of_memory =
      "Out of memory: a memory allocation failed, the run is ended\n";
  static const std::string out_of_memory_reason =
      strprintf("a memory allocation failed, the run is ended (see %s)", EVENT_LOG);
  try {
    return run_mode();
  } catch (const std::bad_alloc&) {
    // What the mode held is released by now; whatever it had done (burns
    // included) stands, and the caller learns that the run did not finish.
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, out_of_memory);
    say_reason(out_of_memory_reason);
    return 2;
  }
}

// -------------------------------------------------------------------
// Console, prompts, event log
// -------------------------------------------------------------------

bool console_silenced() {
  return (g_iFlag & FLAG_SILENT) || (g_iFlag & FLAG_APPLY) || (g_iFlag & FLAG_DISCOVER);
}

void print_message(const std::string& msg) {
  if (console_silenced()) return;
  std::fwrite(msg.data(), 1, msg.size(), stdout);
  // Visible at once: a prompt waits for its answer, and a child process
  // writes to the same terminal next.
  std::fflush(stdout);
}

int32_t nfwu_yesno(const char* prompt, int32_t /*sil_ans*/, int32_t /*frc_ans*/, int32_t def_ans,
                   const char* yorn) {
  if (g_iFlag & FLAG_SILENT) return 0;
  if (g_iFlag & FLAG_YES) return 0;

  const std::string shown = strprintf("%s y/n/q (%s):", prompt, yorn);
  print_message(shown);

  // At most 499 characters make one answer.
  char line[500];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    print_message("Unknown input problem!\nQuit...\n");
    return 2;
  }
  std::string answer(line);
  // The rest of an over-long line is read and dropped: otherwise it would
  // be taken as the answer to the next question. Such an answer matches no
  // word, so it counts as "no".
  if (!answer.empty() && answer.back() != '\n') {
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
    }
  }

  // Logged as read, its newline included; what the terminal let through
  // besides (a carriage return, an escape sequence) is shown as escapes, so
  // that the answer stays one entry.
  const bool ended = !answer.empty() && answer.back() == '\n';
  const std::string as_read =
      escaped(std::string_view(answer).substr(0, answer.size() - (ended ? 1 : 0))) +
      (ended ? "\n" : "");
  log_quorvane_event(ppyxflash_fout, INFO_TAG,
                     strprintf("%s %s\n", shown.c_str(), as_read.c_str()));

  const bool only_one_char = answer.size() == 1;
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (only_one_char) return def_ans;

  static const char* const kYes[] = {"y", "yes", "Y", "Yes", "YES"};
  static const char* const kQuit[] = {"q", "Q", "Quit", "QUIT", "quit"};
  for (const char* word : kYes) {
    if (answer == word) return 0;
  }
  for (const char* word : kQuit) {
    if (answer == word) return 2;
  }
  if (answer == "c" || answer == "C") return 3;
  return 1;
}

void log_quorvane_event(FILE* pevent_file, const char* pevent_tag, const std::string& pextra_text) {
  // Before a mode has opened the log there is nowhere to write to.
  if (pevent_file == nullptr) return;
  const std::time_t now = std::time(nullptr);
  char when[52] = "";
  if (ctime_r(&now, when) == nullptr) when[0] = '\0';
  when[std::strcspn(when, "\n")] = '\0';
  const bool written =
      std::fprintf(pevent_file, "%s [%s] %s\n", pevent_tag, when, pextra_text.c_str()) >= 0;
  if ((std::fflush(pevent_file) == 0 && written) || g_said.log_failure_said) return;
  // A full or failing disk must not leave a run without any word of what it
  // did: said once, and the run goes on (the burns matter more than the log).
  const int err = errno;
  g_said.log_failure_said = true;
  std::fflush(stdout);
  std::fprintf(stderr,
               "%s: the event log cannot be written: %s (errno %d); the run goes on without "
               "it\n",
               EVENT_LOG, std::strerror(err), err);
  std::fflush(stderr);
}

void open_event_log(const char* unit, int line) {
  // One stream per process: a second opening replaces the first instead of
  // leaking it.
  if (ppyxflash_fout != nullptr) {
    std::fclose(ppyxflash_fout);
    ppyxflash_fout = nullptr;
  }
  ppyxflash_fout = std::fopen(EVENT_LOG, "ae");
  if (ppyxflash_fout == nullptr) {
    const int err = errno;
    std::fprintf(stderr, "FWUPG_ERROR: could not open %s (%d), %s,%d\n", EVENT_LOG, err, unit,
                 line);
    end_run(1,
            strprintf("the event log %s could not be opened: %s", EVENT_LOG, std::strerror(err)));
  }
}

void note_reason(const std::string& why) {
  if (g_said.noted_reason.empty()) g_said.noted_reason = why;
}

const std::string& noted_reason() { return g_said.noted_reason; }

void say_reason(const std::string& why) {
  const bool explained_here =
      g_said.mode_running || (g_iFlag & (FLAG_SILENT | FLAG_LIST | FLAG_DISCOVER | FLAG_APPLY)) ||
      console_silenced();
  if (g_said.reason_said || !explained_here) return;
  say_reason_line(why);
}

void end_run(int status, const std::string& why) {
  say_reason(why);
  if (ppyxflash_fout != nullptr) std::fflush(ppyxflash_fout);
  std::exit(status);
}

namespace {

// The run lock is held by another process: says which (deployment tools key
// on these texts) and ends the run.
[[noreturn]] void refuse_held_lock(const std::optional<lock_holder>& holder) {
  const std::string text =
      holder ? holder_text(*holder)
             : std::string("another process is using the adapters (it cannot be seen from here)");
  say_reason_line(text);
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, text + "\n");
  std::exit(1);
}

// The run lock cannot be had at all: a run that only queries goes on
// without it, a run that burns never does.
void go_on_without_lock(bool burns, const std::string& why) {
  if (!burns) {
    log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                       strprintf("Unable to lock %s: %s; the run goes on without the run lock\n",
                                 g_run_lock_path.c_str(), why.c_str()));
    return;
  }
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("Unable to lock %s: %s; nothing is burned without the run lock\n",
                               g_run_lock_path.c_str(), why.c_str()));
  say_reason_line(strprintf("the run lock %s cannot be had (%s); nothing is burned without it",
                            g_run_lock_path.c_str(), why.c_str()));
  std::exit(1);
}

}  // namespace

void take_run_lock(bool exclusive) {
  g_run_lock.reset();
  // A holder that ends between the attempt and the look at who holds it is
  // gone: the lock is tried again, for a short while.
  for (int attempt = 0;; ++attempt) {
    file_lock lock = lock_file(g_run_lock_path, exclusive);
    switch (lock.how) {
      case file_lock::kind::held:
        g_run_lock = std::move(lock.fd);
        // No burn can be running now: one cut short earlier can be told.
        report_interrupted_burns();
        return;
      case file_lock::kind::unavailable: go_on_without_lock(exclusive, escaped(lock.why)); return;
      case file_lock::kind::busy:
        const std::optional<lock_holder> holder = find_lock_holder(lock.dev, lock.ino);
        if (holder || attempt == 20) refuse_held_lock(holder);
        ::usleep(10000);
        break;
    }
  }
}

int run_lock_fd() { return g_run_lock.get(); }

void take_wait_limits() {
  wait_limits limits;
  const std::string refused = wait_limits_from_environment(&limits);
  if (!refused.empty()) end_run(1, refused);
  set_wait_limits(limits);
}
