// The fixed paths of the component directory, relative to it (vexor and
// getqrvninfo run from there), and the system's flash utility beside them.
// Each is spelled here once; code and messages name them through these.
#pragma once

// The directory of the firmware images, the catalog and the shipped flash
// utility. An image's path is this followed by its plain file name.
inline constexpr const char* FIRMWARE_DIR = "./nic_fw/";

// The firmware catalog.
inline constexpr const char* CATALOG_FILE = "nic_fw/NICFWData.xml";

// vexor's event log.
inline constexpr const char* EVENT_LOG = "pyxflash.log";

// The history of burns: one JSON record per line, only ever appended to.
inline constexpr const char* BURN_HISTORY = "vexor-history.jsonl";

// The image-information program that the apply mode runs.
inline constexpr const char* IMAGE_INFO_PROGRAM = "./getqrvninfo";

// The two installations of the flash utility: the copy shipped in
// FIRMWARE_DIR, and the system's own. flash_utility.h says which one a run
// uses.
inline constexpr const char* SHIPPED_FLASH_UTILITY = "./nic_fw/pyxflash";
inline constexpr const char* SYSTEM_FLASH_UTILITY = "/usr/bin/quarz";

// Where the system keeps what it must do at the next boot: the directory
// holds the convention's two files, "reboot-required" (a reboot is needed)
// and "reboot-required.pkgs" (one line per package that needs it).
inline constexpr const char* REBOOT_REQUIRED_DIR = "/run";
inline constexpr const char* REBOOT_REQUIRED_FILE = "reboot-required";
inline constexpr const char* REBOOT_REQUIRED_PACKAGES = "reboot-required.pkgs";

// What the catalog's image file name of a family placeholder holds: such an
// image stands for the family and is resolved per adapter by getqrvninfo.
inline constexpr const char* FAMILY_IMAGE_MARKER = "Belmora";
