// What a burn leaves behind for whoever comes next: the history of burns,
// which outlives the run (and, when the run is killed, tells the next one
// what was being burned), and the system's note that a reboot is due.
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "common/appended_file.h"
#include "common/json_record.h"
#include "common/text_checks.h"
#include "main/vexor.h"

std::string g_history_path = BURN_HISTORY;
std::string g_reboot_dir = REBOOT_REQUIRED_DIR;

namespace {

// The record kinds of the history, by the value of their "record" field.
constexpr const char* kStarted = "burn started";
constexpr const char* kEnded = "burn ended";
constexpr const char* kInterrupted = "burn interrupted";

struct HistoryState {
  std::string run;  // this run's id, made when first needed
  int burns = 0;    // burns started in this run
  bool trouble_said = false;
};
HistoryState g_history;

// The time now as UTC in ISO 8601: "2026-03-12T10:04:05Z".
std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  char text[32] = "";
  if (gmtime_r(&now, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// This run's id: its start time, process id and four random bytes, so that
// no two runs of any host share one.
const std::string& run_id() {
  if (g_history.run.empty()) {
    std::string when = utc_now();
    when.erase(std::remove_if(when.begin(), when.end(),
                              [](char c) { return c == '-' || c == ':'; }),
               when.end());
    unsigned char random[4] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      std::memset(random, 0, sizeof random);
    }
    g_history.run =
        strprintf("%s-%ld-%02x%02x%02x%02x", when.c_str(), static_cast<long>(::getpid()), random[0],
                  random[1], random[2], random[3]);
  }
  return g_history.run;
}

// Says once a run, on standard error and in the log, that the history
// cannot be kept, and why.
void history_trouble(const std::string& why) {
  if (g_history.trouble_said) return;
  g_history.trouble_said = true;
  const std::string text =
      strprintf("%s: the history of burns cannot be kept: %s; the run goes on without it\n",
                g_history_path.c_str(), why.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "vexor: %s", text.c_str());
  std::fflush(stderr);
  log_quorvane_event(ppyxflash_fout, WARNING_TAG, text);
}

std::string why_not_opened(const appended_file& file) {
  return file.refusal != nullptr ? file.refusal : std::strerror(file.err);
}

// Appends one record to the history, synced before it returns.
void append_record(const json_record& record) {
  if (g_history_path.empty()) return;
  const appended_file file = open_appended(g_history_path, 0644, true);
  if (!file) {
    history_trouble(why_not_opened(file));
    return;
  }
  if (!append_synced(file.fd.get(), record.line()) ||
      (file.created && !sync_directory_of(g_history_path))) {
    history_trouble(std::strerror(errno));
  }
}

}  // namespace

int history_burn_started(const burn_plan& plan) {
  const int burn = ++g_history.burns;
  append_record(
      json_record()
          .text("record", kStarted)
          .text("run", run_id())
          .number("burn", burn)
          .text("time", utc_now())
          .number("pid", ::getpid())
          .text("address", plan.address)
          .text_or_null("psid", plan.psid)
          .text("installed", plan.installed)
          .text("image", plan.image)
          .text("version", plan.version)
          .text_or_null("output", plan.output));
  return burn;
}

void history_burn_ended(int burn, const std::string& address, const burn_outcome& outcome) {
  json_record record;
  record.text("record", kEnded)
      .text("run", run_id())
      .number("burn", burn)
      .text("time", utc_now())
      .text("address", address);
  if (outcome.flashed()) {
    record.text("outcome", "flashed");
  } else if (outcome.stopped_waiting()) {
    record.text("outcome", "stopped waiting");
  } else {
    record.text("outcome", "failed");
    if (!outcome.started) {
      record.text("error", std::string("not started: ") + std::strerror(outcome.start_errno));
    } else if (outcome.end.how == child_end::kind::exited) {
      record.number("exit_status", outcome.end.value);
    } else if (outcome.end.how == child_end::kind::signalled) {
      record.number("signal", outcome.end.value);
    } else {
      record.text("error", std::string("no exit status: ") + std::strerror(outcome.end.value));
    }
  }
  append_record(record.number("seconds", outcome.waited_seconds));
}

void reset_burn_history() { g_history = HistoryState{}; }

namespace {

// A burn the history shows started.
struct StartedBurn {
  std::string run;
  int64_t burn = 0;
  std::string time, address, image;
  std::optional<std::string> output;

  std::string key() const { return run + "/" + std::to_string(burn); }
};

// What the history holds: the burns started, the keys of those whose end
// (or interruption) is recorded, and the numbers of the lines that are not
// records.
struct HistoryReading {
  std::vector<StartedBurn> started;
  std::set<std::string> ended;
  std::vector<size_t> unreadable;
};

// Takes one line into reading. False when it is not a record.
bool read_history_line(std::string_view line, HistoryReading& reading) {
  const std::optional<json_fields> fields = parse_json_record(line);
  if (!fields) return false;
  const std::optional<std::string> record = fields->text("record");
  const std::optional<std::string> run = fields->text("run");
  const std::optional<int64_t> burn = fields->number("burn");
  if (!record || !run || !burn) return false;
  if (*record == kStarted) {
    StartedBurn b{*run,
                  *burn,
                  fields->text("time").value_or("?"),
                  fields->text("address").value_or("?"),
                  fields->text("image").value_or("?"),
                  fields->text("output")};
    reading.started.push_back(std::move(b));
  } else if (*record == kEnded || *record == kInterrupted) {
    reading.ended.insert(*run + "/" + std::to_string(*burn));
  }
  // Any other kind is a later version's: neither a burn nor an error.
  return true;
}

HistoryReading read_history(std::string_view text) {
  HistoryReading reading;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    if (!read_history_line(text.substr(start, end - start), reading))
      reading.unreadable.push_back(number);
    start = end + 1;
  }
  return reading;
}

// Logs the lines that are not records, each by its number (the first ten).
void warn_unreadable(const std::vector<size_t>& lines) {
  constexpr size_t kNamed = 10;
  for (size_t i = 0; i < std::min(lines.size(), kNamed); ++i) {
    log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                       strprintf("%s: line %zu is not a record vexor can read; it is skipped\n",
                                 g_history_path.c_str(), lines[i]));
  }
  if (lines.size() > kNamed) {
    log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                       strprintf("%s: %zu more lines are not records vexor can read; they are "
                                 "skipped\n",
                                 g_history_path.c_str(), lines.size() - kNamed));
  }
}

// Says that burn was interrupted, and records that it was said.
void report_interrupted(int fd, const StartedBurn& burn) {
  const std::string output = burn.output ? "its output went to " + escaped(*burn.output)
                                         : std::string("its output was not kept");
  const std::string text = strprintf(
      "An earlier run was stopped during the burn of %s into %s, started at %s; %s. Check the "
      "firmware version the adapter runs (vexor -c)\n",
      escaped(burn.image).c_str(), escaped(burn.address).c_str(), escaped(burn.time).c_str(),
      output.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "vexor: %s", text.c_str());
  std::fflush(stderr);
  log_quorvane_event(ppyxflash_fout, WARNING_TAG, text);
  const json_record record =
      json_record()
          .text("record", kInterrupted)
          .text("run", burn.run)
          .number("burn", burn.burn)
          .text("time", utc_now())
          .text("address", burn.address)
          .text("noticed_by", run_id());
  if (!append_synced(fd, record.line())) history_trouble(std::strerror(errno));
}

}  // namespace

void report_interrupted_burns() {
  if (g_history_path.empty() || run_lock_fd() < 0) return;
  const appended_file file = open_appended(g_history_path, 0644, false);
  if (!file) {
    if (file.refusal != nullptr || file.err != ENOENT) history_trouble(why_not_opened(file));
    return;
  }
  // Runs that share the run lock (listings, discoveries) take turns here,
  // so that each interrupted burn is said by one of them.
  while (::flock(file.fd.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  std::string text;
  if (!read_whole(file.fd.get(), &text)) {
    history_trouble(std::strerror(errno));
    return;
  }
  const HistoryReading reading = read_history(text);
  warn_unreadable(reading.unreadable);
  for (const StartedBurn& burn : reading.started) {
    if (reading.ended.count(burn.key()) == 0) report_interrupted(file.fd.get(), burn);
  }
}

// ---------------------------------------------------------------------------
// The reboot the new firmware needs
// ---------------------------------------------------------------------------

namespace {

// Logs that the reboot could not be marked in path, and why.
void reboot_not_marked(const std::string& path, const std::string& why) {
  log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                     strprintf("Unable to note in %s that the new firmware needs a reboot: %s\n",
                               path.c_str(), why.c_str()));
}

// True when text holds line as one of its lines.
bool has_line(const std::string& text, const std::string& line) {
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, line) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

void mark_reboot_required() {
  if (g_reboot_dir.empty()) return;
  const std::string flag_path = g_reboot_dir + "/" + REBOOT_REQUIRED_FILE;
  const appended_file flag = open_appended(flag_path, 0644, true);
  if (!flag) {
    reboot_not_marked(flag_path, why_not_opened(flag));
  } else if (flag.created && !append_synced(flag.fd.get(), "*** System restart required ***\n")) {
    reboot_not_marked(flag_path, std::strerror(errno));
  }

  const std::string packages_path = g_reboot_dir + "/" + REBOOT_REQUIRED_PACKAGES;
  const appended_file packages = open_appended(packages_path, 0644, true);
  if (!packages) {
    reboot_not_marked(packages_path, why_not_opened(packages));
    return;
  }
  std::string listed;
  if (!read_whole(packages.fd.get(), &listed)) {
    reboot_not_marked(packages_path, std::strerror(errno));
    return;
  }
  if (has_line(listed, "vexor")) return;
  const std::string line =
      (listed.empty() || listed.back() == '\n' ? "" : "\n") + std::string("vexor\n");
  if (!append_synced(packages.fd.get(), line))
    reboot_not_marked(packages_path, std::strerror(errno));
}
