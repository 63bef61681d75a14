// Files shared by the simulated host and its flash utility: the journal of
// utility invocations, the per-adapter state and the image file format.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/simhost.h"

namespace sim {

// Name of the environment variable that tells the simulated flash utility
// where the host's state directory is.
inline constexpr const char* kStateEnv = "VEXOR_SIM_STATE";

// Escapes backslash, tab, newline and carriage return so that the text fits
// in one tab-separated field of one line.
std::string escape_field(const std::string& text);
// Inverse of escape_field; an unknown escape keeps the escaped character.
std::string unescape_field(const std::string& text);

// Path of the journal inside a state directory.
std::string journal_path(const std::string& state_dir);
// Path of the file in which the flash utility lists the descriptors it had
// open when it last burned the adapter at address ("N\ttarget" lines).
std::string descriptors_path(const std::string& state_dir, const std::string& address);
// Path of the file in which the flash utility notes the soft limit on file
// sizes it ran with when it last burned the adapter at address: "unlimited"
// or the number of bytes, and a newline.
std::string file_size_limit_path(const std::string& state_dir, const std::string& address);
// Appends one line holding argv (escaped fields separated by tabs) to the
// journal with a single write. Returns false (errno set) on failure.
bool append_journal(const std::string& path, const std::vector<std::string>& argv);
// All journal entries, in the order they were written; none if the file is missing.
std::vector<std::vector<std::string>> read_journal(const std::string& path);

// True for a PCI address text of the form dddd:bb:ss.f (hex, function 0-7).
bool is_pci_address(const std::string& address);

// The utility's state of the adapter at address, nullopt when it knows none.
// Throws std::runtime_error when the state file exists but is malformed.
std::optional<Adapter> load_adapter(const std::string& state_dir, const std::string& address);
// Writes the adapter's state atomically (temporary file and rename).
// Throws std::runtime_error on failure.
void save_adapter(const std::string& state_dir, const std::string& address, const Adapter& adapter);

// A simulated reboot of the host whose state is in state_dir: each adapter's
// pending version runs from now on (activation reboot) or is dropped
// (activation never), and the boot id changes. Throws std::runtime_error.
void reboot(const std::string& state_dir);
// The host's boot id: a text that changes with every simulated reboot.
std::string boot_id(const std::string& state_dir);

// Text form of an adapter's state, and back (throws on a malformed text).
std::string adapter_to_text(const Adapter& adapter);
Adapter adapter_from_text(const std::string& text);

// Contents of an image file for the simulated utility.
std::string image_to_text(const Image& image);
// The PSID and version an image file names, nullopt if the text is not an image.
struct ImageInfo {
  std::string psid;
  std::string version;
};
std::optional<ImageInfo> parse_image(const std::string& text);

// Whole contents of a file; nullopt when it cannot be read.
std::optional<std::string> slurp(const std::string& path);

}  // namespace sim
