// Text from outside (a setting, a file's line) as messages may show it.
#pragma once
#include <string>

// Control characters and DEL escaped (\n, \t, \r, \xNN), so that nothing a
// user or a file holds can steer the terminal. Safe to apply twice.
std::string printable(const std::string &text);
