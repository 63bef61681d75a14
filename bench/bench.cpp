// Runs inside a simulated host, in its component directory (bench/run.sh
// builds it and starts it there). Times `./vexor -c` beside the work no
// listing can avoid, started the way vexor starts its own children (glibc's
// popen spawns them without copying the parent), so that neither side pays
// for a heavier way of starting processes:
//   once, the Secure Boot gate's pipe, `sh -c '/usr/bin/mokutil --sb-state'`,
//   which every run of vexor opens before any mode;
//   per adapter, three runs of `sh -c './nic_fw/pyxflash -d ADDRESS q'`
//   whose output is read through a pipe, and one
//   `xmllint --stream --noout nic_fw/NICFWData.xml`.
// The gate is also timed on its own.
//
// Usage: vexor-bench REPS ADDRESS...
// Prints: vexor-ms bare-ms gate-ms vexor-peak-KiB bare-peak-KiB
// (bare-ms includes the gate; gate-ms is the gate alone)
//
// With --apply (bench/apply.sh) it times `./vexor -u REPORT` instead, beside
// the work no apply can avoid: the gate's pipe, and one streaming read each
// of the catalog and of the report by `xmllint --stream`.
// Usage: vexor-bench --apply REPS REPORT
// Prints: vexor-ms bare-ms vexor-peak-KiB bare-peak-KiB
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  long peak_kib = 0;  // of the process, or of its largest child
  std::string out;
};

// Runs argv with standard output into a pipe that is read to the end and
// standard error to /dev/null, and waits for it.
Outcome run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("vexor-bench: pipe2");
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    std::fprintf(stderr, "vexor-bench: cannot start %s\n", argv[0]);
    std::exit(1);
  }
  Outcome o;
  char buf[65536];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) o.out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int ws = 0;
  rusage ru{};
  while (wait4(pid, &ws, 0, &ru) < 0) {
  }
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  o.peak_kib = ru.ru_maxrss;
  return o;
}

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Times ./vexor -u report against reading the catalog and the report once.
int bench_apply(int reps, const std::string& report) {
  Outcome first = run({"./vexor", "-u", report});
  if (first.status != 0) {
    std::fprintf(stderr, "vexor-bench: vexor -u %s ended with %d\n", report.c_str(), first.status);
    return 1;
  }
  std::vector<double> vexor_ms, bare_ms;
  long vexor_peak = first.peak_kib, bare_peak = 0;
  for (int r = 0; r < reps; ++r) {
    auto t = std::chrono::steady_clock::now();
    Outcome v = run({"./vexor", "-u", report});
    vexor_ms.push_back(ms_since(t));
    vexor_peak = std::max(vexor_peak, v.peak_kib);

    t = std::chrono::steady_clock::now();
    for (const std::vector<std::string>& bare :
         {std::vector<std::string>{"/bin/sh", "-c", "/usr/bin/mokutil --sb-state"},
          {"/usr/bin/xmllint", "--stream", "--noout", "nic_fw/NICFWData.xml"},
          {"/usr/bin/xmllint", "--stream", "--noout", report}}) {
      bare_peak = std::max(bare_peak, run(bare).peak_kib);
    }
    bare_ms.push_back(ms_since(t));
  }
  std::printf("%.1f %.1f %ld %ld\n", median(vexor_ms), median(bare_ms), vexor_peak, bare_peak);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--apply") {
    return bench_apply(std::max(1, std::atoi(argv[2])), argv[3]);
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: vexor-bench REPS ADDRESS...\n");
    return 2;
  }
  const int reps = std::max(1, std::atoi(argv[1]));
  const std::vector<std::string> addresses(argv + 2, argv + argc);

  // A listing that did not list every adapter measures nothing worth having.
  Outcome first = run({"./vexor", "-c"});
  if (first.status != 0 || count_of(first.out, "PCI-ID") != addresses.size()) {
    std::fprintf(stderr, "vexor-bench: vexor -c (status %d) listed %zu of %zu adapters\n",
                 first.status, count_of(first.out, "PCI-ID"), addresses.size());
    return 1;
  }

  std::vector<double> vexor_ms, bare_ms, gate_ms;
  long vexor_peak = first.peak_kib, bare_peak = 0;
  // Interleaved, so that a slow spell of the machine falls on both alike.
  for (int r = 0; r < reps; ++r) {
    auto t = std::chrono::steady_clock::now();
    Outcome v = run({"./vexor", "-c"});
    vexor_ms.push_back(ms_since(t));
    vexor_peak = std::max(vexor_peak, v.peak_kib);

    t = std::chrono::steady_clock::now();
    Outcome g = run({"/bin/sh", "-c", "/usr/bin/mokutil --sb-state"});
    gate_ms.push_back(ms_since(t));
    bare_peak = std::max(bare_peak, g.peak_kib);
    for (const auto& a : addresses) {
      for (int q = 0; q < 3; ++q) {
        Outcome o = run({"/bin/sh", "-c", "./nic_fw/pyxflash -d " + a + " q"});
        bare_peak = std::max(bare_peak, o.peak_kib);
      }
      Outcome x = run({"/usr/bin/xmllint", "--stream", "--noout", "nic_fw/NICFWData.xml"});
      bare_peak = std::max(bare_peak, x.peak_kib);
    }
    bare_ms.push_back(ms_since(t));
  }
  std::printf("%.1f %.1f %.1f %ld %ld\n", median(vexor_ms), median(bare_ms), median(gate_ms),
              vexor_peak, bare_peak);
  return 0;
}
