// The simulated host: a fake PCI bus, network interfaces, vendor-name
// database, /usr/bin tools and a component directory with a simulated flash
// utility, laid out in a temporary directory and overlaid on the real paths
// inside a private mount namespace for each run of vexor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// What the simulated flash utility does when asked to burn this adapter.
enum class BurnBehaviour {
  ok,      // prints progress, sets the running version, exits 0
  fail,    // prints an error and exits 1
  killed,  // the utility kills itself with SIGKILL
  slow,    // like ok, but takes burn_seconds while printing progress
};

// When the version a burn wrote starts to run.
enum class Activation {
  at_burn,  // at once, as the burn ends
  reboot,   // at the next simulated reboot of the host
  never,    // never: after the reboot the adapter runs the old version again
};

// The flash utility's view of one PCI function.
struct Adapter {
  // Values of the query lines. nullopt: the line is left out; "": the label
  // is printed with nothing after the colon.
  std::optional<std::string> fw = "2.36.5000";
  std::optional<std::string> psid = "QRV0000000001";
  std::optional<std::string> mac = "0002c9aabbcc";  // printed as "<mac>  4"
  // Instead of the fields, the query prints this error text (if non-empty).
  std::string query_error;
  BurnBehaviour burn = BurnBehaviour::ok;
  double burn_seconds = 0;   // for BurnBehaviour::slow
  double query_seconds = 0;  // each query waits this long before it answers
  // When a burnt version starts to run (and the query shows it): at once,
  // after the host's next simulated reboot, or never (the adapter comes
  // back on the version it ran before).
  Activation activation = Activation::at_burn;
  // A burnt version waiting for the next reboot (activation reboot, never).
  std::optional<std::string> pending;
};

struct Function {
  std::string address;  // "0000:81:00.0"
  uint16_t vendor = 0x15b3;
  uint16_t device = 0x1003;
  uint16_t subsystem_vendor = 0x15b3;
  uint16_t subsystem_device = 0x0050;
  uint32_t pci_class = 0x020700;        // 24 bits, as sysfs "class" shows it
  std::vector<std::string> interfaces;  // /sys/class/net names
  std::optional<Adapter> flash;         // nullopt: the utility knows no such device
  // sysfs attribute files ("vendor", "class", ...) that cannot be read, as
  // while the device is being removed: a directory stands in place of each.
  std::vector<std::string> unreadable_files;
  // sysfs attribute files left out altogether.
  std::vector<std::string> missing_files;
};

// An image file in nic_fw/: the flash utility burns it only into an adapter
// with the same PSID, and the adapter then runs `version`.
struct Image {
  std::string file;
  std::string psid;
  std::string version;
};

enum class SecureBoot { absent, disabled, enabled, garbage };

struct Tool {
  bool present = false;
  int exit_status = 0;  // exit status of every command of the tool
  double seconds = 0;   // how long every command of the tool takes first
};

struct HostSpec {
  std::vector<Function> functions;
  // pci.ids vendor lines; a vendor left out shows libpci's numeric fallback.
  std::vector<std::pair<uint16_t, std::string>> vendor_names = {{0x15b3, "Quorvane Technologies"},
                                                                {0x1f1c, "Ostrova Systems"}};
  SecureBoot secure_boot = SecureBoot::absent;
  double mokutil_seconds = 0;    // how long mokutil takes before it answers
  Tool qtk;                      // /usr/bin/qtk
  Tool quarz;                    // /usr/bin/quarz: the simulated flash utility when present
  bool pyxflash_present = true;  // nic_fw/pyxflash
  bool pyxflash_executable = true;
  std::optional<std::string> catalog_xml;  // nic_fw/NICFWData.xml; nullopt: missing
  std::vector<Image> images;
  bool getqrvninfo_present = true;  // the built image-information program beside vexor
};

struct RunResult {
  int status = -1;  // exit status of vexor (128 + signal when killed)
  std::string out;  // standard output
  std::string err;  // standard error
};

class SimHost;

// A run of vexor on a simulated host that goes on in the background while
// the test does something else. A run neither waited for nor detached is
// killed (with its process group) when the handle goes.
class BackgroundRun {
 public:
  BackgroundRun(BackgroundRun&& other) noexcept;
  BackgroundRun& operator=(BackgroundRun&&) = delete;
  BackgroundRun(const BackgroundRun&) = delete;
  ~BackgroundRun();

  pid_t pid() const { return pid_; }
  // Waits until the flash utility's journal holds more than burns_before
  // burns, that is until one more burn has begun. Throws std::runtime_error
  // when vexor ends first or none begins within seconds.
  void wait_for_burn_start(size_t burns_before = 0, double seconds = 30);
  // Waits until the journal holds at least n entries (queries and burns).
  // Throws like wait_for_burn_start.
  void wait_for_journal(size_t n, double seconds = 30);
  // Waits until the file at path (as seen from outside the host) exists,
  // the sign of a step in the background that it has done its part. Throws
  // like wait_for_burn_start.
  void wait_for_file(const std::string& path, double seconds = 30);
  // Sends sig to vexor alone (not to its process group).
  void signal(int sig);
  // Waits for vexor to end (killed after the host's timeout) and returns
  // what it printed. Once only.
  RunResult wait();

 private:
  friend class SimHost;
  struct Files {
    std::string out, err;
  };
  BackgroundRun(SimHost* host, pid_t pid, Files files) :
      host_(host), pid_(pid), files_(std::move(files)) {}
  void wait_until(const std::function<bool()>& condition, double seconds, const std::string& what);

  SimHost* host_;
  pid_t pid_;
  Files files_;
  bool waited_ = false;
};

class SimHost {
 public:
  // Lays the host out in a fresh temporary directory. Throws
  // std::runtime_error with the reason when that is not possible.
  explicit SimHost(HostSpec desc);
  // Reopens a host laid out earlier in dir (state kept), or lays out desc
  // there when dir does not hold one yet.
  SimHost(HostSpec desc, const std::string& dir);
  // Removes the directory unless keep() was called. A directory named by the
  // caller (second constructor) is the caller's and is always kept.
  ~SimHost();
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // Runs the component directory's vexor with args, as root in a private
  // mount namespace over the simulated paths, with stdin_text on standard
  // input. Throws std::runtime_error when the namespace cannot be made.
  RunResult run(const std::vector<std::string>& args, const std::string& stdin_text = "");
  // Same, but standard input, output and error are the caller's own
  // (for the interactive demo); returns the exit status.
  int run_attached(const std::vector<std::string>& args);
  // Starts the component directory's vexor with args as run() does, and
  // returns at once.
  BackgroundRun start(const std::vector<std::string>& args, const std::string& stdin_text = "");
  // Runs an arbitrary shell command line inside the same namespace, in the
  // component directory (for tests that look at the host from inside).
  RunResult run_shell(const std::string& command_line, const std::string& stdin_text = "");
  // Starts a shell command line as run_shell() does, and returns at once.
  BackgroundRun start_shell(const std::string& command_line);
  // Runs a shell command line inside the host as another user: user and
  // group id uid, no supplementary groups (setpriv --reuid UID --regid UID
  // --clear-groups), in the component directory; as a local user with an
  // account of their own would try what root's runs leave within reach.
  RunResult run_shell_as(uid_t uid, const std::string& command_line,
                         const std::string& stdin_text = "");
  // Same, in the background; the handle kills it with its process group.
  BackgroundRun start_shell_as(uid_t uid, const std::string& command_line);
  // Same, attached to the caller's terminal; returns the exit status.
  int run_shell_attached(const std::string& command_line);
  // Captured runs are killed (status 128 + SIGKILL, a note on err) after this
  // many seconds; 0 waits for ever. Default 60.
  void set_timeout(double seconds);
  // Every later run (of vexor or a shell) gets the environment variable
  // name set to value, besides the launcher's own environment.
  void set_environment(const std::string& name, const std::string& value);

  // The host's directory. Inside the host it is found at the same path:
  // where it lies under /tmp, the host's /tmp holds it again at its place.
  std::string dir() const;
  std::string component_dir() const;  // where vexor lies and runs, inside the host too
  std::string tmp_dir() const;        // what vexor sees as /tmp (mode 1777)
  std::string run_dir() const;        // what vexor sees as /run (root's, mode 0755)
  std::string lock_dir() const;       // what vexor sees as /run/lock (mode 1777, as on Debian)

  // Waits until no process holds vexor's run lock in the host's /run (as
  // after a burn that vexor left running when it was killed). Throws
  // std::runtime_error when it is still held after seconds.
  void wait_until_unlocked(double seconds = 30) const;

  // Every invocation of the flash utility (shipped or system copy), in order:
  // its full argument vector, argument zero first.
  std::vector<std::vector<std::string>> journal() const;
  // The journal entries that were burns (last argument "b").
  std::vector<std::vector<std::string>> burns() const;
  // The descriptors the flash utility had open when it last burned the
  // adapter at address: each number with what it leads to (readlink of
  // /proc/self/fd/N, as seen inside the host), by number. Empty when it
  // never burned it.
  std::vector<std::pair<int, std::string>> burn_descriptors(const std::string& address) const;
  // The soft limit on file sizes the flash utility ran with when it last
  // burned the adapter at address: "unlimited" or a number of bytes; ""
  // when it never burned it.
  std::string burn_file_size_limit(const std::string& address) const;
  // Current state of an adapter as the flash utility keeps it.
  Adapter adapter(const std::string& address) const;
  // Contents of a file relative to the component directory ("" if missing).
  std::string read_file(const std::string& relative) const;
  void write_file(const std::string& relative, const std::string& content) const;
  // Same, with the file made executable or not (e.g. a getqrvninfo script).
  void write_file(const std::string& relative, const std::string& content, bool executable) const;
  std::string event_log() const { return read_file("pyxflash.log"); }

  void keep();  // leave the directory in place (a failed test's evidence)

 private:
  friend class BackgroundRun;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
