// Shared declarations of the main unit: front end, adapter inventory, update
// workflow and discovery report. The host probes are in common/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/common_structs.h"
#include "common/common_utilities.h"
#include "common/component_paths.h"
#include "common/flash_utility.h"
#include "common/fw_version.h"
#include "common/owners.h"

// ===================================================================
// Front end: command line, run modes, console, prompts, event log
// ===================================================================

// Bits of g_iFlag. The low byte holds the options, the upper bits the status
// that the workflow accumulates during one run (never cleared).
inline constexpr int32_t FLAG_LIST = 0x1;               // -c
inline constexpr int32_t FLAG_SILENT = 0x2;             // -s
inline constexpr int32_t FLAG_FORCE = 0x4;              // -F, -f
inline constexpr int32_t FLAG_P = 0x8;                  // -p
inline constexpr int32_t FLAG_YES = 0x10;               // -y
inline constexpr int32_t FLAG_DISCOVER = 0x20;          // -d
inline constexpr int32_t FLAG_APPLY = 0x40;             // -u
inline constexpr int32_t STATUS_QUIT = 0x100;           // operator answered quit
inline constexpr int32_t STATUS_FAILED = 0x200;         // at least one burn failed
inline constexpr int32_t STATUS_FLASHED = 0x400;        // at least one burn succeeded
inline constexpr int32_t STATUS_NO_MORE = 0x800;        // operator answered "c"
inline constexpr int32_t STATUS_NOTICE = 0x1000;        // "several minutes" notice logged
inline constexpr int32_t STATUS_LEFT_BURNING = 0x2000;  // a burn outlived its limit: no more burns
// All the option bits, without the status bits.
inline constexpr int32_t OPTION_BITS =
    FLAG_LIST | FLAG_SILENT | FLAG_FORCE | FLAG_P | FLAG_YES | FLAG_DISCOVER | FLAG_APPLY;

extern int32_t g_iFlag;
extern int32_t silent;                 // 2 when burns run in the utility's silent form
extern int32_t boot_mode_value;        // 1 when the gate chose the system flash utility
extern const char* const g_XMLFwFile;  // CATALOG_FILE
extern const char* const g_XMLDiscoveryReportDefault;  // "nicdiscovery.xml"
extern std::string g_XMLDiscoveryReport;               // chosen by the pre-check
// The directory g_XMLDiscoveryReport starts from when it is relative: the
// caller's for a name given on the command line (caller_directory_fd()),
// the component directory (AT_FDCWD) for the default.
extern int g_report_base_dir;

// Event-log tags, 11 characters each.
inline constexpr const char* INFO_TAG = "[INFO]     ";
inline constexpr const char* WARNING_TAG = "[WARNING]  ";
inline constexpr const char* ERROR_TAG = "[ERROR]    ";

// The event log EVENT_LOG; null until a mode opens it.
extern FILE* ppyxflash_fout;

// Scratch text in which callers compose a console message.
extern std::string print_msg;

// printf into a std::string of whatever length the result needs.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Pre-check of the raw argument vector: 0 go on, 2 refuse (usage, status 1),
// 256 accepted boot-enable request (status 0, no output). May rewrite slash
// forms in place; fills g_XMLDiscoveryReport and g_report_base_dir (a report
// named on the command line is taken from the caller's directory).
int32_t verify_cmd_line_options(int argc, char** pargv);

// Prints the seven usage lines through print_message.
void usage();

// The whole program: pre-check, option scan, banner, gate, refusal, one mode.
// Returns the process exit status; 2, after an error line in the event log,
// when the mode ran out of memory.
int vexor_main(int argc, char** argv);

// True when g_iFlag has 0x2, 0x40 or 0x20: console messages are not shown.
bool console_silenced();

// Writes msg unchanged to stdout unless console_silenced().
void print_message(const std::string& msg);

// Asks a yes/no/quit question. Returns 0 yes, 1 no, 2 quit (also at end of
// input), 3 "c". sil_ans and frc_ans do not influence the result.
int32_t nfwu_yesno(const char* prompt, int32_t sil_ans, int32_t frc_ans, int32_t def_ans,
                   const char* yorn);

// Appends "<tag> [<ctime>] <text>\n" to pevent_file and flushes it.
void log_quorvane_event(FILE* pevent_file, const char* pevent_tag, const std::string& pextra_text);

// Puts every run-wide variable of vexor and of the host probes back to what a
// fresh process starts with, closing the event log if one is open; for tests
// and fuzz harnesses that run several modes in one process. Each unit resets
// its own (reset_inventory, reset_host_probes).
void reset_run_state();

// Opens EVENT_LOG for appending into ppyxflash_fout; on failure prints
// the FWUPG_ERROR line (naming unit and line) to stderr and exits with 1.
void open_event_log(const char* unit, int line);

// Why a run fails, said once on standard error as "vexor: <why>": deployment
// frameworks run vexor silenced and key on these texts, and an operator at
// the console reads it after what the interactive update printed. Said by
// every mode that ends with a non-zero status; before a mode runs, only by
// the runs whose failures are not otherwise explained (-s, -c, -d, -u, or
// a silenced console).
//
// Records the cause of a failure, to be said should the mode end with a
// non-zero status; only the first cause of a run is kept.
void note_reason(const std::string& why);
// The cause noted first; empty when none was.
const std::string& noted_reason();
// Says the reason line now, unless this run has said one already or is not
// one that says them.
void say_reason(const std::string& why);
// Says why, then ends the process with status.
[[noreturn]] void end_run(int status, const std::string& why);

// Where the run lock lives: "/run/vexor/vexor.lock", in a directory only
// root can create, enter or replace (see lock_file). reset_run_state leaves
// it alone; only a harness that must not touch the machine's lock points it
// elsewhere.
extern std::string g_run_lock_path;

// Takes the run lock on g_run_lock_path for the mode that runs: exclusive
// for the modes that burn, shared for those that only query. Held by
// another process: names that process (find_lock_holder) on stderr and in
// the log and exits with 1. Not to be had for another reason (no /run, a
// lock directory that is not root's alone): a run that burns logs an ERROR,
// says why on stderr and exits with 1; one that only queries logs a warning
// and goes on without it.
void take_run_lock(bool exclusive);

// The descriptor that holds the run lock (a burn passes it on to the flash
// utility), -1 when none is held.
int run_lock_fd();

// Ends the run with 1 (an ERROR in the log and on the console, and a reason
// line) when a file this run runs or reads as root can be changed by anyone
// but root (check_trusted_file): the flash utility the Secure Boot gate
// chose, the catalog, and in the apply mode ./getqrvninfo. A missing file is
// left to the step that needs it. Every mode calls it once it holds the run
// lock, before it touches an adapter.
void check_run_files();

// "" when the image at image_path can be changed by root alone. Otherwise
// logs an ERROR, sets STATUS_FAILED and returns why, in the words of the
// reason line: the adapter at address is not flashed.
std::string image_refusal(const char* address, const std::string& image_path);
// Where the history of burns (BURN_HISTORY) and the reboot-required files
// (REBOOT_REQUIRED_DIR) are written. reset_run_state leaves them alone; a
// harness that must not touch the machine's /run, nor pay for a synced
// write per run, empties them: nothing is then written there.
extern std::string g_history_path;
extern std::string g_reboot_dir;

// Reads the limits on waiting for the flash utility from the environment
// (wait_limits_from_environment) and makes them the run's. Ends the run
// with status 1 and the reason when a value is not a limit.
void take_wait_limits();

// Option scan of argv with "hcsFfipydu:" into g_iFlag (and silent); can run
// again. Returns 0 to go on, or 1 after -h or an unknown option has printed
// the usage text.
int32_t scan_cmd_line_options(int argc, char** argv);

// True when the option bits of flags (OPTION_BITS) are not one of the sets
// that go together.
bool option_set_refused(int32_t flags);

// The banner's exact bytes, from the first newline to the closing blank line.
std::string banner_text();

// Runs get_boot_mode(), prints its message and sets boot_mode_value. Returns
// 0 to go on, 1 when the run must end with status 1.
int32_t run_boot_mode_gate();

// ===================================================================
// Adapter inventory: records, catalog, versions, inventory build
// ===================================================================

// Most catalog entries kept per adapter (the inventory's match buffer).
inline constexpr int MAX_FW_ENTRIES = 100;

// One firmware catalog entry.
struct XMLFW_INFO {
  opt_text pxmlName;
  opt_text pxmlVenId;
  opt_text pxmlDevId;
  opt_text pxmlSubVenId;
  opt_text pxmlSubDevId;
  opt_text pxmlRom;
  opt_text pxmlFwImage;
  opt_text pxmlPSID;
};

// One adapter record (one PCI function, or one report device in apply mode).
// The per-entry vectors hold fw_count elements, in catalog order.
struct nic_info {
  opt_text pinterfacename;            // the PCI address text
  opt_text pdrivername, pdriver_ver;  // stay absent in every mode
  opt_text pfirmware_ver;             // the query's "FW Version"
  opt_text pbus_info;                 // the PCI address every command and message names
  int32_t ven_id = 0;
  int32_t dev_id = 0;
  int32_t sub_ven_id = 0;
  int32_t sub_dev_id = 0;
  opt_text busnumber, devicenumber, funcnumber;  // parts of the address, apply mode only
  opt_text pip_addr, pnetmask, pbroadcast;       // stay absent in every mode
  opt_text pcurrent_mac;                         // the query's "Base MAC"
  uint32_t uCurROMmaj = 0;
  uint32_t uCurROMmin = 0;
  uint32_t uCurROMrel = 0;
  std::vector<uint32_t> uFwROMmaj;
  std::vector<uint32_t> uFwROMmin;
  std::vector<uint32_t> uFwROMrel;
  std::vector<opt_text> pxmlName;
  std::vector<opt_text> pxmlFwImage;
  opt_text pFwPath;   // stays absent
  opt_text pPort;     // stays absent; the report's slotnumber
  int32_t flags = 0;  // 1 usable (running firmware known), 2 to be flashed
  int fw_count = 0;
  opt_text psid;
};

inline constexpr int32_t NIC_USABLE = 1;
inline constexpr int32_t NIC_SELECTED = 2;

extern std::vector<nic_info> g_ninfo;
extern int32_t g_nNics;
extern int32_t g_nQuorvanePorts;
extern int nic_count;
extern std::vector<int> fw_number;
extern std::string sub_ven_id_new;
extern std::string sub_dev_id_new;
extern const int32_t class_code[4];
extern std::vector<std::string> ver_buf;
extern int fw_invalid;
extern int fw_invalid_count;
extern int read_discovery;
extern std::vector<std::string> firmware_id;
extern std::string bus_info;

// Puts the inventory's run-wide variables above back to what a fresh process
// starts with.
void reset_inventory();

// Number of inventory records built: g_nNics, never more than g_ninfo holds.
size_t inventory_size();

// Number of catalog entries of a record whose version it holds: fw_count,
// never more than uFwROMmaj, uFwROMmin and uFwROMrel hold.
size_t catalog_entry_count(const nic_info& nic);

// Entry j of one of a record's per-entry texts (pxmlName, pxmlFwImage);
// absent past the end of texts.
opt_text catalog_text(const std::vector<opt_text>& texts, size_t j);

// Prepares the catalog lookup of an adapter: sets sub_ven_id_new and
// sub_dev_id_new to "%04X" of nic's subsystem ids and returns the adapter id
// string "%04X-%04X-%04X-%04X-%s" of nic's four ids and psid.
std::string prepare_catalog_lookup(const nic_info& nic, const std::string& psid);

// Copies the first nic.fw_count entries of matches (the reader's result) into
// the record's per-entry vectors: name, image and version split with
// parseversions.
void take_catalog_matches(nic_info& nic, const std::vector<XMLFW_INFO>& matches);

// Puts the entries of the catalog g_XMLFwFile matching pciIdString (with
// sub_ven_id_new and sub_dev_id_new in place of the catalog's subsystem
// values) into pXmlFwInfo from its start, at most pXmlFwInfo.size() of them,
// and their number into g_ninfo[nic_count].fw_count. Returns 1 if that
// number is non-zero, else 0 (also when there is no such record). The
// catalog is read once per run, at the first call; every later call matches
// against what was read then. Exits with status 1 when the catalog cannot be
// opened.
int read_NIC_FW_xml_file(const std::string& pciIdString, std::vector<XMLFW_INFO>& pXmlFwInfo);

// Forgets the catalog this run read, so that the next lookup reads it again
// (reset_run_state).
void forget_catalog();

// Splits "major.minor.release" into three numbers (parse_fw_version); always
// returns 0.
int parseversions(const char* version, uint32_t* major, uint32_t* minor, uint32_t* release);

// The installed version of a record, and the version of its catalog entry j
// (j below catalog_entry_count(nic)).
fw_version installed_version(const nic_info& nic);
fw_version catalog_version(const nic_info& nic, size_t j);

// The ordering key of a catalog version: the first ten digits of
// "%d%d%d" filled up with zeros (2.42.5000 -> 2425000000).
int64_t fw_ordering_key(uint32_t major, uint32_t minor, uint32_t release);

// The version text "%d.%d.%d"; the numbers are shown signed, as everywhere a
// version is printed, so a text read back splits into the same numbers.
std::string version_text(uint32_t major, uint32_t minor, uint32_t release);
inline std::string version_text(const fw_version& v) {
  return version_text(v.major, v.minor, v.release);
}

// Fills texts (version_text) and keys for every catalog entry of g_ninfo[uIdx]
// in catalog order, then orders both with sort_fw.
void build_sorted_versions(uint32_t uIdx, std::vector<std::string>& texts,
                           std::vector<int64_t>& keys);

// Selection sort of the first g_ninfo[uIdx].fw_count rows of ver_buf and
// fw_sorted, ascending by key (not stable).
void sort_fw(uint32_t uIdx, std::vector<std::string>& ver_buf, std::vector<int64_t>& fw_sorted);

// Builds g_ninfo from the PCI enumeration, the flash utility's queries and
// the catalog. Returns 0; 1 (no vendor function); or 2: every vendor
// function lacked its data, or none was met while some PCI function could
// not be read. A failure's cause is logged and noted for the reason line.
int32_t build_NIC_list();

// ===================================================================
// Update workflow: update run, flashing, listing
// ===================================================================

// What became of one function of the inventory in the update run, for the
// summary the console forms print at the end. Each value is set where that
// decision is made: the inventory build (left out), the selection and the
// update run (not flashed) and the burn (flashed, failed).
enum class outcome_kind {
  not_ours,   // another vendor's function: not in the summary
  undecided,  // may be offered; nothing decided yet
  selected,   // answered yes; not burned (yet)
  flashed,
  failed,              // the burn failed; detail: its kept output file, "" none
  left_burning,        // vexor stopped waiting for its burn; detail: its output file, "" none
  after_left_burning,  // not burned: a burn vexor stopped waiting for may still run
  no_image,            // chosen, but its catalog entry names no (plain) image file
  refused_image,       // chosen, but others than root can change its image file
  answered_no,         // no to a newer version
  already_latest,      // no (or skipped) where the catalog has nothing newer
  quit_before,         // the operator quit at its question or before it
  not_offered,         // after a "c" answer
  no_query_data,       // no firmware version or PSID from the flash utility
  no_catalog_entry,    // in the apply mode, detail: what was looked for
  second_function,     // detail: the address of its adapter's first function
  // The apply mode's own, one per device of the report; detail says why in
  // the words of the reason line.
  left_alone,            // its action asks for no flash
  invalid_address,       // its address is not a bus address
  repeated_address,      // an earlier device of the report had its address
  no_such_version,       // the catalog lacks the version it asks for
  family_not_found,      // getqrvninfo named no image for its family image
  family_other_version,  // getqrvninfo named an image of another version
};

// One line of the summary.
struct adapter_outcome {
  outcome_kind kind = outcome_kind::not_ours;
  std::string address;
  std::string before;            // the version the query gave, "-" without one
  std::string after;             // the version burned once flashed, else before
  std::string detail;            // see outcome_kind
  bool newer_available = false;  // the catalog has a newer version (numerically)
  // A flash was asked for it: answered yes (or decided so silently), or its
  // report action asks for one. Such a device that is not flashed failed.
  bool asked = false;
};

// The outcomes of the inventory's functions, in inventory order (one per
// g_ninfo record), filled by build_NIC_list; in the apply mode one per
// device of the report, in report order.
extern std::vector<adapter_outcome> g_adapter_outcomes;

// True when o asked for a flash and was not flashed.
bool flash_failed(const adapter_outcome& o);

// "LABEL: why; LABEL: why" for the outcomes that count (the first ten, then
// how many more): each label is the outcome's address, the why the words of
// the reason line.
std::string failure_list(const std::vector<const adapter_outcome*>& failed);

// The reason line of a run in which a device that asked for a flash was not
// flashed: "F of N devices failed (LABEL: why; ...); K flashed", N the
// devices that asked, and the functions the flash utility gave no data for.
// Empty when no such device failed.
std::string outcome_reason(const std::vector<adapter_outcome>& outcomes);

// The outcome of inventory record idx, null when there is none.
adapter_outcome* outcome_of(size_t idx);

// The summary's text: a heading, then one aligned row per function of the
// vendor that the inventory met (address, version before, version after,
// outcome), and which flashed adapters need a reboot. "" when the inventory
// met none.
std::string update_summary_text(const std::vector<adapter_outcome>& outcomes);

// Prints update_summary_text(g_adapter_outcomes) through print_message.
void print_update_summary();

// The update mode (no option, -s, -F, -p, -y): builds the inventory, then
// asks or decides and flashes adapter by adapter. Returns the exit status:
// 0 done or nothing to do; 1 (silent without force) every counted adapter
// already runs the latest firmware; 2 a burn failed; 3 the operator quit;
// after a failed inventory build its result, 1 or 2. Exits with 1 when the
// event log cannot be opened or the inventory build ends the process.
int32_t fwupg();
// Decides adapter uNicIdx by is_FW_needed's answer: adds 2 (selected) to its
// flags or clears them, and sets STATUS_QUIT or STATUS_NO_MORE. Returns 0.
int32_t select_firmware(uint32_t uNicIdx);
// Lists adapter uNicIdx's installed and catalog versions (ver_buf is left
// holding them in ordering-key order) and asks or decides. Returns the answer:
// 0 yes, 1 no, 2 quit, 3 "c".
int32_t is_FW_needed(uint32_t uNicIdx);
// vers_string = the question of the update run; uNicIdx does not change it.
void fw_version_message(std::string& vers_string, int32_t uNicIdx);
// Burns adapter uNicIdx when its flags carry 2: the entry of the version that
// sorts last (update run) or the one entry looked up (apply mode). Sets
// STATUS_FLASHED or STATUS_FAILED, and STATUS_LEFT_BURNING when vexor
// stopped waiting for the burn at its limit; once that is set it burns
// nothing more. Returns 0, or after a failed burn the exit status of the
// mismatch search (0 when the image is not for this board; 1 for a burn
// left running).
int32_t do_update_firmware(uint32_t uNicIdx);
// Echoes "%s \n" to stdout and runs command through the shell; returns the
// command's exit status (255 when no shell could be started).
int32_t do_command(const char* command);
// The MAC text without separators (pairs at 1-2, 4-5, ... 16-17).
std::string format_mac(const char* pStrTok);
// The listing mode (-c): prints every usable adapter's ids, installed and
// catalog versions. Returns 0; 2 when no adapter of the vendor was found
// while some PCI function could not be read; exits with 1 when the event
// log cannot be opened or the inventory build ends the process.
int32_t show_current();

// ===================================================================
// What a burn leaves behind: its history and the reboot it needs
// ===================================================================

// What the history records of a burn before it starts.
struct burn_plan {
  std::string address;
  opt_text psid;                      // as the query or the report gave it
  std::string installed;              // the version the adapter runs
  std::string image;                  // the image path handed to the flash utility
  std::string version;                // the version that image holds
  std::optional<std::string> output;  // the file that takes its output, none when not kept
};

// Appends to g_history_path the record of a burn about to start, synced to
// disk before it returns, and returns the burn's number in this run (1, 2,
// ...). A history that cannot be written is said once, on standard error
// and in the log, and the run goes on without it.
int history_burn_started(const burn_plan& plan);

// Appends how burn number burn (of history_burn_started), at address, ended:
// flashed, failed (with its exit status, signal or why it never started),
// or stopped waiting.
void history_burn_ended(int burn, const std::string& address, const burn_outcome& outcome);

// For each burn that the history shows started by an earlier run and never
// ended (vexor was killed during it), says once, in the log and on
// standard error, what was being burned, when and where its output went,
// and that the adapter's version should be checked; then records it as
// interrupted. Only while this run holds the run lock, when no burn can be
// running. Lines that are not records are skipped with a warning.
void report_interrupted_burns();

// Forgets this run's id and burn count (reset_run_state).
void reset_burn_history();

// Marks the system as needing a reboot for vexor: creates
// REBOOT_REQUIRED_FILE and adds the line "vexor" to REBOOT_REQUIRED_PACKAGES
// (once) in g_reboot_dir. Called after every burn that flashed; what
// cannot be written is logged as a warning.
void mark_reboot_required();

// ===================================================================
// Discovery report: writer (-d) and apply mode (-u)
// ===================================================================

// The discovery mode (-d): builds the inventory and writes the report to
// g_XMLDiscoveryReport. Returns 0 when the report was saved, 2 when the
// build failed or the report could not be saved; exits with 1 when the
// event log cannot be opened or the inventory build ends the process.
int32_t discover_HW();
// The apply mode (-u): reads the report g_XMLDiscoveryReport once (at most
// 64 MiB) and flashes, silently, each device whose action asks for it, with
// the first matching catalog entry of the version its fw_item names (the
// first matching entry when it names none); a family image only when
// getqrvninfo resolves it to an image of that version. A device whose
// address came earlier in the report, or whose version the catalog lacks,
// is not flashed. Each device's outcome goes into g_adapter_outcomes.
// Returns 0 when every device that asked for a flash was flashed and fewer
// devices failed than the report holds; 2 when a device that asked for a
// flash was not flashed, every device failed (a report without devices
// included), the report cannot be opened or parsed (or declares entities),
// or a family image cannot be resolved (the run ends there). Exits with 1
// when the event log or the catalog cannot be opened.
int32_t read_discovery_report();

// Writes the whole report for the current inventory to g_XMLDiscoveryReport;
// an existing report is replaced only by a completely written one. Returns 0
// when the report was saved, 1 (after logging why) when it was not.
int32_t xml_discovery_report();
// Creates the writer over a new document (both null when that fails), writes
// the declaration and the header elements, and leaves `devices` open.
void write_XML_start_elements(xml_writer_ptr& writer, xml_doc_ptr& doc);
// Writes one complete `device` element for g_ninfo[IdxNic].
void write_XML_device_elements(_xmlTextWriter* writer, uint32_t IdxNic);
// Writes the `fw_item` elements of g_ninfo[IdxNic] (one, "ROM", when usable).
void write_XML_FW_item(_xmlTextWriter* writer, uint32_t IdxNic);
// pAttribute = the catalog version of g_ninfo[uIdx] with the greatest ordering
// key for a "ROM" image type, else empty.
void build_XML_FW_item_version(const std::string& pFwtype, std::string& pAttribute, uint32_t uIdx);
// pAttribute = the installed version "%d.%d.%d" of g_ninfo[IdxNic].
void build_XML_FW_item_active_version(const std::string& pFwtype, std::string& pAttribute,
                                      uint32_t IdxNic);
// pAttribute = "upgrade", "rewrite", "downgrade" or "Nothing" by numeric
// comparison of the installed version with every catalog version.
void recommend_XML_FW_action(const std::string& pFwtype, std::string& pAttribute, uint32_t IdxNic);
// Saves doc, a report of `devices` devices, to path in UTF-8. The bytes are
// first checked to be a complete report; then path's links are followed. A
// regular file (or a name not yet taken) is replaced through a temporary
// file in its own directory, read back before it is renamed over it; an
// existing file keeps its owner and permission bits. An open descriptor
// (/dev/stdout, /dev/fd/N), a character device or a FIFO is written as it
// is. Refused: a directory, a block device, a socket, a name in nic_fw/, and
// any file vexor reads, runs or holds (catalog, event log, vexor itself, the
// utilities, the run lock). Returns 0, or 1 after logging why (path and
// errno text); on failure an existing file at path is kept.
int32_t save_discovery_report(_xmlDoc* doc, const std::string& path, size_t devices);

// First pass: adds 1 to *deviceCnt when the reader stands on the start of an
// element named "device".
void read_num_device_elements(_xmlTextReader* reader, int* deviceCnt);
// What the second pass carries from node to node besides the device
// position: the current image type, how many fw_item elements are open, and
// the version each record's fw_item names (absent when it names none).
struct report_pass_state {
  std::string image_type;
  int fw_item_depth = 0;
  std::vector<opt_text> versions;  // one per record
};
// Second pass: applies the reader's current node to pNinfo[*Idx] and state;
// advances *Idx at the end of each "device" element. Nodes met once *Idx is
// past the last record are ignored.
void process_node(_xmlTextReader* reader, std::vector<nic_info>& pNinfo, int* Idx,
                  report_pass_state& state);
// Stores an installed version for image type pImageType ("n/a": nothing).
void read_FW_cur_version(nic_info* pCurNinfo, const std::string& pImageType,
                         const std::string& pVersion);
// Hexadecimal text to number: at most four digits, up to the first other
// character; no digit gives 0.
int32_t axtoi(const char* hexStg);
// Replaces pxmlFwImage[0] of g_ninfo[curnic] by the image getqrvninfo names
// for its address (parse_image_answer). 0 on success, 1 when no (plain)
// image name came back, or the failure of get_qrvn_info. servername, when
// given, receives the host field.
int modify_imagename(uint32_t curnic, std::string* servername);
// What the first word of getqrvninfo's answer names: "HOST#IMAGE" when it
// found an image, a word without '#' ("0") when it found none.
struct image_answer {
  bool found = false;
  std::string host;
  std::string image;  // the text after the last '#', trailing white space removed
};
image_answer parse_image_answer(const std::string& word);
// Runs cmd with do_command, then reads the first line of dataFile into data,
// cut at the first delimiter. 0 on success, the command's status, or 2 when
// dataFile cannot be read.
int32_t get_qrvn_info(const std::string& cmd, std::string& data, const std::string& dataFile,
                      char delimiter);
