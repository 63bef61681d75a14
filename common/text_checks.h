// Tests on texts that both programs make: substrings, bus addresses, image
// file names.
#pragma once

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
