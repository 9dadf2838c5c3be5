// Text from outside (a setting, a file's line) as messages may show it.
#pragma once
#include <cstddef>
#include <string>

// Control characters, DEL, C1 controls and bytes that are not UTF-8 escaped
// (\n, \t, \r, \xNN), so that nothing a user or a file holds can steer the
// terminal. Safe to apply twice.
std::string printable(const std::string &text);

// Without the blanks, tabs and carriage returns at either end.
std::string trimmed(const std::string &text);

// The same as printable, cut to at most `most` bytes of the text with its length said
// ("...(5000 bytes)"), so that a message with it still has room for its
// reason.
std::string shortened(const std::string &text, size_t most);

// A JSON string, quotes included: valid UTF-8 passes, control characters
// are escaped as \u00XX, and each byte that is not part of valid UTF-8
// becomes \uFFFD.
std::string json_string(const std::string &text);
