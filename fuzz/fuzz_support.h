// Helpers shared by the fuzz harnesses: a private working directory and
// invariant checks that end the run the way a sanitizer report does.
#pragma once

#include <libxml/xmlerror.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

// Aborts with a message when an invariant does not hold; libFuzzer keeps the
// input that led here as a crash.
#define FUZZ_CHECK(cond)                                                                      \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      std::fprintf(stderr, "fuzz invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

// The product reads and writes fixed paths relative to the working
// directory. Each harness gets a private directory (removed at exit) and
// works inside it only while the product runs, so libFuzzer's own relative
// paths (corpus directories, crash artifacts) keep meaning what they meant
// where it was started.
struct PrivateDir {
  std::filesystem::path path;
  int dir_fd = -1;
  int home_fd = -1;
};

inline PrivateDir& private_dir() {
  static PrivateDir dir;
  return dir;
}

// Creates the private directory under the temporary directory; call once
// from LLVMFuzzerInitialize.
inline void make_private_dir(const char* name) {
  PrivateDir& dir = private_dir();
  std::string tmpl = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  dir.path = tmpl;
  dir.dir_fd = open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  dir.home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir.dir_fd < 0 || dir.home_fd < 0) {
    std::perror("open");
    std::abort();
  }
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(private_dir().path, ec);
  });
}

// While alive, the private directory is the working directory.
class InPrivateDir {
 public:
  InPrivateDir() { change_to(private_dir().dir_fd); }
  ~InPrivateDir() { change_to(private_dir().home_fd); }
  InPrivateDir(const InPrivateDir&) = delete;
  InPrivateDir& operator=(const InPrivateDir&) = delete;

 private:
  static void change_to(int fd) {
    if (fchdir(fd) != 0) {
      std::perror("fchdir");
      std::abort();
    }
  }
};

// Replaces the file at path (relative to the working directory) by bytes.
inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) {
    std::fprintf(stderr, "fuzz: could not write %s\n", path.c_str());
    std::abort();
  }
}

inline void write_file(const std::string& path, const std::string& text) {
  write_file(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// libxml2 reports every parse error on stderr; thousands of them per second
// would drown the fuzzer's own output.
inline void ignore_generic_error(void*, const char*, ...) {}
inline void ignore_structured_error(void*, xmlErrorPtr) {}
inline void quiet_libxml() {
  xmlSetGenericErrorFunc(nullptr, ignore_generic_error);
  xmlSetStructuredErrorFunc(nullptr, ignore_structured_error);
}

}  // namespace fuzz
