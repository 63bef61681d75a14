// Update workflow: the update run, flashing one adapter, the listing.
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/flash_utility.h"
#include "common/text_checks.h"
#include "main/vexor.h"

namespace {

// Texts of a record may be absent; messages show an absent text as empty
// rather than relying on the C library's "(null)".
const char* text_or_empty(const opt_text& t) { return t ? t->c_str() : ""; }

// Versions are printed with %d although they are kept unsigned: a number
// beyond the signed range shows as it always has in the listings.
int as_int(uint32_t v) { return static_cast<int>(v); }

}  // namespace

// ---------------------------------------------------------------------------
// Listing (-c)
// ---------------------------------------------------------------------------

int32_t show_current() {
  open_event_log("update", __LINE__);
  take_run_lock(false);
  check_run_files();

  // A failed build leaves no usable record, so nothing is listed. Only a
  // bus that could not be read whole, with no adapter of the vendor among
  // what was read (the build's 2 without any vendor function), fails the
  // listing: an empty one would say there is nothing to list.
  const bool unread = build_NIC_list() == 2 && g_nQuorvanePorts == 0;

  for (size_t i = 0; i < inventory_size(); ++i) {
    const nic_info& nic = g_ninfo[i];
    if (!(nic.flags & NIC_USABLE)) continue;

    // An adapter that matched no catalog entry has no catalog name; say so
    // rather than leaving the column blank.
    std::string name = "(no catalog entry)";
    if (nic.fw_count > 0 && !nic.pxmlName.empty()) name = escaped(text_or_empty(nic.pxmlName[0]));

    print_message(" PCI-ID              \t\tNIC\n");
    print_message(strprintf("%04X-%04X-%04X-%04X \t%s \n\n", nic.ven_id, nic.dev_id, nic.sub_ven_id,
                            nic.sub_dev_id, name.c_str()));

    std::vector<std::string> versions;
    std::vector<int64_t> keys;
    build_sorted_versions(static_cast<uint32_t>(i), versions, keys);

    print_message("     (Installed)           (Available)\n");
    print_message("     Image      Version      Image        Version     \t\tInterface\n");
    print_message("------------------------------------------------------------------------\n");
    const char* interface = text_or_empty(nic.pinterfacename);
    if (!versions.empty()) {
      print_message(strprintf("      ROM       %d.%d.%d    ROM\t\t%10s\t\t%s\n",
                              as_int(nic.uCurROMmaj), as_int(nic.uCurROMmin),
                              as_int(nic.uCurROMrel), versions[0].c_str(), interface));
    } else {
      print_message(
          strprintf("      ROM       %d.%d.%d    ROM\t\tNothing\t\t\t%s\n", as_int(nic.uCurROMmaj),
                    as_int(nic.uCurROMmin), as_int(nic.uCurROMrel), interface));
    }
    for (size_t k = 1; k < versions.size(); ++k) {
      print_message(strprintf("                               \t\t%10s\t\t%s\n",
                              versions[k].c_str(), interface));
    }
    print_message("\n");
  }
  return unread ? 2 : 0;
}

// ---------------------------------------------------------------------------
// Flashing one adapter
// ---------------------------------------------------------------------------

std::string format_mac(const char* pStrTok) {
  std::string in = pStrTok ? pStrTok : "";
  std::string out;
  if (in.size() >= 17) {
    // The separated form xx:xx:xx:xx:xx:xx: every third character is a
    // separator, whatever it is.
    for (size_t pos = 0; pos < 17; pos += 3) out.append(in, pos, 2);
    return out;
  }
  // Shorter texts (the flash utility prints the base MAC without
  // separators) would make the fixed positions run past the end: keep the
  // text and only drop the usual separators.
  for (char c : in)
    if (c != ':' && c != '-') out.push_back(c);
  return out;
}

int32_t do_command(const char* command) {
  std::printf("%s \n", command);
  std::fflush(stdout);
  int rc = std::system(command);
  if (rc == -1) return 255;
  if (WIFSIGNALED(rc)) {
    // A command ended by a signal reports no exit status at all; it must not
    // read as success (0) to callers that test for it.
    return 128 + WTERMSIG(rc);
  }
  return WEXITSTATUS(rc);
}

namespace {

// The catalog entry the update run burns: the first whose version is the
// one that sorts last by the ordering key, the last of the fw_count texts
// that is_FW_needed left in ver_buf. None when no entry carries it.
std::optional<size_t> entry_to_burn(const nic_info& nic) {
  const size_t count = static_cast<size_t>(std::max(nic.fw_count, 0));
  if (count == 0 || ver_buf.size() < count) return std::nullopt;
  const std::string& wanted = ver_buf[count - 1];
  for (size_t j = 0; j < catalog_entry_count(nic); ++j) {
    if (version_text(nic.uFwROMmaj[j], nic.uFwROMmin[j], nic.uFwROMrel[j]) == wanted) return j;
  }
  return std::nullopt;
}

// False for a catalog image name that cannot be burned: none, empty, not a
// plain file name (refused before the burn), or marked "n/a".
bool usable_image_name(const opt_text& image) {
  return image && is_plain_file_name(*image) && image->find("n/a") == std::string::npos;
}

// How burning version v changes an adapter that runs installed, compared
// numerically as the newer test does.
std::string version_change(const fw_version& v, const fw_version& installed) {
  const std::string from = version_text(installed);
  if (v > installed) return "an upgrade from " + from;
  if (v == installed) return "a rewrite of the installed version";
  return "a downgrade from " + from;
}

// The line shown before the question (with -y: instead of it) naming what
// a yes burns into nic: the version and image do_update_firmware will take
// and what that does to the installed version. "" when no entry carries
// the version to burn.
std::string burn_preview(const nic_info& nic) {
  const std::optional<size_t> entry = entry_to_burn(nic);
  if (!entry) return {};
  const fw_version v = catalog_version(nic, *entry);
  const std::string version = version_text(v);
  const char* who = (g_iFlag & FLAG_YES) ? "-y" : "A yes";
  const opt_text image = catalog_text(nic.pxmlFwImage, *entry);
  if (!usable_image_name(image)) {
    return strprintf(
        "%s chooses version %s, but its catalog entry names no usable image file "
        "(%s).\n",
        who, version.c_str(), image ? escaped(*image).c_str() : "none");
  }
  return strprintf("%s burns version %s from %s: %s.\n", who, version.c_str(),
                   escaped(FIRMWARE_DIR + *image).c_str(),
                   version_change(v, installed_version(nic)).c_str());
}

// What the update run logs before it burns entry chosen: the notice, once
// per run, and the selection with the MAC as read from the adapter, which
// is then kept without its separators.
void log_selection(nic_info& nic, size_t chosen) {
  if (!(g_iFlag & STATUS_NOTICE)) {
    g_iFlag |= STATUS_NOTICE;
    log_quorvane_event(ppyxflash_fout, INFO_TAG,
                       "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n");
  }
  const std::string name = catalog_text(nic.pxmlName, chosen).value_or("");
  log_quorvane_event(ppyxflash_fout, INFO_TAG,
                     strprintf("\nSelecting %s MAC: %-12s \n", escaped(name).c_str(),
                               escaped(text_or_empty(nic.pcurrent_mac)).c_str()));
  nic.pcurrent_mac = format_mac(text_or_empty(nic.pcurrent_mac));
}

// A chosen entry without an image file name leaves nothing to hand to the
// utility: the adapter was chosen for flashing and is not flashed, a failure
// of the run rather than a quiet skip.
void fail_without_image(const char* address) {
  g_iFlag |= STATUS_FAILED;
  print_message(strprintf("No firmware image file is named for interface %s in %s; not flashed.\n",
                          address, g_XMLFwFile));
  log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                     strprintf("No firmware image file name for %s in %s; not flashed\n", address,
                               g_XMLFwFile));
}

// A catalog image name that is not a plain file name ("../../etc/passwd",
// "sub/x.bin") would hand the flash utility a file outside nic_fw/: the
// adapter is not flashed, and the run counts it as a failed burn.
void fail_with_bad_image(const char* address, const std::string& image) {
  g_iFlag |= STATUS_FAILED;
  const std::string text = strprintf(
      "The firmware image file name \"%s\" for %s in %s is not a plain file name; not "
      "flashed\n",
      escaped(image).c_str(), address, g_XMLFwFile);
  print_message(text);
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, text);
}

// Says on standard error and in the log that signal sig came during the
// burn of address, which goes on.
void say_burn_goes_on(int sig, const char* address) {
  const std::string text = strprintf(
      "Received SIG%s during the burn of %s: the burn goes on, and vexor stops when it has "
      "finished\n",
      sigabbrev_np(sig), address);
  std::fprintf(stderr, "vexor: %s", text.c_str());
  std::fflush(stderr);
  log_quorvane_event(ppyxflash_fout, WARNING_TAG, text);
}

// Creates the file that takes the burn's output, for the mismatch search
// and for the operator when the burn fails; *name is its template and then
// its name. Without the file (logged) the burn still runs, only its output
// is lost.
unique_fd create_burn_output(std::string* name, const char* address) {
  unique_fd output = create_temp_file(name);
  if (!output) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("Unable to create %s for the output of the burn of %s: %s\n",
                                 name->c_str(), address, std::strerror(errno)));
  }
  return output;
}

// Logs a failed burn: why no child could be made or the signal that ended
// it, then the outcome by the mismatch text in the burn's output, searched
// in output_file (null when there is none). Returns the search command's
// exit status, 1 without a file.
int32_t log_failed_burn(const char* address, const burn_outcome& burn,
                        const std::string* output_file) {
  if (!burn.started) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("Unable to start the flash utility for %s: %s\n", address,
                                 std::strerror(burn.start_errno)));
  } else if (burn.end.how == child_end::kind::signalled) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("The flash utility for %s was ended by signal %d\n", address,
                                 burn.end.value));
  }
  int32_t rc = 1;
  if (output_file != nullptr) {
    const std::string search =
        strprintf("grep -i \"PSID Mismatch\" %s > /dev/null", output_file->c_str());
    rc = do_command(search.c_str());
  }
  if (rc == 0) {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG,
                       strprintf("Fimware upgrade on this device is not supported\n %s\n", ""));
  } else {
    log_quorvane_event(ppyxflash_fout, ERROR_TAG, strprintf("Upgrade failed\n %s\n", ""));
  }
  if (output_file != nullptr) {
    log_quorvane_event(ppyxflash_fout, INFO_TAG,
                       strprintf("Output of the failed burn of %s is kept in %s\n", address,
                                 output_file->c_str()));
  }
  return rc;
}

// The record made before each burn starts: should vexor be killed outright
// while the burn runs, the log still says what was being burned and where
// its output is.
void log_burn_start(const char* address, const std::string& image_path,
                    const std::string* output_file) {
  log_quorvane_event(ppyxflash_fout, INFO_TAG,
                     output_file != nullptr
                         ? strprintf("Burning %s into %s; the flash utility's output goes to %s\n",
                                     escaped(image_path).c_str(), address, output_file->c_str())
                         : strprintf("Burning %s into %s; the flash utility's output is not kept\n",
                                     escaped(image_path).c_str(), address));
}

// How a burn of address runs: into its output file (output_fd, named
// output_file; -1 and null when there is none), which the console shows as
// it grows unless it is silenced, where the log says now and then that the
// burn is still running instead; the utility keeps the run lock, so no
// other run starts while it writes, even if vexor ends first. vexor waits
// for it up to the burn limit.
burn_options burn_options_for(int output_fd, const std::string* output_file,
                              const std::string& address) {
  burn_options options;
  options.output_fd = output_fd;
  if (output_file != nullptr) options.output_path = *output_file;
  options.follow_output = !console_silenced();
  options.inherited_fd = run_lock_fd();
  options.limit_seconds = flash_wait_limits().burn_seconds;
  if (console_silenced()) {
    options.progress_seconds = progress_period(options.limit_seconds);
    options.on_progress = [address](int64_t seconds) {
      log_quorvane_event(ppyxflash_fout, INFO_TAG,
                         strprintf("The burn of %s is still running after %s\n", address.c_str(),
                                   duration_text(seconds).c_str()));
    };
  }
  return options;
}

// What the history records of the burn of image_path, which holds version,
// into nic at address, before it starts.
burn_plan plan_of(const nic_info& nic, uint32_t uNicIdx, const char* address,
                  const std::string& image_path, const std::string& version,
                  const std::string* output_file) {
  burn_plan plan;
  plan.address = address;
  // The apply mode has the PSID from the report, the update from the query.
  plan.psid = read_discovery != 0 && uNicIdx < firmware_id.size()
                  ? opt_text(firmware_id[uNicIdx])
                  : nic.psid;
  plan.installed = version_text(installed_version(nic));
  plan.image = image_path;
  plan.version = version;
  if (output_file != nullptr) plan.output = *output_file;
  return plan;
}

struct BurnResult {
  int32_t rc = 0;           // do_update_firmware's result
  int deferred_signal = 0;  // a signal that arrived meanwhile, 0 none
  bool flashed = false;
  bool left_burning = false;  // vexor stopped waiting for it
  std::string kept_output;    // the output file kept after a failure, "" none
};

// Says that vexor stops waiting for the burn of image_path into address,
// which has run for the burn limit, and that no burn follows it in this run.
void note_left_burning(const char* address, const std::string& image_path,
                       const std::string* output_file) {
  g_iFlag |= STATUS_FAILED | STATUS_LEFT_BURNING;
  const std::string limit = duration_text(flash_wait_limits().burn_seconds);
  const std::string output = output_file != nullptr ? "its output goes to " + *output_file
                                                    : std::string("its output is not kept");
  const std::string text = strprintf(
      "The burn of %s into %s has not ended after %s; vexor stops waiting for it. The burn goes "
      "on and holds the run lock until it ends; %s. No further burn is started in this run\n",
      escaped(image_path).c_str(), address, limit.c_str(), output.c_str());
  print_message(text);
  log_quorvane_event(ppyxflash_fout, ERROR_TAG, text);
}

// Counts and logs a burn that failed: a non-zero exit, a child ended
// by a signal (its status byte reads 0, yet nothing was flashed), no
// status, or no child.
void note_failed_burn(const char* address, const burn_outcome& burn, const std::string* output_file,
                      BurnResult& result) {
  g_iFlag |= STATUS_FAILED;
  if (output_file != nullptr) result.kept_output = *output_file;
  result.rc = log_failed_burn(address, burn, output_file);
}

// Burns image_path, which holds version, into nic (at address, record
// uNicIdx) and classifies and logs the outcome, with the signals that would
// end vexor deferred until all that is done. The history records the burn
// before it starts and how it ended. The output file is removed after a
// success and kept otherwise.
BurnResult burn_image(nic_info& nic, uint32_t uNicIdx, const char* address,
                      const std::string& image_path, const std::string& version) {
  std::string output_name = "/tmp/dataXXXXXX";
  unique_fd output = create_burn_output(&output_name, address);
  temp_file_guard remove_output(output ? output_name : std::string());
  const std::string* output_file = output ? &output_name : nullptr;
  log_burn_start(address, image_path, output_file);
  const int burn_number =
      history_burn_started(plan_of(nic, uNicIdx, address, image_path, version, output_file));

  burn_runner runner([address](int sig) { say_burn_goes_on(sig, address); });
  const burn_outcome burn =
      runner.run(burn_command(flash_utility_in_use(), address, image_path, silent == 2),
                 burn_options_for(output.get(), output_file, address));
  output.reset();
  history_burn_ended(burn_number, address, burn);
  BurnResult result;
  result.flashed = burn.flashed();
  if (result.flashed) {
    g_iFlag |= STATUS_FLASHED;
    print_message(strprintf("Firmware Flashed:\tSUCCESS  for interface %s\n\n", address));
    log_quorvane_event(ppyxflash_fout, INFO_TAG,
                       strprintf("MAC %-12s Upgrade SUCCESS\n",
                                 escaped(text_or_empty(nic.pcurrent_mac)).c_str()));
    mark_reboot_required();
  } else if (burn.stopped_waiting()) {
    // The burn still writes into its output file.
    remove_output.keep();
    result.left_burning = true;
    result.rc = 1;
    if (output_file != nullptr) result.kept_output = *output_file;
    note_left_burning(address, image_path, output_file);
  } else {
    remove_output.keep();
    note_failed_burn(address, burn, output_file, result);
  }
  runner.notice();  // also for a signal that came after the child had ended
  result.deferred_signal = runner.deferred_signal();
  return result;
}

// Records in the summary's outcome how the burn of entry chosen of nic ended.
void note_burn(adapter_outcome& outcome, const nic_info& nic, size_t chosen,
               const BurnResult& burn) {
  outcome.kind = burn.flashed        ? outcome_kind::flashed
                 : burn.left_burning ? outcome_kind::left_burning
                                     : outcome_kind::failed;
  outcome.detail = burn.kept_output;
  if (burn.flashed && chosen < catalog_entry_count(nic)) {
    const fw_version v = catalog_version(nic, chosen);
    outcome.after = version_text(v);
  }
}

// The end of a run whose burn was asked to stop: nothing more is burned,
// asked or summed up.
[[noreturn]] void end_after_signal(int sig, const char* address, const BurnResult& burn) {
  const char* how = burn.flashed        ? "succeeded"
                    : burn.left_burning ? "vexor stopped waiting for at its limit"
                                        : "failed";
  end_run(128 + sig, strprintf("stopped by SIG%s during the burn of %s, which %s (see %s)",
                               sigabbrev_np(sig), address, how, EVENT_LOG));
}

}  // namespace

int32_t do_update_firmware(uint32_t uNicIdx) {
  if (uNicIdx >= g_ninfo.size()) return 0;
  nic_info& nic = g_ninfo[uNicIdx];
  if (!(nic.flags & NIC_SELECTED)) return 0;
  // A burn left running may still be writing an adapter: nothing else is
  // burned beside it.
  if (g_iFlag & STATUS_LEFT_BURNING) {
    if (adapter_outcome* outcome = outcome_of(uNicIdx))
      outcome->kind = outcome_kind::after_left_burning;
    return 0;
  }
  if (nic.fw_count <= 0) {
    print_message("Quitting......................as nothing found in repository\n");
    return 0;
  }

  size_t chosen = 0;  // the apply mode burns the one entry it looked up
  if (read_discovery == 0) {
    const std::optional<size_t> entry = entry_to_burn(nic);
    if (!entry) {
      print_message(
          "You have not entered the right Index for firmware version ....................\n");
      return 0;
    }
    chosen = *entry;
    if (uNicIdx < fw_number.size()) fw_number[uNicIdx] = static_cast<int>(chosen);
    log_selection(nic, chosen);
  }

  const char* address = text_or_empty(nic.pbus_info);
  adapter_outcome* outcome = outcome_of(uNicIdx);
  const opt_text image = catalog_text(nic.pxmlFwImage, chosen);
  if (!image || image->empty()) {
    fail_without_image(address);
    if (outcome != nullptr) outcome->kind = outcome_kind::no_image;
    return 0;
  }
  if (!is_plain_file_name(*image)) {
    fail_with_bad_image(address, *image);
    if (outcome != nullptr) outcome->kind = outcome_kind::no_image;
    return 0;
  }

  const std::string image_path = FIRMWARE_DIR + *image;
  if (std::string refusal = image_refusal(address, image_path); !refusal.empty()) {
    if (outcome != nullptr) {
      outcome->kind = outcome_kind::refused_image;
      outcome->detail = std::move(refusal);
    }
    return 0;
  }
  const std::string version =
      chosen < catalog_entry_count(nic) ? version_text(catalog_version(nic, chosen)) : "";
  const BurnResult burn = burn_image(nic, uNicIdx, address, image_path, version);
  if (outcome != nullptr) note_burn(*outcome, nic, chosen, burn);
  if (burn.deferred_signal != 0) end_after_signal(burn.deferred_signal, address, burn);
  return burn.rc;
}

// ---------------------------------------------------------------------------
// The update run
// ---------------------------------------------------------------------------

namespace {

// Records in the summary what the answer for adapter uNicIdx decided: a
// yes selects it (the burn then says how it ended), a no leaves it out
// (with or without a newer version to be had), a quit ends the run at it.
void note_answer(uint32_t uNicIdx, int32_t answer) {
  adapter_outcome* outcome = outcome_of(uNicIdx);
  if (outcome == nullptr) return;
  if (answer == 0 || answer == 3) {
    outcome->kind = outcome_kind::selected;
    outcome->asked = true;
  } else if (answer == 2) {
    outcome->kind = outcome_kind::quit_before;
  } else {
    outcome->kind =
        outcome->newer_available ? outcome_kind::answered_no : outcome_kind::already_latest;
  }
}

// Gives every adapter the run left undecided the reason it was not looked
// at: a quit ended the run before it, or a "c" answer offered it no more.
void note_not_reached(outcome_kind why) {
  for (adapter_outcome& o : g_adapter_outcomes)
    if (o.kind == outcome_kind::undecided) o.kind = why;
}

}  // namespace

void fw_version_message(std::string& vers_string, int32_t /*uNicIdx*/) {
  vers_string = "Would you like to flash the firmware?\n";
}

int32_t is_FW_needed(uint32_t uNicIdx) {
  nic_info& nic = g_ninfo[uNicIdx];
  std::string prompt;
  fw_version_message(prompt, static_cast<int32_t>(uNicIdx));

  std::vector<int64_t> keys;
  build_sorted_versions(uNicIdx, ver_buf, keys);

  const char* address = text_or_empty(nic.pbus_info);
  bool newer = false;
  for (size_t i = 0; i < catalog_entry_count(nic); ++i) {
    if (catalog_version(nic, i) > installed_version(nic)) {
      newer = true;
      print_message(
          strprintf("Repository has New firmware version for interface "
                    "%s.................Please flash the newer version\n",
                    address));
      break;
    }
  }

  print_message(strprintf("\nCurrent Firmware Version is %d.%d.%d on %s \n", as_int(nic.uCurROMmaj),
                          as_int(nic.uCurROMmin), as_int(nic.uCurROMrel), address));
  if (nic.fw_count > 0) {
    print_message("Repository has these firmware versions............");
    for (size_t i = 0; i < ver_buf.size(); ++i)
      print_message(
          strprintf("[%d] Image Version  %s\n", static_cast<int>(i + 1), ver_buf[i].c_str()));
  }

  if (adapter_outcome* outcome = outcome_of(uNicIdx)) outcome->newer_available = newer;
  const std::string preview = burn_preview(nic);
  if (newer) {
    print_message(preview);
    return nfwu_yesno(prompt.c_str(), 0, 0, 0, "y");
  }

  log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                     "*** WARNING *** - Installed firmware is the latest firmware\n");
  print_message(
      "Repository doesn't have newer firmware version, Installed firmware version is the "
      "latest one..........Please Quit the updation.\n");
  // Only the option bits decide: silent without force skips the adapter.
  if ((g_iFlag & OPTION_BITS) == FLAG_SILENT) {
    fw_invalid = 1;
    ++fw_invalid_count;
    return 1;
  }
  print_message(preview);
  return nfwu_yesno(prompt.c_str(), 1, 1, 1, "n");
}

int32_t select_firmware(uint32_t uNicIdx) {
  nic_info& nic = g_ninfo[uNicIdx];
  if (!(nic.flags & NIC_USABLE)) return 0;

  for (size_t i = 0; i < catalog_entry_count(nic); ++i) {
    const opt_text image = catalog_text(nic.pxmlFwImage, i);
    // An entry with no image file name at all is as unusable as one marked
    // "n/a", so the operator is warned about both.
    if (!usable_image_name(image)) {
      log_quorvane_event(ppyxflash_fout, WARNING_TAG,
                         strprintf("Failed to get firmware image filename from %s\n", g_XMLFwFile));
    }
  }

  const int32_t answer = is_FW_needed(uNicIdx);
  note_answer(uNicIdx, answer);
  switch (answer) {
    case 0: nic.flags |= NIC_SELECTED; break;
    case 2:
      nic.flags = 0;
      g_iFlag |= STATUS_QUIT;
      break;
    case 3:
      nic.flags |= NIC_SELECTED;
      g_iFlag |= STATUS_NO_MORE;
      break;
    default: nic.flags = 0; break;
  }
  return 0;
}

namespace {

// Notes why the run ends with 3: the operator quit at adapter idx's
// question, and what had failed before.
void note_quit(size_t idx) {
  std::string why = strprintf(
      "the operator quit at the question for %s; nothing more was "
      "flashed",
      text_or_empty(g_ninfo[idx].pbus_info));
  const std::string before = outcome_reason(g_adapter_outcomes);
  if (!before.empty()) why += "; before that " + before;
  note_reason(why + strprintf(" (see %s)", EVENT_LOG));
}

// The update run up to its specified closing message; returns the exit
// status.
int32_t update_run() {
  int32_t rc = build_NIC_list();
  if (rc != 0) {
    print_message("\nNIC firmware update did not complete.  Check log for errors. \n");
    g_ninfo.clear();
    fw_number.clear();
    std::fflush(ppyxflash_fout);
    return rc;
  }

  for (size_t i = 0; i < inventory_size(); ++i) {
    if (g_ninfo[i].fw_count <= 0) continue;
    if (!(g_iFlag & STATUS_NO_MORE)) select_firmware(static_cast<uint32_t>(i));
    if (g_iFlag & STATUS_QUIT) {
      note_not_reached(outcome_kind::quit_before);
      print_message("\nFirmware upgrade cancelled by User \n");
      note_quit(i);
      return 3;
    }
    if (fw_invalid == 1) {
      fw_invalid = 0;
      continue;
    }
    do_update_firmware(static_cast<uint32_t>(i));
    if (g_iFlag & STATUS_LEFT_BURNING) {
      note_not_reached(outcome_kind::after_left_burning);
      break;
    }
  }
  if (g_iFlag & STATUS_NO_MORE) note_not_reached(outcome_kind::not_offered);

  if (fw_invalid_count == g_nQuorvanePorts) {
    note_reason(
        "every Quorvane adapter already runs the latest firmware the catalog holds; "
        "nothing was flashed (-s -F flashes it again)");
    return 1;
  }
  if (g_iFlag & STATUS_FAILED) {
    print_message("\nNIC firmware update completed with errors. \n");
    const std::string failed = outcome_reason(g_adapter_outcomes);
    note_reason((failed.empty() ? std::string("a burn failed") : failed) +
                strprintf(" (see %s)", EVENT_LOG));
    return 2;
  }
  if (g_iFlag & STATUS_FLASHED) {
    print_message("\n\nPlease Reboot node for new image to be loaded into silicon\n\n");
    return 0;
  }
  g_ninfo.clear();
  fw_number.clear();
  std::fflush(ppyxflash_fout);
  return 0;
}

// The summary's outcome column for o.
std::string outcome_text(const adapter_outcome& o) {
  switch (o.kind) {
    case outcome_kind::flashed: return "flashed";
    case outcome_kind::failed:
      return o.detail.empty() ? "failed (no output kept)"
                              : "failed (output kept in " + escaped(o.detail) + ")";
    case outcome_kind::no_image: return "failed (no usable image file named in the catalog)";
    case outcome_kind::refused_image: return "failed (others than root can change its image file)";
    case outcome_kind::left_burning:
      return o.detail.empty() ? "failed (vexor stopped waiting; the burn goes on)"
                              : "failed (vexor stopped waiting; the burn goes on, output in " +
                                    escaped(o.detail) + ")";
    case outcome_kind::after_left_burning:
      return "not flashed (a burn vexor stopped waiting for may still run)";
    case outcome_kind::selected: return "not flashed (chosen, but not burned)";
    case outcome_kind::answered_no: return "not flashed (answered no)";
    case outcome_kind::already_latest: return "not flashed (already the latest)";
    case outcome_kind::quit_before: return "not flashed (quit before it)";
    case outcome_kind::not_offered: return "not flashed (not offered after \"c\")";
    case outcome_kind::no_query_data:
      return "left out (no firmware version or PSID from the flash utility)";
    case outcome_kind::no_catalog_entry: return "left out (no catalog entry)";
    case outcome_kind::second_function:
      return "left out (second function of " + escaped(o.detail) + ")";
    case outcome_kind::left_alone: return "not flashed (not asked for)";
    case outcome_kind::invalid_address: return "not flashed (no valid PCI address)";
    case outcome_kind::repeated_address:
    case outcome_kind::no_such_version:
    case outcome_kind::family_not_found:
    case outcome_kind::family_other_version: return "not flashed (" + o.detail + ")";
    case outcome_kind::undecided:
    case outcome_kind::not_ours: break;
  }
  return "not flashed";
}

// Why o failed, in the words of the reason line.
std::string failure_words(const adapter_outcome& o) {
  switch (o.kind) {
    case outcome_kind::failed:
      return o.detail.empty() ? "the burn failed, no output kept"
                              : "the burn failed, output in " + escaped(o.detail);
    case outcome_kind::no_image:
      return o.detail.empty() ? "no usable image file named in the catalog" : o.detail;
    case outcome_kind::left_burning:
      return "the burn did not end within " + duration_text(flash_wait_limits().burn_seconds) +
             ", vexor stopped waiting and the burn goes on holding the run lock, " +
             (o.detail.empty() ? std::string("its output not kept")
                               : "output in " + escaped(o.detail));
    case outcome_kind::selected: return "chosen, but not burned";
    case outcome_kind::no_query_data: return "no firmware version or PSID from the flash utility";
    case outcome_kind::invalid_address: return "no valid PCI address";
    default: break;
  }
  return o.detail.empty() ? outcome_text(o) : o.detail;
}

using SummaryRow = std::vector<std::string>;

// rows as lines, each column padded to its widest cell plus two blanks
// (the last one not padded).
std::string aligned_rows(const std::vector<SummaryRow>& rows) {
  std::vector<size_t> width;
  for (const SummaryRow& row : rows) {
    width.resize(std::max(width.size(), row.size()), 0);
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  std::string text;
  for (const SummaryRow& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      text += row[c];
      if (c + 1 < row.size()) text.append(width[c] - row[c].size() + 2, ' ');
    }
    text += '\n';
  }
  return text;
}

}  // namespace

std::string update_summary_text(const std::vector<adapter_outcome>& outcomes) {
  std::vector<SummaryRow> rows{{"Address", "Before", "After", "Outcome"}};
  std::string flashed;
  for (const adapter_outcome& o : outcomes) {
    if (o.kind == outcome_kind::not_ours) continue;
    rows.push_back({escaped(o.address), escaped(o.before), escaped(o.after), outcome_text(o)});
    if (o.kind == outcome_kind::flashed) flashed += (flashed.empty() ? "" : ", ") + rows.back()[0];
  }
  if (rows.size() == 1) return {};
  std::string text = "\nWhat this run did, adapter by adapter:\n" + aligned_rows(rows);
  if (!flashed.empty())
    text += "A reboot is needed before the new firmware runs on " + flashed + ".\n";
  return text;
}

bool flash_failed(const adapter_outcome& o) { return o.asked && o.kind != outcome_kind::flashed; }

std::string failure_list(const std::vector<const adapter_outcome*>& failed) {
  // A line, not a log: the first ten name enough to act on.
  constexpr size_t kNamed = 10;
  std::string list;
  for (size_t i = 0; i < failed.size() && i < kNamed; ++i) {
    if (i > 0) list += "; ";
    list += escaped(failed[i]->address) + ": " + failure_words(*failed[i]);
  }
  if (failed.size() > kNamed) list += strprintf("; and %zu more", failed.size() - kNamed);
  return list;
}

std::string outcome_reason(const std::vector<adapter_outcome>& outcomes) {
  size_t asked = 0;
  size_t flashed = 0;
  std::vector<const adapter_outcome*> failed, unread;
  for (const adapter_outcome& o : outcomes) {
    if (o.kind == outcome_kind::no_query_data) unread.push_back(&o);
    asked += o.asked;
    flashed += o.kind == outcome_kind::flashed;
    if (flash_failed(o)) failed.push_back(&o);
  }
  if (failed.empty()) return {};
  std::string text = strprintf("%zu of %zu devices failed (%s); %zu flashed", failed.size(), asked,
                               failure_list(failed).c_str(), flashed);
  if (!unread.empty()) {
    std::string addresses;
    for (const adapter_outcome* o : unread)
      addresses += (addresses.empty() ? "" : ", ") + escaped(o->address);
    text +=
        strprintf("; %zu gave no firmware version or PSID (%s)", unread.size(), addresses.c_str());
  }
  return text;
}

void print_update_summary() { print_message(update_summary_text(g_adapter_outcomes)); }

int32_t fwupg() {
  open_event_log("update", __LINE__);
  take_run_lock(true);
  check_run_files();
  // The summary follows whatever closing message the run printed, and
  // changes nothing of its exit status.
  const int32_t rc = update_run();
  print_update_summary();
  return rc;
}
