#include "sim/simhost.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "sim/sim_state.h"

#ifndef VEXOR_SIM_VEXOR
#error "VEXOR_SIM_VEXOR (path of the built vexor) must be defined"
#endif
#ifndef VEXOR_SIM_GETQRVNINFO
#error "VEXOR_SIM_GETQRVNINFO (path of the built image-information program) must be defined"
#endif
#ifndef VEXOR_SIM_FLASH_UTILITY
#error "VEXOR_SIM_FLASH_UTILITY (path of the built simulated flash utility) must be defined"
#endif

extern char** environ;

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMarker = "vexor-sim.host";

// The real paths the simulated host covers inside its namespace.
constexpr const char* kPciIdsPaths[] = {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"};
constexpr const char* kHwdbPaths[] = {"/etc/udev/hwdb.bin", "/usr/lib/udev/hwdb.bin",
                                      "/lib/udev/hwdb.bin"};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("simulated host: " + what);
}

[[noreturn]] void fail_errno(const std::string& what) { fail(what + ": " + std::strerror(errno)); }

void write_text(const fs::path& path, const std::string& content, mode_t mode = 0644) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) fail("cannot write " + path.string());
  }
  if (::chmod(path.c_str(), mode) != 0) fail_errno("chmod " + path.string());
}

// A directory with exactly mode, whatever the umask.
void make_directory(const fs::path& path, mode_t mode) {
  fs::create_directories(path);
  if (::chmod(path.c_str(), mode) != 0) fail_errno("chmod " + path.string());
}

void copy_binary(const fs::path& from, const fs::path& to, mode_t mode) {
  std::error_code ec;
  fs::create_directories(to.parent_path());
  fs::remove(to, ec);
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec))
    fail("cannot copy " + from.string() + " to " + to.string() + ": " + ec.message());
  if (::chmod(to.c_str(), mode) != 0) fail_errno("chmod " + to.string());
}

// An overlay whiteout: hides the lower layers' file of the same name.
void whiteout(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
  if (::mknod(path.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0)
    fail_errno("mknod whiteout " + path.string());
}

std::string hex(unsigned value, int width, bool prefix = true) {
  char buf[16];
  std::snprintf(buf, sizeof buf, prefix ? "0x%0*x" : "%0*x", width, value);
  return buf;
}

// 256 bytes of type-0 configuration space carrying the same identity as the
// attribute files; lspci reads it and warns when it is missing.
std::string config_space(const Function& f, bool multifunction) {
  std::string c(256, '\0');
  auto put16 = [&c](size_t at, uint16_t v) {
    c[at] = static_cast<char>(v & 0xff);
    c[at + 1] = static_cast<char>(v >> 8);
  };
  put16(0x00, f.vendor);
  put16(0x02, f.device);
  c[0x09] = static_cast<char>(f.pci_class & 0xff);
  c[0x0a] = static_cast<char>((f.pci_class >> 8) & 0xff);
  c[0x0b] = static_cast<char>((f.pci_class >> 16) & 0xff);
  c[0x0e] = static_cast<char>(multifunction ? 0x80 : 0x00);
  put16(0x2c, f.subsystem_vendor);
  put16(0x2e, f.subsystem_device);
  return c;
}

// The first line of a tool's script that takes seconds before it answers.
std::string delay_line(double seconds) {
  if (seconds <= 0) return {};
  char line[64];
  std::snprintf(line, sizeof line, "sleep %g\n", seconds);
  return line;
}

std::string mokutil_script(SecureBoot state, double seconds) {
  std::string reply;
  switch (state) {
    case SecureBoot::enabled: reply = "echo 'SecureBoot enabled'"; break;
    case SecureBoot::disabled: reply = "echo 'SecureBoot disabled'"; break;
    case SecureBoot::garbage: reply = "printf '\\001\\177 sb-state ?? 0x7f3a\\n'"; break;
    case SecureBoot::absent: break;
  }
  return "#!/bin/sh\n" + delay_line(seconds) +
         "case \"$1\" in\n"
         "  --sb-state) " +
         reply +
         " ;;\n"
         "  *) echo \"usage: mokutil --sb-state\" >&2; exit 1 ;;\n"
         "esac\n";
}

bool valid_relative(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  for (const auto& part : fs::path(name))
    if (part == "..") return false;
  return true;
}

// The private /dev of every run: the nodes and links that vexor, the shell
// tools and the tests use, on a tmpfs of the run's own, so that nothing run
// on the host (a report written to /dev/null or /dev/stdout included) can
// reach the machine's devices or replace its /dev entries.
struct DevNode {
  const char* path;
  unsigned major;
  unsigned minor;
};
constexpr DevNode kDevNodes[] = {{"/dev/null", 1, 3},   {"/dev/zero", 1, 5},    {"/dev/full", 1, 7},
                                 {"/dev/random", 1, 8}, {"/dev/urandom", 1, 9}, {"/dev/tty", 5, 0}};
constexpr std::pair<const char*, const char*> kDevLinks[] = {
    {"/dev/fd", "/proc/self/fd"},
    {"/dev/stdin", "/proc/self/fd/0"},
    {"/dev/stdout", "/proc/self/fd/1"},
    {"/dev/stderr", "/proc/self/fd/2"}};

// Mounts the private /dev inside the run's namespace. Runs in the child
// after fork, so it only makes system calls. Returns the path that could not
// be made, or null.
const char* mount_private_dev() {
  if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") != 0)
    return "/dev";
  for (const DevNode& node : kDevNodes) {
    // chmod as well: the umask, which vexor inherits, stays as it is.
    if (::mknod(node.path, S_IFCHR | 0666, makedev(node.major, node.minor)) != 0 ||
        ::chmod(node.path, 0666) != 0)
      return node.path;
  }
  for (const auto& [path, target] : kDevLinks)
    if (::symlink(target, path) != 0) return path;
  return nullptr;
}

int decode_status(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// A descriptor of the launcher's, closed when it goes.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// The files a captured run reads its standard input from and writes its
// output and errors to.
struct RunStreams {
  Fd in, out, err;
  std::string out_path, err_path;
};

// One mount a run makes in its namespace: a bind mount when fstype is null.
struct MountStep {
  std::string source;
  std::string target;
  const char* fstype = nullptr;
  unsigned long flags = MS_BIND;
  std::string data;
};

// What the child of a run does between fork and exec, all of it made before
// the fork: after it the child only makes system calls.
struct ChildPlan {
  std::vector<MountStep> mounts;  // in order
  std::string workdir;
  std::string program;
  std::vector<char*> argv, env;          // null-terminated
  std::array<int, 3> stdio{-1, -1, -1};  // -1: the launcher's own streams (attached)
};

std::vector<char*> c_strings(const std::vector<std::string>& words) {
  std::vector<char*> out;
  for (const auto& w : words) out.push_back(const_cast<char*>(w.c_str()));
  out.push_back(nullptr);
  return out;
}

MountStep bind_mount(std::string source, std::string target, unsigned long flags = MS_BIND) {
  return {std::move(source), std::move(target), nullptr, flags, {}};
}

// In the child: says on report what failed, and ends.
[[noreturn]] void child_failed(int report, const char* what, const std::string& path) {
  std::string msg = std::string(what) + " " + path + ": " + std::strerror(errno);
  ssize_t ignored = ::write(report, msg.data(), msg.size());
  (void)ignored;
  ::_exit(127);
}

// In the child: makes the run's namespace and executes the program. What
// fails is written to report, and the child ends with 127.
[[noreturn]] void run_child(const ChildPlan& plan, int report) {
  if (plan.stdio[0] >= 0) {
    // Own process group, so a timeout kills the run with all its children.
    ::setpgid(0, 0);
    for (int fd = 0; fd < 3; ++fd)
      if (::dup2(plan.stdio[fd], fd) < 0) child_failed(report, "dup2", "");
  }
  if (::unshare(CLONE_NEWNS) != 0)
    child_failed(report, "unshare(CLONE_NEWNS) (a private mount namespace needs root)", "");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    child_failed(report, "make / private", "");
  if (const char* dev = mount_private_dev()) child_failed(report, "private", dev);
  for (const MountStep& m : plan.mounts) {
    if (::mount(m.source.c_str(), m.target.c_str(), m.fstype, m.flags,
                m.data.empty() ? nullptr : m.data.c_str()) != 0)
      child_failed(report, m.fstype ? "mount over" : "bind over", m.target);
  }
  if (::chdir(plan.workdir.c_str()) != 0) child_failed(report, "chdir", plan.workdir);
  ::execve(plan.program.c_str(), plan.argv.data(), plan.env.data());
  child_failed(report, "execve", plan.program);
}

// Everything read from fd until its end.
std::string read_all(int fd) {
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

void reap(pid_t pid, int* wstatus) {
  while (::waitpid(pid, wstatus, 0) < 0 && errno == EINTR) {
  }
}

// Waits for a run attached to the terminal. Ctrl-C at the terminal is for
// vexor; this process must survive it to clean up, as system(3) does.
int wait_attached(pid_t pid) {
  struct sigaction ignore {
  }, old_int{}, old_quit{};
  ignore.sa_handler = SIG_IGN;
  ::sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGINT, &ignore, &old_int);
  ::sigaction(SIGQUIT, &ignore, &old_quit);
  int wstatus = 0;
  int rc;
  while ((rc = ::waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
  }
  int saved = errno;
  ::sigaction(SIGINT, &old_int, nullptr);
  ::sigaction(SIGQUIT, &old_quit, nullptr);
  errno = saved;
  if (rc < 0) fail_errno("waitpid");
  return wstatus;
}

// Waits for a captured run for at most seconds (0: for ever); then kills it
// with its process group and sets *timed_out. Returns the wait status.
int wait_captured(pid_t pid, double seconds, bool* timed_out) {
  int wstatus = 0;
  if (seconds <= 0) {
    while (::waitpid(pid, &wstatus, 0) < 0)
      if (errno != EINTR) fail_errno("waitpid");
    return wstatus;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  while (true) {
    pid_t r = ::waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) return wstatus;
    if (r < 0 && errno != EINTR) fail_errno("waitpid");
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      reap(pid, &wstatus);
      *timed_out = true;
      return wstatus;
    }
    if (pidfd.fd >= 0) {
      pollfd p{pidfd.fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
}

// vexor's run lock, relative to the host's /run.
constexpr const char* kRunLock = "vexor/vexor.lock";

}  // namespace

struct SimHost::Impl {
  HostSpec desc;
  fs::path dir;
  bool keep = false;
  double timeout_seconds = 60;
  std::vector<std::pair<std::string, std::string>> environment;  // set for every run

  fs::path state() const { return dir / "state"; }
  fs::path component() const { return dir / "component"; }
  // The host's own /run, and the /run/lock in it.
  fs::path run_root() const { return dir / "runroot"; }
  fs::path lock_dir() const { return run_root() / "lock"; }
  // The host's directory relative to /tmp when it lies under /tmp, which
  // every run covers with the host's own: there it is made reachable again
  // at its own path. Empty when it lies elsewhere.
  fs::path dir_in_tmp() const {
    const fs::path relative = dir.lexically_relative("/tmp");
    if (relative.empty() || relative == "." || *relative.begin() == "..") return {};
    return relative;
  }

  int runs = 0;  // runs started, for the names of their output files

  void lay_out(bool fresh);
  void lay_out_sysfs();
  void lay_out_tools();
  void lay_out_component();
  // A run started: its process, and the files its standard output and
  // error go to (empty when attached).
  struct Launched {
    pid_t pid = -1;
    std::string out_path, err_path;
  };
  Launched launch(const std::string& program, const std::vector<std::string>& argv, bool attached,
                  const std::string& stdin_text);
  // Waits for a run to end (with the timeout when captured); returns its status.
  int finish(const Launched& run, bool attached, RunResult* captured);
  int spawn(const std::string& program, const std::vector<std::string>& argv, bool attached,
            const std::string& stdin_text, RunResult* captured) {
    return finish(launch(program, argv, attached, stdin_text), attached, captured);
  }
  std::vector<MountStep> mount_plan() const;
  std::vector<std::string> run_environment() const;
  RunStreams open_streams(const std::string& stdin_text);
};

void SimHost::Impl::lay_out(bool fresh) {
  for (const auto& f : desc.functions) {
    if (!is_pci_address(f.address))
      throw std::invalid_argument("simulated host: not a PCI address: \"" + f.address + "\"");
    auto one_name = [](const std::string& name) {
      return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
    };
    for (const auto& name : f.interfaces)
      if (!one_name(name))
        throw std::invalid_argument("simulated host: bad interface name \"" + name + "\"");
    for (const auto* files : {&f.unreadable_files, &f.missing_files})
      for (const auto& name : *files)
        if (!one_name(name))
          throw std::invalid_argument("simulated host: bad sysfs file name \"" + name + "\"");
  }
  for (const auto& image : desc.images)
    if (!valid_relative(image.file))
      throw std::invalid_argument(
          "simulated host: image file name must be relative: \"" + image.file + "\"");

  fs::create_directories(state());
  fs::create_directories(dir / "run");
  // /tmp and /run/lock as Debian has them: anyone may create files there.
  make_directory(dir / "tmp", 01777);
  make_directory(run_root(), 0755);
  make_directory(lock_dir(), 01777);
  if (!dir_in_tmp().empty()) fs::create_directories(dir / "tmp" / dir_in_tmp());

  lay_out_sysfs();
  lay_out_tools();
  lay_out_component();

  // A reopened host keeps what its flash utility knows (adapters flashed stay
  // flashed); adapters new to the description are added.
  for (const auto& f : desc.functions) {
    if (!f.flash) continue;
    if (fresh || !load_adapter(state().string(), f.address))
      save_adapter(state().string(), f.address, *f.flash);
  }
  write_text(dir / kMarker, "simulated vexor host\n");
}

void SimHost::Impl::lay_out_sysfs() {
  fs::remove_all(dir / "sys");
  fs::path pci = dir / "sys/bus/pci";
  fs::create_directories(pci / "devices");
  fs::create_directories(pci / "drivers");
  fs::create_directories(pci / "slots");
  fs::create_directories(dir / "sys/class/net");
  for (const auto& f : desc.functions) {
    bool multifunction = false;
    for (const auto& g : desc.functions)
      if (&g != &f && g.address.compare(0, 10, f.address, 0, 10) == 0) multifunction = true;
    fs::path d = pci / "devices" / f.address;
    write_text(d / "vendor", hex(f.vendor, 4) + "\n");
    write_text(d / "device", hex(f.device, 4) + "\n");
    write_text(d / "subsystem_vendor", hex(f.subsystem_vendor, 4) + "\n");
    write_text(d / "subsystem_device", hex(f.subsystem_device, 4) + "\n");
    write_text(d / "class", hex(f.pci_class & 0xffffff, 6) + "\n");
    write_text(d / "revision", "0x00\n");
    write_text(d / "irq", "0\n");
    std::string resource;
    for (int i = 0; i < 13; ++i)
      resource += "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    write_text(d / "resource", resource);
    write_text(d / "config", config_space(f, multifunction));
    for (const auto& name : f.missing_files) fs::remove(d / name);
    for (const auto& name : f.unreadable_files) {
      fs::remove(d / name);
      fs::create_directory(d / name);
    }
    for (const auto& name : f.interfaces) {
      fs::path link = dir / "sys/class/net" / name;
      std::error_code ec;
      fs::remove(link, ec);
      fs::create_symlink("../../devices/pci0000:00/" + f.address + "/net/" + name, link);
    }
  }

  std::string ids = "# Vendor names of the simulated host\n";
  for (const auto& [id, name] : desc.vendor_names) ids += hex(id, 4, false) + "  " + name + "\n";
  ids +=
      "C 02  Network controller\n"
      "\t00  Ethernet controller\n"
      "\t07  Infiniband controller\n"
      "\t80  Network controller\n"
      "C 0c  Serial bus controller\n"
      "\t06  InfiniBand\n";
  write_text(dir / "pci.ids", ids);
  write_text(dir / "empty", "");
}

void SimHost::Impl::lay_out_tools() {
  fs::remove_all(dir / "bin");
  fs::path bin = dir / "bin";
  make_directory(bin, 0755);
  if (desc.secure_boot == SecureBoot::absent) whiteout(bin / "mokutil");
  else write_text(bin / "mokutil", mokutil_script(desc.secure_boot, desc.mokutil_seconds), 0755);
  if (desc.qtk.present)
    write_text(bin / "qtk",
               "#!/bin/sh\n" + delay_line(desc.qtk.seconds) + "exit " +
                   std::to_string(desc.qtk.exit_status) + "\n",
               0755);
  else whiteout(bin / "qtk");
  if (desc.quarz.present) copy_binary(VEXOR_SIM_FLASH_UTILITY, bin / "quarz", 0755);
  else whiteout(bin / "quarz");
}

void SimHost::Impl::lay_out_component() {
  fs::path comp = component();
  // Root's own, as a site installs it: vexor runs and reads nothing that
  // anyone else could change.
  make_directory(comp, 0755);
  copy_binary(VEXOR_SIM_VEXOR, comp / "vexor", 0755);
  std::error_code ec;
  fs::remove(comp / "getqrvninfo", ec);
  if (desc.getqrvninfo_present) copy_binary(VEXOR_SIM_GETQRVNINFO, comp / "getqrvninfo", 0755);
  fs::remove_all(comp / "nic_fw");
  make_directory(comp / "nic_fw", 0755);
  if (desc.pyxflash_present)
    copy_binary(VEXOR_SIM_FLASH_UTILITY, comp / "nic_fw/pyxflash",
                desc.pyxflash_executable ? 0755 : 0644);
  if (desc.catalog_xml) write_text(comp / "nic_fw/NICFWData.xml", *desc.catalog_xml);
  for (const auto& image : desc.images)
    write_text(comp / "nic_fw" / image.file, image_to_text(image));
}

// The mounts of every run, in order. The host's /tmp comes last, because it
// may cover the host's own directory: the directory is first bound into
// the host's /tmp at its own path, and that /tmp is bound with what is
// mounted in it. So vexor finds its component directory at the same path
// inside the host as outside (its executable's directory), and the flash
// utility its state, also after vexor and the launcher have gone.
std::vector<MountStep> SimHost::Impl::mount_plan() const {
  const std::string d = dir.string();
  std::vector<MountStep> steps{bind_mount(d + "/sys/bus/pci", "/sys/bus/pci"),
                               bind_mount(d + "/sys/class/net", "/sys/class/net")};
  for (const char* p : kPciIdsPaths)
    if (::access(p, F_OK) == 0) steps.push_back(bind_mount(d + "/pci.ids", p));
  if (steps.size() == 2)
    fail(std::string("no vendor-name database to cover (") + kPciIdsPaths[0] +
         " is missing; install pci.ids)");
  for (const char* p : kHwdbPaths) {
    std::error_code ec;
    if (fs::exists(p, ec)) steps.push_back(bind_mount(d + "/empty", p));
  }
  steps.push_back({"overlay", "/usr/bin", "overlay", MS_RDONLY, "lowerdir=" + d + "/bin:/usr/bin"});
  // The host's own /run: nothing vexor writes there (its run lock, say)
  // reaches the machine or another host.
  steps.push_back(bind_mount(run_root().string(), "/run"));
  if (!dir_in_tmp().empty()) steps.push_back(bind_mount(d, (dir / "tmp" / dir_in_tmp()).string()));
  steps.push_back(bind_mount(d + "/tmp", "/tmp", MS_BIND | MS_REC));
  return steps;
}

std::vector<std::string> SimHost::Impl::run_environment() const {
  std::vector<std::pair<std::string, std::string>> set = environment;
  set.emplace_back(kStateEnv, state().string());
  auto is_set = [&set](const char* entry) {
    for (const auto& [name, value] : set)
      if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=')
        return true;
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (!is_set(*e)) env.push_back(*e);
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

RunStreams SimHost::Impl::open_streams(const std::string& stdin_text) {
  // Each run its own files: runs in the background may overlap.
  const std::string base = (dir / "run" / std::to_string(++runs)).string();
  RunStreams s;
  s.out_path = base + ".stdout";
  s.err_path = base + ".stderr";
  write_text(base + ".stdin", stdin_text, 0600);
  s.in = Fd(::open((base + ".stdin").c_str(), O_RDONLY | O_CLOEXEC));
  s.out = Fd(::open(s.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  s.err = Fd(::open(s.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (s.in.fd < 0 || s.out.fd < 0 || s.err.fd < 0)
    fail_errno("cannot open the run's standard streams in " + (dir / "run").string());
  return s;
}

SimHost::Impl::Launched SimHost::Impl::launch(const std::string& program,
                                              const std::vector<std::string>& args, bool attached,
                                              const std::string& stdin_text) {
  const std::vector<std::string> env = run_environment();
  ChildPlan plan{mount_plan(), component().string(), program, c_strings(args), c_strings(env)};
  RunStreams streams;
  if (!attached) {
    streams = open_streams(stdin_text);
    plan.stdio = {streams.in.fd, streams.out.fd, streams.err.fd};
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) fail_errno("pipe2");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    run_child(plan, report[1]);
  }
  const int saved = errno;
  ::close(report[1]);
  Fd problem_end(report[0]);
  if (pid < 0) {
    errno = saved;
    fail_errno("fork");
  }
  const std::string problem = read_all(problem_end.fd);
  if (!problem.empty()) {
    int ws;
    reap(pid, &ws);
    fail("cannot run in a private mount namespace: " + problem);
  }
  return {pid, streams.out_path, streams.err_path};
}

int SimHost::Impl::finish(const Launched& run, bool attached, RunResult* captured) {
  bool timed_out = false;
  const int status = decode_status(
      attached ? wait_attached(run.pid) : wait_captured(run.pid, timeout_seconds, &timed_out));
  if (captured) {
    captured->status = status;
    captured->out = slurp(run.out_path).value_or("");
    captured->err = slurp(run.err_path).value_or("");
    if (timed_out) {
      char note[96];
      std::snprintf(note, sizeof note, "\nsimulated host: killed after %g s\n", timeout_seconds);
      captured->err += note;
    }
  }
  return status;
}

SimHost::SimHost(HostSpec desc) : impl_(std::make_unique<Impl>()) {
  impl_->desc = std::move(desc);
  std::string templ = "/tmp/vexor-sim-XXXXXX";
  if (!::mkdtemp(templ.data())) fail_errno("mkdtemp " + templ);
  impl_->dir = templ;
  try {
    impl_->lay_out(true);
  } catch (...) {
    std::error_code ec;
    fs::remove_all(impl_->dir, ec);
    throw;
  }
}

SimHost::SimHost(HostSpec desc, const std::string& dir) : impl_(std::make_unique<Impl>()) {
  impl_->desc = std::move(desc);
  std::error_code ec;
  fs::path p = fs::absolute(dir, ec);
  if (ec) fail("bad directory " + dir + ": " + ec.message());
  impl_->dir = p.lexically_normal();
  // The overlay's lowerdir option separates layers with ':' and options with ','.
  if (impl_->dir.string().find_first_of(":,") != std::string::npos)
    fail("the host directory may not contain ':' or ',': " + impl_->dir.string());
  bool exists = fs::exists(impl_->dir);
  bool is_host = fs::exists(impl_->dir / kMarker);
  if (exists && !is_host && !fs::is_empty(impl_->dir, ec))
    fail(impl_->dir.string() +
         " is neither empty nor a simulated host; refusing to lay one out there");
  fs::create_directories(impl_->dir);
  // A directory the caller named is the caller's: it is kept.
  impl_->keep = true;
  impl_->lay_out(!is_host);
}

SimHost::~SimHost() {
  if (!impl_ || impl_->keep) return;
  std::error_code ec;
  fs::remove_all(impl_->dir, ec);
}

RunResult SimHost::run(const std::vector<std::string>& args, const std::string& stdin_text) {
  std::vector<std::string> argv{"./vexor"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r;
  // Relative: once /tmp is covered the host's absolute paths may be gone.
  impl_->spawn("./vexor", argv, false, stdin_text, &r);
  return r;
}

BackgroundRun SimHost::start(const std::vector<std::string>& args, const std::string& stdin_text) {
  std::vector<std::string> argv{"./vexor"};
  argv.insert(argv.end(), args.begin(), args.end());
  const Impl::Launched run = impl_->launch("./vexor", argv, false, stdin_text);
  return BackgroundRun(this, run.pid, {run.out_path, run.err_path});
}

int SimHost::run_attached(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"./vexor"};
  argv.insert(argv.end(), args.begin(), args.end());
  return impl_->spawn("./vexor", argv, true, "", nullptr);
}

RunResult SimHost::run_shell(const std::string& command_line, const std::string& stdin_text) {
  RunResult r;
  impl_->spawn("/bin/sh", {"sh", "-c", command_line}, false, stdin_text, &r);
  return r;
}

BackgroundRun SimHost::start_shell(const std::string& command_line) {
  const Impl::Launched run = impl_->launch("/bin/sh", {"sh", "-c", command_line}, false, "");
  return BackgroundRun(this, run.pid, {run.out_path, run.err_path});
}

namespace {

std::vector<std::string> shell_as(uid_t uid, const std::string& command_line) {
  const std::string id = std::to_string(uid);
  return {"setpriv", "--reuid", id, "--regid", id, "--clear-groups", "/bin/sh", "-c", command_line};
}

}  // namespace

RunResult SimHost::run_shell_as(uid_t uid, const std::string& command_line,
                                const std::string& stdin_text) {
  RunResult r;
  impl_->spawn("/usr/bin/setpriv", shell_as(uid, command_line), false, stdin_text, &r);
  return r;
}

BackgroundRun SimHost::start_shell_as(uid_t uid, const std::string& command_line) {
  const Impl::Launched run =
      impl_->launch("/usr/bin/setpriv", shell_as(uid, command_line), false, "");
  return BackgroundRun(this, run.pid, {run.out_path, run.err_path});
}

int SimHost::run_shell_attached(const std::string& command_line) {
  return impl_->spawn("/bin/sh", {"sh", "-c", command_line}, true, "", nullptr);
}

std::string SimHost::dir() const { return impl_->dir.string(); }
std::string SimHost::component_dir() const { return impl_->component().string(); }
std::string SimHost::tmp_dir() const { return (impl_->dir / "tmp").string(); }
std::string SimHost::run_dir() const { return impl_->run_root().string(); }
std::string SimHost::lock_dir() const { return impl_->lock_dir().string(); }

void SimHost::wait_until_unlocked(double seconds) const {
  const std::string path = (impl_->run_root() / kRunLock).string();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;  // no run ever took it
    fail_errno("open " + path);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool free = false;
  while (!(free = ::flock(fd, LOCK_EX | LOCK_NB) == 0) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::close(fd);  // also gives the lock back
  if (!free) fail(path + " is still locked after " + std::to_string(seconds) + " s");
}

std::vector<std::pair<int, std::string>> SimHost::burn_descriptors(
    const std::string& address) const {
  std::vector<std::pair<int, std::string>> fds;
  std::istringstream in(slurp(descriptors_path(impl_->state().string(), address)).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    fds.emplace_back(std::stoi(line.substr(0, tab)), line.substr(tab + 1));
  }
  std::sort(fds.begin(), fds.end());
  return fds;
}

std::string SimHost::burn_file_size_limit(const std::string& address) const {
  std::string text = slurp(file_size_limit_path(impl_->state().string(), address)).value_or("");
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::vector<std::vector<std::string>> SimHost::journal() const {
  return read_journal(journal_path(impl_->state().string()));
}

std::vector<std::vector<std::string>> SimHost::burns() const {
  std::vector<std::vector<std::string>> out;
  for (auto& entry : journal())
    if (!entry.empty() && entry.back() == "b") out.push_back(std::move(entry));
  return out;
}

Adapter SimHost::adapter(const std::string& address) const {
  auto a = load_adapter(impl_->state().string(), address);
  if (!a) fail("the flash utility knows no adapter at " + address);
  return *a;
}

std::string SimHost::read_file(const std::string& relative) const {
  return slurp((impl_->component() / relative).string()).value_or("");
}

void SimHost::write_file(const std::string& relative, const std::string& content) const {
  write_text(impl_->component() / relative, content);
}

void SimHost::write_file(const std::string& relative, const std::string& content,
                         bool executable) const {
  write_text(impl_->component() / relative, content, executable ? 0755 : 0644);
}

void SimHost::set_timeout(double seconds) { impl_->timeout_seconds = seconds; }

void SimHost::set_environment(const std::string& name, const std::string& value) {
  if (name.empty() || name.find('=') != std::string::npos)
    throw std::invalid_argument("simulated host: bad environment variable name \"" + name + "\"");
  for (auto& entry : impl_->environment) {
    if (entry.first == name) {
      entry.second = value;
      return;
    }
  }
  impl_->environment.emplace_back(name, value);
}

void SimHost::keep() { impl_->keep = true; }

BackgroundRun::BackgroundRun(BackgroundRun&& other) noexcept :
    host_(other.host_), pid_(other.pid_), files_(std::move(other.files_)), waited_(other.waited_) {
  other.waited_ = true;
}

BackgroundRun::~BackgroundRun() {
  if (waited_ || pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int ws;
  while (::waitpid(pid_, &ws, 0) < 0 && errno == EINTR) {
  }
}

void BackgroundRun::wait_until(const std::function<bool()>& condition, double seconds,
                               const std::string& what) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    // Looked at without reaping it: wait() still gets its status.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
      if (condition()) return;
      fail("vexor ended before " + what);
    }
    if (std::chrono::steady_clock::now() >= deadline)
      fail("no " + what + " within " + std::to_string(seconds) + " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void BackgroundRun::wait_for_burn_start(size_t burns_before, double seconds) {
  wait_until([&] { return host_->burns().size() > burns_before; }, seconds, "a burn began");
}

void BackgroundRun::wait_for_file(const std::string& path, double seconds) {
  wait_until([&] { return fs::exists(path); }, seconds, path + " existed");
}

void BackgroundRun::wait_for_journal(size_t n, double seconds) {
  wait_until([&] { return host_->journal().size() >= n; }, seconds,
             "the journal held " + std::to_string(n) + " entries");
}

void BackgroundRun::signal(int sig) {
  if (waited_) fail("signal to a run that has ended");
  if (::kill(pid_, sig) != 0) fail_errno("kill");
}

RunResult BackgroundRun::wait() {
  if (waited_) fail("a background run is waited for once");
  waited_ = true;
  RunResult r;
  host_->impl_->finish({pid_, files_.out, files_.err}, false, &r);
  return r;
}

}  // namespace sim
