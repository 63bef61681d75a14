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
constexpr const char* kHwdbPaths[] = {"/etc/udev/hwdb.bin", "/usr/lib/udev/hwdb.bin", "/lib/udev/hwdb.bin"};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("simulated host: " + what); }

[[noreturn]] void fail_errno(const std::string& what) {
  fail(what + ": " + std::strerror(errno));
}

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
  if (::mknod(path.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) fail_errno("mknod whiteout " + path.string());
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

std::string mokutil_script(SecureBoot state) {
  std::string reply;
  switch (state) {
    case SecureBoot::enabled: reply = "echo 'SecureBoot enabled'"; break;
    case SecureBoot::disabled: reply = "echo 'SecureBoot disabled'"; break;
    case SecureBoot::garbage: reply = "printf '\\001\\177 sb-state ?? 0x7f3a\\n'"; break;
    case SecureBoot::absent: break;
  }
  return "#!/bin/sh\n"
         "case \"$1\" in\n"
         "  --sb-state) " + reply + " ;;\n"
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
constexpr DevNode kDevNodes[] = {{"/dev/null", 1, 3},   {"/dev/zero", 1, 5},
                                 {"/dev/full", 1, 7},   {"/dev/random", 1, 8},
                                 {"/dev/urandom", 1, 9}, {"/dev/tty", 5, 0}};
constexpr std::pair<const char*, const char*> kDevLinks[] = {{"/dev/fd", "/proc/self/fd"},
                                                             {"/dev/stdin", "/proc/self/fd/0"},
                                                             {"/dev/stdout", "/proc/self/fd/1"},
                                                             {"/dev/stderr", "/proc/self/fd/2"}};

// Mounts the private /dev inside the run's namespace. Runs in the child
// after fork, so it only makes system calls. Returns the path that could not
// be made, or null.
const char* mount_private_dev() {
  if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") != 0) return "/dev";
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

}  // namespace

struct SimHost::Impl {
  HostSpec desc;
  fs::path dir;
  bool keep = false;
  double timeout_seconds = 60;

  fs::path state() const { return dir / "state"; }
  fs::path component() const { return dir / "component"; }

  int runs = 0;  // runs started, for the names of their output files

  fs::path lock_dir() const { return dir / "runroot/lock"; }

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
};

void SimHost::Impl::lay_out(bool fresh) {
  for (const auto& f : desc.functions) {
    if (!is_pci_address(f.address)) throw std::invalid_argument("simulated host: not a PCI address: \"" + f.address + "\"");
    auto one_name = [](const std::string& name) {
      return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
    };
    for (const auto& name : f.interfaces)
      if (!one_name(name)) throw std::invalid_argument("simulated host: bad interface name \"" + name + "\"");
    for (const auto* files : {&f.unreadable_files, &f.missing_files})
      for (const auto& name : *files)
        if (!one_name(name)) throw std::invalid_argument("simulated host: bad sysfs file name \"" + name + "\"");
  }
  for (const auto& image : desc.images)
    if (!valid_relative(image.file))
      throw std::invalid_argument("simulated host: image file name must be relative: \"" + image.file + "\"");

  fs::create_directories(state());
  fs::create_directories(dir / "tmp");
  fs::create_directories(dir / "run");
  fs::create_directories(lock_dir());
  ::chmod((dir / "tmp").c_str(), 01777);

  lay_out_sysfs();
  lay_out_tools();
  lay_out_component();

  // A reopened host keeps what its flash utility knows (adapters flashed stay
  // flashed); adapters new to the description are added.
  for (const auto& f : desc.functions) {
    if (!f.flash) continue;
    if (fresh || !load_adapter(state().string(), f.address)) save_adapter(state().string(), f.address, *f.flash);
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
    for (int i = 0; i < 13; ++i) resource += "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
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
  fs::create_directories(bin);
  if (desc.secure_boot == SecureBoot::absent)
    whiteout(bin / "mokutil");
  else
    write_text(bin / "mokutil", mokutil_script(desc.secure_boot), 0755);
  if (desc.qtk.present)
    write_text(bin / "qtk", "#!/bin/sh\nexit " + std::to_string(desc.qtk.exit_status) + "\n", 0755);
  else
    whiteout(bin / "qtk");
  if (desc.quarz.present)
    copy_binary(VEXOR_SIM_FLASH_UTILITY, bin / "quarz", 0755);
  else
    whiteout(bin / "quarz");
}

void SimHost::Impl::lay_out_component() {
  fs::path comp = component();
  fs::create_directories(comp);
  copy_binary(VEXOR_SIM_VEXOR, comp / "vexor", 0755);
  std::error_code ec;
  fs::remove(comp / "getqrvninfo", ec);
  if (desc.getqrvninfo_present) copy_binary(VEXOR_SIM_GETQRVNINFO, comp / "getqrvninfo", 0755);
  fs::remove_all(comp / "nic_fw");
  fs::create_directories(comp / "nic_fw");
  if (desc.pyxflash_present)
    copy_binary(VEXOR_SIM_FLASH_UTILITY, comp / "nic_fw/pyxflash", desc.pyxflash_executable ? 0755 : 0644);
  if (desc.catalog_xml) write_text(comp / "nic_fw/NICFWData.xml", *desc.catalog_xml);
  for (const auto& image : desc.images) write_text(comp / "nic_fw" / image.file, image_to_text(image));
}

SimHost::Impl::Launched SimHost::Impl::launch(const std::string& program, const std::vector<std::string>& args,
                                              bool attached, const std::string& stdin_text) {
  // Everything the child needs is prepared here: after fork it only makes
  // system calls.
  const std::string d = dir.string();
  const std::string sys_pci = d + "/sys/bus/pci";
  const std::string sys_net = d + "/sys/class/net";
  const std::string ids = d + "/pci.ids";
  const std::string empty = d + "/empty";
  const std::string tmp = d + "/tmp";
  const std::string comp = component().string();
  // The host's own /run/lock, so that no two hosts (nor the machine) share
  // a run lock; on a machine without /run/lock it comes as part of a /run.
  std::error_code lock_ec;
  const bool cover_run = !fs::is_directory("/run/lock", lock_ec);
  const std::string lock_source = cover_run ? (dir / "runroot").string() : lock_dir().string();
  const char* const lock_target = cover_run ? "/run" : "/run/lock";
  const std::string overlay_opts = "lowerdir=" + d + "/bin:/usr/bin";
  std::vector<std::string> ids_targets, hwdb_targets;
  for (const char* p : kPciIdsPaths)
    if (::access(p, F_OK) == 0) ids_targets.push_back(p);
  if (ids_targets.empty())
    fail(std::string("no vendor-name database to cover (") + kPciIdsPaths[0] + " is missing; install pci.ids)");
  for (const char* p : kHwdbPaths) {
    std::error_code ec;
    if (fs::exists(p, ec)) hwdb_targets.push_back(p);
  }

  // The host's directory may itself lie under /tmp, which the run covers;
  // the flash utility reaches the state through this process's root instead.
  std::vector<std::string> env;
  std::string state_var = std::string(kStateEnv) + "=";
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, state_var.c_str(), state_var.size()) != 0) env.push_back(*e);
  env.push_back(state_var + "/proc/" + std::to_string(::getpid()) + "/root" + state().string());

  std::vector<char*> argv_c, env_c;
  for (const auto& a : args) argv_c.push_back(const_cast<char*>(a.c_str()));
  argv_c.push_back(nullptr);
  for (const auto& e : env) env_c.push_back(const_cast<char*>(e.c_str()));
  env_c.push_back(nullptr);

  int in_fd = -1, out_fd = -1, err_fd = -1;
  // Each run its own files: runs in the background may overlap.
  const std::string run_files = d + "/run/" + std::to_string(++runs);
  const std::string in_path = run_files + ".stdin", out_path = run_files + ".stdout",
                    err_path = run_files + ".stderr";
  struct Fds {
    int* fds[3];
    ~Fds() {
      for (int* f : fds)
        if (*f >= 0) ::close(*f);
    }
  } close_fds{{&in_fd, &out_fd, &err_fd}};
  if (!attached) {
    write_text(in_path, stdin_text, 0600);
    in_fd = ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) fail_errno("cannot open the run's standard streams in " + d + "/run");
  }

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) fail_errno("pipe2");
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) {
    int saved = errno;
    ::close(report[0]);
    ::close(report[1]);
    errno = saved;
    fail_errno("fork");
  }
  if (pid == 0) {
    ::close(report[0]);
    auto die = [&](const char* what, const std::string& path) {
      std::string msg = std::string(what) + " " + path + ": " + std::strerror(errno);
      ssize_t ignored = ::write(report[1], msg.data(), msg.size());
      (void)ignored;
      ::_exit(127);
    };
    if (!attached) {
      // Own process group, so a timeout kills vexor with all its children.
      ::setpgid(0, 0);
      if (::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) die("dup2", "");
    }
    if (::unshare(CLONE_NEWNS) != 0) die("unshare(CLONE_NEWNS) (a private mount namespace needs root)", "");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("make / private", "");
    if (::mount(sys_pci.c_str(), "/sys/bus/pci", nullptr, MS_BIND, nullptr) != 0) die("bind over", "/sys/bus/pci");
    if (::mount(sys_net.c_str(), "/sys/class/net", nullptr, MS_BIND, nullptr) != 0) die("bind over", "/sys/class/net");
    for (const auto& t : ids_targets)
      if (::mount(ids.c_str(), t.c_str(), nullptr, MS_BIND, nullptr) != 0) die("bind over", t);
    for (const auto& t : hwdb_targets)
      if (::mount(empty.c_str(), t.c_str(), nullptr, MS_BIND, nullptr) != 0) die("bind over", t);
    if (::mount("overlay", "/usr/bin", "overlay", MS_RDONLY, overlay_opts.c_str()) != 0)
      die("overlay mount over", "/usr/bin");
    if (::mount(lock_source.c_str(), lock_target, nullptr, MS_BIND, nullptr) != 0) die("bind over", lock_target);
    if (const char* dev = mount_private_dev()) die("private", dev);
    if (::chdir(comp.c_str()) != 0) die("chdir", comp);
    // Last, because it may cover the host's own directory.
    if (::mount(tmp.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0) die("bind over", "/tmp");
    ::execve(program.c_str(), argv_c.data(), env_c.data());
    die("execve", program);
  }

  ::close(report[1]);
  std::string problem;
  char buf[512];
  ssize_t n;
  while ((n = ::read(report[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) problem.append(buf, static_cast<size_t>(n));
  ::close(report[0]);
  if (!problem.empty()) {
    int ws;
    while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    fail("cannot run in a private mount namespace: " + problem);
  }
  return {pid, attached ? std::string() : out_path, attached ? std::string() : err_path};
}

int SimHost::Impl::finish(const Launched& run, bool attached, RunResult* captured) {
  const pid_t pid = run.pid;
  const std::string& out_path = run.out_path;
  const std::string& err_path = run.err_path;
  int wstatus = 0;
  bool timed_out = false;
  if (attached) {
    // Ctrl-C at the terminal is for vexor; this process must survive it to
    // clean up, as system(3) does.
    struct sigaction ignore {}, old_int{}, old_quit{};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &old_int);
    ::sigaction(SIGQUIT, &ignore, &old_quit);
    int rc;
    while ((rc = ::waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
    }
    int saved = errno;
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGQUIT, &old_quit, nullptr);
    errno = saved;
    if (rc < 0) fail_errno("waitpid");
  } else if (timeout_seconds <= 0) {
    while (::waitpid(pid, &wstatus, 0) < 0)
      if (errno != EINTR) fail_errno("waitpid");
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    while (true) {
      pid_t r = ::waitpid(pid, &wstatus, WNOHANG);
      if (r == pid) break;
      if (r < 0 && errno != EINTR) fail_errno("waitpid");
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        timed_out = true;
        break;
      }
      if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    if (pidfd >= 0) ::close(pidfd);
  }

  int status = decode_status(wstatus);
  if (captured) {
    captured->status = status;
    captured->out = slurp(out_path).value_or("");
    captured->err = slurp(err_path).value_or("");
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
    fail(impl_->dir.string() + " is neither empty nor a simulated host; refusing to lay one out there");
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

int SimHost::run_shell_attached(const std::string& command_line) {
  return impl_->spawn("/bin/sh", {"sh", "-c", command_line}, true, "", nullptr);
}

std::string SimHost::dir() const { return impl_->dir.string(); }
std::string SimHost::component_dir() const { return impl_->component().string(); }
std::string SimHost::tmp_dir() const { return (impl_->dir / "tmp").string(); }
std::string SimHost::lock_dir() const { return impl_->lock_dir().string(); }

void SimHost::wait_until_unlocked(double seconds) const {
  const std::string path = (impl_->lock_dir() / "vexor.lock").string();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;  // no run ever took it
    fail_errno("open " + path);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool free = false;
  while (!(free = ::flock(fd, LOCK_EX | LOCK_NB) == 0) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::close(fd);  // also gives the lock back
  if (!free) fail(path + " is still locked after " + std::to_string(seconds) + " s");
}

std::vector<std::pair<int, std::string>> SimHost::burn_descriptors(const std::string& address) const {
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

void SimHost::write_file(const std::string& relative, const std::string& content, bool executable) const {
  write_text(impl_->component() / relative, content, executable ? 0755 : 0644);
}

void SimHost::set_timeout(double seconds) { impl_->timeout_seconds = seconds; }

void SimHost::keep() { impl_->keep = true; }

BackgroundRun::BackgroundRun(BackgroundRun&& other) noexcept
    : host_(other.host_), pid_(other.pid_), files_(std::move(other.files_)), waited_(other.waited_) {
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
