#include "common/owners.h"

#include <fcntl.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>
#include <stdlib.h>
#include <unistd.h>

void unique_fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int unique_fd::close() { return fd_ >= 0 ? ::close(release()) : 0; }

unique_fd create_temp_file(std::string* name_template) {
  return unique_fd(mkostemp(name_template->data(), O_CLOEXEC));
}

temp_file_guard::~temp_file_guard() {
  if (!kept_ && !path_.empty()) ::unlink(path_.c_str());
}

void xml_reader_free::operator()(_xmlTextReader* reader) const { xmlFreeTextReader(reader); }
void xml_writer_free::operator()(_xmlTextWriter* writer) const { xmlFreeTextWriter(writer); }
void xml_doc_free::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }
