// Discovery report: the writer (-d) and the apply mode (-u).
#include "main/vexor.h"

// Placeholders until the report modes land: a mode that is not built says so
// and fails, never pretending success.
int32_t discover_HW() {
  std::fprintf(stderr, "vexor: the discovery report mode (-d) is not built yet\n");
  return 1;
}
int32_t read_discovery_report() {
  std::fprintf(stderr, "vexor: the apply mode (-u) is not built yet\n");
  return 1;
}
