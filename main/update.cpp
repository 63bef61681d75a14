// Update workflow: the update run, flashing one adapter, the listing.
#include "main/vexor.h"

// Placeholders until the update workflow lands: a mode that is not built
// says so and fails, never pretending success.
int32_t fwupg() {
  std::fprintf(stderr, "vexor: the update mode is not built yet\n");
  return 1;
}
int32_t show_current() {
  std::fprintf(stderr, "vexor: the listing mode (-c) is not built yet\n");
  return 1;
}
