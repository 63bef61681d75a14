// The flash utility interface: installation, command lines, query, burn.
#include "common/flash_utility.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

int32_t read_query_value(FILE* output, const char* label, opt_text* ppfw) {
  char* raw = nullptr;
  size_t cap = 0;
  ssize_t len;
  int32_t rc = QUERY_NO_LABEL;
  while (rc == QUERY_NO_LABEL && (len = getline(&raw, &cap, output)) != -1) {
    rc = extract_query_value(std::string(raw, static_cast<size_t>(len)), label, ppfw);
  }
  std::free(raw);
  return rc;
}

int32_t get_firmware_info(const char* pif, opt_text* ppfw, const char* fw_match_pattern) {
  // Only bus addresses reach the shell; anything else is treated as a query
  // that could not run.
  if (pif == nullptr || !is_bus_address(pif) || fw_match_pattern == nullptr) return 1;

  const std::string command = shell_line(query_command(flash_utility_in_use(), pif)) + " 2>&1";
  std::fflush(stdout);
  unique_pipe pipe(popen(command.c_str(), "re"));
  if (!pipe) {
    std::fprintf(stderr,
                 "\n In popen for pyxflash fork(2) or pipe(2) calls fail, \t\t\t\t or cannot "
                 "allocate memory. \n\n");
    return 1;
  }

  const int32_t rc = read_query_value(pipe.get(), fw_match_pattern, ppfw);
  // Reading stops at the first labelled line. pclose closes the read end
  // before waiting, so a utility that still writes gets SIGPIPE/EPIPE and
  // ends instead of blocking on a full pipe; its exit status is not used.
  pipe.reset();
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
  BurnFollower follower(options.output_path, options.follow_output);
  const pid_t pid = spawn_child(command.program, command.args, spawn);
  if (pid < 0) {
    outcome.start_errno = errno;
    return outcome;
  }
  outcome.started = true;
  outcome.end = wait_child_polling(pid, options.poll_interval_ms, [&] {
    follower.copy_new();
    notice();
  });
  follower.copy_new();
  return outcome;
}
