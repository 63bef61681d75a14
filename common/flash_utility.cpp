// The flash utility interface: installation, command lines, query, burn.
#include "common/flash_utility.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/component_paths.h"
#include "common/owners.h"
#include "common/text_checks.h"

namespace {

// The installation run by path; its argument zero is the path's last
// component.
flash_utility installation(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return {path, slash != nullptr ? slash + 1 : path};
}

}  // namespace

flash_utility flash_utility_in_use(utility_choice how) {
  const flash_utility shipped = installation(SHIPPED_FLASH_UTILITY);
  switch (how) {
    case utility_choice::secure_boot_gate:
      return boot_value == 1 ? system_flash_utility() : shipped;
    case utility_choice::first_runnable: return can_run(shipped) ? shipped : system_flash_utility();
  }
  return shipped;
}

flash_utility system_flash_utility() { return installation(SYSTEM_FLASH_UTILITY); }

bool can_run(const flash_utility& utility) { return ::access(utility.program, X_OK) == 0; }

flash_command query_command(const flash_utility& utility, const std::string& address) {
  return {utility.program, {utility.name, "-d", address, "q"}};
}

flash_command presence_command(const flash_utility& utility) {
  return {utility.program, {utility.name, "--help"}};
}

flash_command burn_command(const flash_utility& utility, const std::string& address,
                           const std::string& image_path, bool silent) {
  flash_command command{utility.program, {utility.name}};
  if (silent) command.args.push_back("-s");
  command.args.insert(command.args.end(), {"-y", "-d", address, "-i", image_path, "b"});
  return command;
}

std::string shell_line(const flash_command& command) {
  std::string line = command.program;
  for (size_t i = 1; i < command.args.size(); ++i) line += " " + command.args[i];
  return line;
}

// ---------------------------------------------------------------------------
// How long vexor waits
// ---------------------------------------------------------------------------

namespace {
wait_limits g_wait_limits;
}  // namespace

const wait_limits& flash_wait_limits() { return g_wait_limits; }

void set_wait_limits(const wait_limits& limits) { g_wait_limits = limits; }

std::optional<int64_t> parse_limit_seconds(std::string_view text) {
  constexpr size_t kMaxDigits = 9;
  const size_t first = text.find_first_not_of('0');
  const std::string_view digits = first == std::string_view::npos ? "" : text.substr(first);
  if (text.empty() || digits.size() > kMaxDigits ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  int64_t seconds = 0;
  for (char c : digits) seconds = seconds * 10 + (c - '0');
  if (seconds <= 0 || seconds > MAX_LIMIT_SECONDS) return std::nullopt;
  return seconds;
}

std::string wait_limits_from_environment(wait_limits* limits) {
  const std::pair<const char*, int64_t*> variables[] = {
      {QUERY_TIMEOUT_VARIABLE, &limits->query_seconds},
      {BURN_TIMEOUT_VARIABLE, &limits->burn_seconds}};
  for (const auto& [name, seconds] : variables) {
    const char* value = std::getenv(name);
    if (value == nullptr) continue;
    const std::optional<int64_t> parsed = parse_limit_seconds(value);
    if (!parsed) {
      return std::string(name) + " is \"" + escaped(value) +
             "\", not a positive whole number of seconds (at most " +
             std::to_string(MAX_LIMIT_SECONDS) + ")";
    }
    *seconds = *parsed;
  }
  return {};
}

std::string duration_text(int64_t seconds) {
  const int64_t minutes = seconds / 60;
  const int64_t rest = seconds % 60;
  auto count = [](int64_t n, const char* unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
  };
  if (minutes == 0) return count(rest, "second");
  return rest == 0 ? count(minutes, "minute")
                   : count(minutes, "minute") + " " + count(rest, "second");
}

// ---------------------------------------------------------------------------
// Query
// ---------------------------------------------------------------------------

int32_t extract_query_value(const std::string& line, const char* label, opt_text* ppfw) {
  if (label == nullptr || !contains_nocase(line, label)) return QUERY_NO_LABEL;
  // The value starts at a fixed position from the start of the line: the
  // label and its one separator character are skipped. Every blank is
  // dropped, also inside the value; tabs are kept.
  std::string value;
  for (size_t i = std::strlen(label) + 1; i < line.size(); ++i) {
    if (line[i] != ' ') value += line[i];
  }
  // Only a newline that really ends the line is dropped: a labelled last
  // line without one keeps its final character.
  if (!value.empty() && value.back() == '\n') value.pop_back();
  const bool got_value = !value.empty();
  *ppfw = std::move(value);
  return got_value ? QUERY_VALUE : QUERY_EMPTY_VALUE;
}

int32_t run_query(const flash_command& command, const char* label, opt_text* value,
                  int64_t limit_seconds) {
  opt_text found;
  int32_t rc = QUERY_NO_LABEL;
  // Reading stops at the first labelled line; the pipe is closed then, so a
  // utility that still writes gets SIGPIPE/EPIPE and ends instead of
  // blocking on a full pipe. Its exit status is not used.
  const limited_end end = run_limited(
      command.program, command.args, spawn_options{}, limit_seconds * 1000,
      [&](const std::string& line) {
        rc = extract_query_value(line, label, &found);
        return rc == QUERY_NO_LABEL;
      },
      /*merge_errors=*/true);
  if (!end.started) {
    errno = end.start_errno;
    return QUERY_NOT_RUN;
  }
  // A query cut short may have printed anything up to then: none of it
  // counts.
  if (end.timed_out) return QUERY_TIMED_OUT;
  if (rc != QUERY_NO_LABEL) *value = std::move(found);
  return rc;
}

int32_t get_firmware_info(const char* pif, opt_text* ppfw, const char* fw_match_pattern) {
  // Only bus addresses reach the shell; anything else is treated as a query
  // that could not run.
  if (pif == nullptr || !is_bus_address(pif) || fw_match_pattern == nullptr) return 1;

  // Through the shell, which also runs a utility that is a script without
  // "#!"; it execs the utility, so that a query killed at the limit is the
  // utility itself and not a shell whose child goes on.
  const std::string line =
      "exec " + shell_line(query_command(flash_utility_in_use(), pif)) + " 2>&1";
  const int32_t rc = run_query({"/bin/sh", {"sh", "-c", line}}, fw_match_pattern, ppfw,
                               flash_wait_limits().query_seconds);
  if (rc == QUERY_NOT_RUN) {
    std::fprintf(stderr,
                 "\n In popen for pyxflash fork(2) or pipe(2) calls fail, \t\t\t\t or cannot "
                 "allocate memory. \n\n");
  }
  if (rc == QUERY_TIMED_OUT) return QUERY_TIMED_OUT;
  return rc == QUERY_VALUE ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Burn
// ---------------------------------------------------------------------------

namespace {

// Shows on the console what the burn writes into its output file, as the
// file grows. It reads through a description of its own: the child writes
// at the offset of the one it was given.
class BurnFollower {
 public:
  // Follows the file at path when show is set and there is one.
  BurnFollower(const std::string& path, bool show) {
    if (show && !path.empty()) file_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  }
  // Copies what was added since the last call. Standard output may be
  // gone (a closed pipe): what cannot be written is dropped.
  void copy_new() {
    if (!file_) return;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(file_.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) write_all(STDOUT_FILENO, buf, static_cast<size_t>(n));
    }
  }

 private:
  unique_fd file_;
};

}  // namespace

int64_t progress_period(int64_t limit_seconds) {
  constexpr int64_t kEveryFewMinutes = 300;
  return std::clamp<int64_t>(limit_seconds / 4, 1, kEveryFewMinutes);
}

burn_runner::burn_runner(std::function<void(int sig)> on_signal) :
    on_signal_(std::move(on_signal)) {}

void burn_runner::notice() {
  const int sig = deferral_.received();
  if (noticed_ || sig == 0) return;
  noticed_ = true;
  if (on_signal_) on_signal_(sig);
}

burn_outcome burn_runner::run(const flash_command& command, const burn_options& options) {
  burn_outcome outcome;
  const bool to_file = options.output_fd >= 0;
  unique_fd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  unique_fd null_out(to_file ? -1 : ::open("/dev/null", O_WRONLY | O_CLOEXEC));
  // Rather no burn than one that reads the terminal or writes to it.
  if (!null_in || (!to_file && !null_out)) {
    outcome.start_errno = errno;
    return outcome;
  }
  spawn_options spawn;
  spawn.stdin_fd = null_in.get();
  spawn.stdout_fd = to_file ? options.output_fd : null_out.get();
  spawn.stderr_fd = spawn.stdout_fd;
  spawn.inherited_fd = options.inherited_fd;
  spawn.only_these_fds = true;  // nothing vexor's own caller left open either
  spawn.new_process_group = true;
  spawn.exec_failure_status = 1;
  spawn.raise_file_size_limit = true;
  BurnFollower follower(options.output_path, options.follow_output);
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  const pid_t pid = spawn_child(command.program, command.args, spawn);
  if (pid < 0) {
    outcome.start_errno = errno;
    return outcome;
  }
  outcome.started = true;
  int64_t progress_said = 0;  // how many periods on_progress was called for
  auto waited = [&] {
    return std::chrono::duration_cast<std::chrono::seconds>(clock::now() - start).count();
  };
  outcome.end = wait_child_polling(pid, options.poll_interval_ms, [&] {
    follower.copy_new();
    notice();
    const int64_t seconds = waited();
    if (options.limit_seconds > 0 && seconds >= options.limit_seconds) return false;
    if (options.progress_seconds > 0 && options.on_progress &&
        seconds / options.progress_seconds > progress_said) {
      progress_said = seconds / options.progress_seconds;
      options.on_progress(progress_said * options.progress_seconds);
    }
    return true;
  });
  outcome.waited_seconds = waited();
  follower.copy_new();
  return outcome;
}
