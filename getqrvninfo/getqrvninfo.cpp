// getqrvninfo: names the firmware image in ./nic_fw/ that is made for one
// adapter, for the apply mode of vexor, which runs it from the component
// directory as "./getqrvninfo imgfile <bus address>".
//
// It asks the flash utility for the adapter's PSID and picks, among the
// catalog entries for that PSID whose image file lies in ./nic_fw/, the one
// with the highest version (numeric comparison of major, minor, release).
// Family placeholder images (names holding "Belmora") are what it resolves,
// so they are never an answer.
//
// Answer on standard output, exit status 0:
//   "<host name>#<image file>"        an image was found
//   "0 <reason>"                      no image for this adapter
// Exit status 2 with the usage on standard error for a bad command line; 1
// when the flash utility cannot be run or the catalog cannot be read.
#include <libxml/xmlreader.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/common_structs.h"
#include "common/fw_version.h"
#include "common/text_checks.h"

namespace {

constexpr const char* kCatalog = "nic_fw/NICFWData.xml";
constexpr const char* kImageDir = "nic_fw/";

struct ReaderFree {
  void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};

bool image_present(const std::string& name) {
  struct stat st;
  return stat((std::string(kImageDir) + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The flash utility's query output (standard error merged), run directly
// without a shell. nullopt when no utility could be started.
std::optional<std::string> query_output(const std::string& address) {
  const char* program = nullptr;
  const char* name = nullptr;
  if (access(SHIPPED_FLASH_UTILITY, X_OK) == 0) {
    program = SHIPPED_FLASH_UTILITY;
    name = "pyxflash";
  } else if (access(SYSTEM_FLASH_UTILITY, X_OK) == 0) {
    program = SYSTEM_FLASH_UTILITY;
    name = "quarz";
  } else {
    std::fprintf(stderr, "getqrvninfo: neither %s nor %s can be run\n", SHIPPED_FLASH_UTILITY,
                 SYSTEM_FLASH_UTILITY);
    return std::nullopt;
  }

  int fds[2];
  if (pipe(fds) != 0) {
    std::fprintf(stderr, "getqrvninfo: pipe: %s\n", std::strerror(errno));
    return std::nullopt;
  }
  pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "getqrvninfo: fork: %s\n", std::strerror(errno));
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    const char* argv[] = {name, "-d", address.c_str(), "q", nullptr};
    execv(program, const_cast<char* const*>(argv));
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return out;
}

// The value of the first line that carries the label "PSID" (any case):
// what follows the first colon, blanks and line end removed.
std::optional<std::string> psid_of(const std::string& output) {
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    std::string line = output.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? output.size() : end + 1;
    std::string upper = line;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    size_t colon = line.find(':');
    if (upper.find("PSID") == std::string::npos || colon == std::string::npos) continue;
    std::string value;
    for (char c : line.substr(colon + 1)) {
      if (c != ' ' && c != '\t' && c != '\r') value += c;
    }
    if (value.empty()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

struct Choice {
  std::string image;
  fw_version version;
};

// Reads the catalog; every element with attributes is an entry. Returns
// false when the catalog cannot be opened or is not well-formed.
bool best_image(const std::string& psid, std::optional<Choice>* best) {
  std::unique_ptr<xmlTextReader, ReaderFree> reader(xmlReaderForFile(kCatalog, nullptr, 0));
  if (!reader) {
    std::fprintf(stderr, "getqrvninfo: cannot open %s\n", kCatalog);
    return false;
  }
  int ret;
  while ((ret = xmlTextReaderRead(reader.get())) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    std::optional<std::string> entry_psid, rom, file;
    while (xmlTextReaderMoveToNextAttribute(reader.get()) == 1) {
      const char* name = reinterpret_cast<const char*>(xmlTextReaderConstName(reader.get()));
      const char* value = reinterpret_cast<const char*>(xmlTextReaderConstValue(reader.get()));
      if (name == nullptr || value == nullptr) continue;
      if (std::strcmp(name, "PSID") == 0) entry_psid = value;
      if (std::strcmp(name, "rom") == 0) rom = value;
      if (std::strcmp(name, "fwFile") == 0) file = value;
    }
    if (entry_psid != psid || !file || file->find("Belmora") != std::string::npos ||
        !is_plain_file_name(*file) || !image_present(*file)) {
      continue;
    }
    const fw_version version = parse_fw_version(rom ? rom->c_str() : nullptr);
    // Among equal versions the first entry of the catalog stays.
    if (!*best || version > (*best)->version) *best = Choice{*file, version};
  }
  if (ret != 0) {
    std::fprintf(stderr, "getqrvninfo: cannot parse %s\n", kCatalog);
    return false;
  }
  return true;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "imgfile") != 0 || !is_bus_address(argv[2])) {
    std::fprintf(stderr,
                 "usage: getqrvninfo imgfile <bus address>\n"
                 "       the bus address in the form dddd:bb:dd.f, such as 0000:81:00.0\n");
    return 2;
  }
  const std::string address = argv[2];

  std::optional<std::string> output = query_output(address);
  if (!output) return 1;
  std::optional<std::string> psid = psid_of(*output);
  if (!psid) {
    std::printf("0 no PSID for %s\n", address.c_str());
    return 0;
  }

  std::optional<Choice> best;
  if (!best_image(*psid, &best)) return 1;
  if (!best) {
    std::printf("0 no image for PSID %s\n", psid->c_str());
    return 0;
  }
  std::printf("%s#%s\n", host_name().c_str(), best->image.c_str());
  return 0;
}
