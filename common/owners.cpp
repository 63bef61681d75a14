#include "common/owners.h"

#include <fcntl.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

void unique_fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int unique_fd::close() { return fd_ >= 0 ? ::close(release()) : 0; }

unique_fd create_temp_file(std::string* name_template) {
  return unique_fd(mkostemp(name_template->data(), O_CLOEXEC));
}

unique_fd create_temp_file_at(int dir, std::string* name_template) {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string& name = *name_template;
  if (name.size() < 6 || name.compare(name.size() - 6, 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return unique_fd();
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      return unique_fd();
    }
    for (size_t i = 0; i < 6; ++i) {
      name[name.size() - 6 + i] = kChars[random[i] % (sizeof kChars - 1)];
    }
    unique_fd fd(
        openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd || errno != EEXIST) return fd;
  }
  return unique_fd();
}

temp_file_guard::~temp_file_guard() {
  if (!kept_ && !path_.empty()) ::unlinkat(dir_, path_.c_str(), 0);
}

void xml_reader_free::operator()(_xmlTextReader* reader) const { xmlFreeTextReader(reader); }
void xml_writer_free::operator()(_xmlTextWriter* writer) const { xmlFreeTextWriter(writer); }
void xml_doc_free::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }
