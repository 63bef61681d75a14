// Tests on texts that both programs make: substrings, bus addresses, image
// file names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True when part occurs in text (case-sensitive; an empty part always does).
bool contains(std::string_view text, std::string_view part);

// The same without regard to ASCII letter case.
bool contains_nocase(std::string_view text, std::string_view part);

// True when text is a bus address "dddd:bb:dd.f": 4, 2 and 2 hexadecimal
// digits of either case, ':' after the domain and the bus, '.' and 0 to 7.
// Only such a text is put into a shell line or a flash-utility command.
bool is_bus_address(std::string_view text);

// True for the ASCII control characters: below the blank, and delete.
bool is_control(char c);

// True for a plain file name that can only mean a file directly inside one
// directory: not empty, not "." or "..", no "/" and no control characters.
bool is_plain_file_name(std::string_view name);

// Length of the UTF-8 sequence that starts at text[i], with its code point
// in *cp; 0 when the bytes there are none (a stray continuation byte, an
// overlong form, a surrogate, a value beyond U+10FFFF, a sequence cut short).
size_t utf8_sequence(std::string_view text, size_t i, char32_t* cp);

// How much of one outside value a log line or a message shows. The longest
// value that is not forged is an image file name (up to 990 characters);
// the rest of a hostile value (a report can hold a 60 MB attribute) would
// only bury the events around it.
inline constexpr size_t kVisibleMax = 1024;

// text as it may go into a log line or one of vexor's own console messages
// when it comes from outside (a report, the catalog, the flash utility,
// sysfs): every control character (C0, delete, and the C1 range a terminal
// may also obey) as a visible escape ("\n", "\r", "\t", "\x1b",
// "\u009b"), each byte that is not valid UTF-8 as "\xNN", and the backslash
// itself as "\\" so that no escape can be forged either. Everything else,
// printable UTF-8 included, is kept. Only the first max_bytes bytes of text
// are shown (cut between two characters), followed by "..." when there was
// more.
std::string escaped(std::string_view text, size_t max_bytes = kVisibleMax);
