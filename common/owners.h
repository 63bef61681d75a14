// Owners of the handles the program holds: a stream, a pipe stream, a file
// descriptor, the libxml2 reader, writer and document, and a temporary file
// that is removed unless kept. Each releases its handle when it goes away.
#pragma once

#include <fcntl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

// A stream from fopen or fdopen, closed with fclose.
struct file_closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// A stream from popen, closed with pclose (which also waits for the child).
struct pipe_closer {
  void operator()(FILE* f) const { pclose(f); }
};
using unique_pipe = std::unique_ptr<FILE, pipe_closer>;

// A file descriptor, closed when the owner goes away or is reset.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  // The descriptor, -1 when there is none.
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and takes fd.
  void reset(int fd = -1);
  // Gives the descriptor up without closing it; the caller owns it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and returns close's result (0, or -1 with errno set), for a
  // caller to whom a failed close matters (written data may be lost).
  int close();

 private:
  int fd_ = -1;
};

// Creates a new, empty file exclusively from *name_template, whose last six
// characters "XXXXXX" are replaced by the name's unique part. The
// descriptor is close-on-exec; invalid, with errno set, when no file could be
// made.
unique_fd create_temp_file(std::string* name_template);
// The same in the directory dir (a descriptor, or AT_FDCWD), opened for
// reading and writing with mode 0600; *name_template is a name in dir, and
// nothing is followed: a link already there is never opened.
unique_fd create_temp_file_at(int dir, std::string* name_template);

// Removes a file when it goes away, unless keep() was called: a temporary
// file that is of no use once the work that needed it is done. An empty path
// guards nothing.
class temp_file_guard {
 public:
  explicit temp_file_guard(std::string path) : path_(std::move(path)) {}
  // The file name in the directory dir, a descriptor that outlives the guard.
  temp_file_guard(int dir, std::string name) : dir_(dir), path_(std::move(name)) {}
  ~temp_file_guard();
  temp_file_guard(const temp_file_guard&) = delete;
  temp_file_guard& operator=(const temp_file_guard&) = delete;
  // The file stays on disk.
  void keep() { kept_ = true; }

 private:
  int dir_ = AT_FDCWD;
  std::string path_;
  bool kept_ = false;
};

// libxml2 handles, released with xmlFreeTextReader, xmlFreeTextWriter and
// xmlFreeDoc. The library's own headers stay out of here.
struct _xmlTextReader;
struct _xmlTextWriter;
struct _xmlDoc;
struct xml_reader_free {
  void operator()(_xmlTextReader* reader) const;
};
struct xml_writer_free {
  void operator()(_xmlTextWriter* writer) const;
};
struct xml_doc_free {
  void operator()(_xmlDoc* doc) const;
};
using xml_reader_ptr = std::unique_ptr<_xmlTextReader, xml_reader_free>;
using xml_writer_ptr = std::unique_ptr<_xmlTextWriter, xml_writer_free>;
using xml_doc_ptr = std::unique_ptr<_xmlDoc, xml_doc_free>;
