// The flash utility interface: which installation of the utility a run
// uses, the command lines of its query, presence test and burn, the query
// itself and the burn runner. vexor never touches adapter flash itself;
// this is the one place that knows how the utility is called.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/child_process.h"
#include "common/common_structs.h"
#include "common/signals.h"

// One installation of the flash utility.
struct flash_utility {
  const char* program;  // the path it is run by (component_paths.h)
  const char* name;     // its argument zero: the last component of program
};

// How a program tells which installation to use.
enum class utility_choice {
  // vexor: what the Secure Boot gate chose (boot_value 1: the system
  // utility; anything else: the shipped copy), for every query and burn.
  secure_boot_gate,
  // A program that runs no gate (getqrvninfo): the shipped copy when it
  // can be executed, else the system utility.
  first_runnable,
};

// The installation of the flash utility that this run uses.
flash_utility flash_utility_in_use(utility_choice how = utility_choice::secure_boot_gate);

// The system's installation, which the Secure Boot gate tests for.
flash_utility system_flash_utility();

// True when this process may execute utility's program.
bool can_run(const flash_utility& utility);

// One command line of the flash utility.
struct flash_command {
  const char* program;            // what is executed
  std::vector<std::string> args;  // the argument vector, argument zero first
};

// The query for the adapter at a bus address: "-d ADDRESS q".
flash_command query_command(const flash_utility& utility, const std::string& address);

// The presence test: "--help".
flash_command presence_command(const flash_utility& utility);

// The burn of image_path into the adapter at address: "-y -d ADDRESS -i
// IMAGE b", led by "-s" in the utility's silent form.
flash_command burn_command(const flash_utility& utility, const std::string& address,
                           const std::string& image_path, bool silent);

// command as a line for the shell: the program, then every argument after
// argument zero, separated by blanks. Only for arguments that need no
// quoting (fixed words and checked bus addresses).
std::string shell_line(const flash_command& command);

// ---------------------------------------------------------------------------
// How long vexor waits
// ---------------------------------------------------------------------------

// A query of a real adapter answers within seconds and a burn within a few
// minutes; these limits are far beyond that, so that only a utility that
// hangs reaches them. Sites and tests set them through the environment.
inline constexpr int64_t DEFAULT_QUERY_SECONDS = 60;
inline constexpr int64_t DEFAULT_BURN_SECONDS = 1800;
inline constexpr const char* QUERY_TIMEOUT_VARIABLE = "VEXOR_QUERY_TIMEOUT";
inline constexpr const char* BURN_TIMEOUT_VARIABLE = "VEXOR_BURN_TIMEOUT";
// The largest limit taken, about 31 years: far enough for any wait, small
// enough that no clock arithmetic overflows.
inline constexpr int64_t MAX_LIMIT_SECONDS = 999999999;

struct wait_limits {
  // A query (of an adapter, or one of the Secure Boot gate's commands) that
  // has not ended by then is killed and counts as failed.
  int64_t query_seconds = DEFAULT_QUERY_SECONDS;
  // A burn is never killed: vexor stops waiting for it.
  int64_t burn_seconds = DEFAULT_BURN_SECONDS;
};

// The limits of this process: the defaults until set_wait_limits.
const wait_limits& flash_wait_limits();
void set_wait_limits(const wait_limits& limits);

// A limit's text as seconds: nothing unless it is a positive whole number
// (decimal digits alone) no larger than MAX_LIMIT_SECONDS.
std::optional<int64_t> parse_limit_seconds(std::string_view text);

// Reads QUERY_TIMEOUT_VARIABLE and BURN_TIMEOUT_VARIABLE into *limits; a
// variable that is not set leaves its limit as it was. Returns "", or why
// the first value that is not a limit is refused (naming the variable).
std::string wait_limits_from_environment(wait_limits* limits);

// seconds as the words a message gives them: "30 minutes", "1 minute 30
// seconds", "45 seconds".
std::string duration_text(int64_t seconds);

// ---------------------------------------------------------------------------
// Query
// ---------------------------------------------------------------------------

// Runs the query of flash_utility_in_use() for bus address pif, within the
// query limit of flash_wait_limits(), and extracts the value of the first
// output line containing fw_match_pattern (any case). *ppfw is written only
// when a line carries the label (possibly empty) and the query ended in
// time. Returns 0 when a non-empty value was extracted; QUERY_TIMED_OUT
// when the query did not end within the limit (it was killed); 1 otherwise
// (also, without running anything, when pif holds characters no bus
// address has).
int32_t get_firmware_info(const char* pif, opt_text* ppfw, const char* fw_match_pattern);

// Results of extract_query_value and run_query.
inline constexpr int32_t QUERY_VALUE = 0;        // labelled line, non-empty value stored
inline constexpr int32_t QUERY_EMPTY_VALUE = 1;  // labelled line, empty value stored
inline constexpr int32_t QUERY_NO_LABEL = 2;     // line lacks the label; *ppfw untouched
inline constexpr int32_t QUERY_TIMED_OUT = 3;    // not ended within the limit; *ppfw untouched
inline constexpr int32_t QUERY_NOT_RUN = 4;      // no child could be made; *ppfw untouched

// Runs command (a query, or a shell line that runs one) as given, with its
// standard error merged into its output, and reads that up to the first
// line that carries label, whose value it takes as extract_query_value
// does. A query that has not ended within limit_seconds is killed. Returns
// that line's result, or QUERY_NO_LABEL, QUERY_TIMED_OUT or QUERY_NOT_RUN
// (errno set).
int32_t run_query(const flash_command& command, const char* label, opt_text* value,
                  int64_t limit_seconds);

// The value extraction of get_firmware_info for one output line (its newline
// included): when line contains label (any case), stores in *ppfw the text
// after the first strlen(label) + 1 characters of the line with every blank
// removed and one final newline dropped. Returns one of the QUERY_ results.
int32_t extract_query_value(const std::string& line, const char* label, opt_text* ppfw);

// ---------------------------------------------------------------------------
// Burn
// ---------------------------------------------------------------------------

// How one burn is run, as its caller chooses. A limit on how long vexor
// waits or on what the utility may write, or a call while it runs, belongs
// here beside the others.
struct burn_options {
  int output_fd = -1;            // takes the utility's output and errors; -1: /dev/null
  std::string output_path;       // that file's name, read to follow it; "" none
  bool follow_output = false;    // copy what the utility writes to standard output as it comes
  int inherited_fd = -1;         // a descriptor the utility keeps open (the run lock), -1 none
  int poll_interval_ms = 100;    // how often the output is followed and signals looked for
  int64_t limit_seconds = 0;     // vexor stops waiting after this long; 0: until the end
  int64_t progress_seconds = 0;  // on_progress is called this often while it runs; 0: never
  std::function<void(int64_t seconds_so_far)> on_progress;
};

// How often a burn with limit_seconds to run says that it is still running
// where nothing else shows it: every five minutes, or four times within a
// shorter limit, and at least once a second.
int64_t progress_period(int64_t limit_seconds);

// How one burn ended.
struct burn_outcome {
  bool started = false;        // a child process existed
  int start_errno = 0;         // why no child could be made
  child_end end;               // how it ended, when it existed; kind::running when
                               // vexor stopped waiting for it at the limit
  int64_t waited_seconds = 0;  // how long vexor waited

  // vexor stopped waiting: the burn goes on without it.
  bool stopped_waiting() const { return started && end.how == child_end::kind::running; }

  // The utility exited with status 0: the image is in the adapter's flash.
  bool flashed() const { return started && end.how == child_end::kind::exited && end.value == 0; }
};

// Runs burns. While it lives, the signals that would end vexor do not cut a
// burn short (signal_deferral): the burn goes on, and its caller stops the
// run once the burn is accounted for. One at a time.
class burn_runner {
 public:
  // on_signal is called once, with the first deferred signal, as soon as
  // it is noticed (while a burn runs or at notice()).
  explicit burn_runner(std::function<void(int sig)> on_signal);

  // Runs command: executed directly (no shell), in a process group of its
  // own, so that the terminal's Ctrl-C is not sent to it, with nothing of it
  // passing through vexor: it reads /dev/null (a background group reading
  // the terminal would be stopped) and writes straight into the output
  // file; only the inherited descriptor reaches it besides. Its soft limit
  // on file sizes is the hard one. A utility that cannot be executed ends
  // its child with status 1, a failed burn. Once the limit has passed the
  // burn is left running, never killed: a half-written flash is worse than
  // a burn that takes long.
  burn_outcome run(const flash_command& command, const burn_options& options);

  // Calls on_signal when a signal has been deferred and it was not called yet.
  void notice();

  // The first deferred signal, 0 while none has arrived.
  int deferred_signal() const { return deferral_.received(); }

 private:
  signal_deferral deferral_;
  std::function<void(int)> on_signal_;
  bool noticed_ = false;
};
