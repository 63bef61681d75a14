// Readers shared by the unit and the simulated-host tests: whole files and
// streams, the lines of a text, the files of a directory, and what the code
// under test writes to standard output or standard error.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testhost {

// Whole contents of a file ("" when it cannot be read).
inline std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Whole contents of an open stream, read from its start.
inline std::string stream_text(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

// The lines of text, without their newlines.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The files of dir whose names start with prefix, in directory order.
inline std::vector<std::filesystem::path> files_named(const std::string& dir,
                                                      const std::string& prefix) {
  std::vector<std::filesystem::path> found;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind(prefix, 0) == 0) found.push_back(e.path());
  return found;
}

// text up to the nth occurrence of what (all of text when there is none).
inline std::string cut_before(const std::string& text, const std::string& what, int nth = 1) {
  size_t at = text.find(what);
  for (int i = 1; i < nth && at != std::string::npos; ++i) at = text.find(what, at + 1);
  return text.substr(0, at);
}

// Occurrences of needle in haystack, overlapping ones too: a text repeated
// back to back is counted twice even when the two copies share a newline.
inline size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (auto pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + 1))
    ++n;
  return n;
}

// While it lives, what the process and its children write to a standard
// stream (descriptor 1 or 2, and its stdio stream) goes to a temporary file;
// text() ends the capture and returns what was written. A test that stops
// half-way still gets its stream back.
class OutputCapture {
 public:
  explicit OutputCapture(int fd = STDOUT_FILENO) : fd_(fd), file_(std::tmpfile()) {
    if (!file_) throw std::runtime_error("tmpfile failed");
    std::fflush(nullptr);
    saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (saved_ >= 0 && ::dup2(::fileno(file_.get()), fd_) >= 0) return;
    if (saved_ >= 0) ::close(saved_);
    throw std::runtime_error("cannot redirect descriptor " + std::to_string(fd_));
  }
  ~OutputCapture() { restore(); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  std::string text() {
    restore();
    return stream_text(file_.get());
  }

 private:
  struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
  };
  void restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
  }
  int fd_;
  std::unique_ptr<FILE, FileClose> file_;
  int saved_ = -1;
};

}  // namespace testhost
