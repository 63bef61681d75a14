// Front end: command line, run modes, console messages, prompts, event log.
#include <cstdarg>

#include "main/vexor.h"

int32_t g_iFlag = 0;
int32_t silent = 0;
int32_t boot_mode_value = 0;
const char* const g_XMLFwFile = "nic_fw/NICFWData.xml";
const char* const g_XMLDiscoveryReportDefault = "nicdiscovery.xml";
std::string g_XMLDiscoveryReport;
FILE* ppyxflash_fout = nullptr;
std::string print_msg;

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

int vexor_main(int, char**) {
  std::fprintf(stderr, "vexor: not built yet\n");
  return 1;
}
