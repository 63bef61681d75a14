// What vexor runs and reads as root must be root's alone: the flash utility
// the run uses, the catalog, ./getqrvninfo and each image it burns. Anything
// another user could have changed is refused before it is used.
#include <string>

#include "common/component_paths.h"
#include "common/flash_utility.h"
#include "common/text_checks.h"
#include "common/trusted_files.h"
#include "main/vexor.h"

namespace {

// Why the file at path, which what names, must not be used; "" when it may
// (a missing file is left to the step that needs it, which says so).
std::string untrusted(const std::string& path) {
  const trust_check check = check_trusted_file(path);
  return check.how == trust_check::kind::untrusted ? escaped(check.why) : std::string();
}

// Ends the run with 1, before any burn, when the file at path (which what
// names) can be changed by someone other than root.
void require_roots(const std::string& path, const std::string& what) {
  const std::string why = untrusted(path);
  if (why.empty()) return;
  const std::string text =
      strprintf("Refusing %s: %s; vexor runs and reads as root only what root alone can change\n",
                what.c_str(), why.c_str());
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, text);
  print_message(text);
  end_run(1, strprintf("%s is refused: %s; nothing was burned (see %s)", what.c_str(), why.c_str(),
                       EVENT_LOG));
}

}  // namespace

void check_run_files() {
  const std::string utility = flash_utility_in_use().program;
  require_roots(utility, "the flash utility " + utility);
  require_roots(g_XMLFwFile, std::string("the firmware catalog ") + g_XMLFwFile);
  // The apply mode may run it for any device: checked before the first burn.
  if (g_iFlag & FLAG_APPLY) {
    require_roots(IMAGE_INFO_PROGRAM, std::string("the program ") + IMAGE_INFO_PROGRAM);
  }
}

std::string image_refusal(const char* address, const std::string& image_path) {
  const std::string why = untrusted(image_path);
  if (why.empty()) return why;
  g_iFlag |= STATUS_FAILED;
  const std::string text = strprintf("Refusing the image %s for %s: %s; not flashed\n",
                                     escaped(image_path).c_str(), address, why.c_str());
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, text);
  print_message(text);
  // The run's reason line names it among the adapters that failed.
  return strprintf("the image %s is refused: %s", escaped(image_path).c_str(), why.c_str());
}
