#pragma once
#include <cstdint>

// Reads a whole setting value as a number, decimal or hex with 0x, and
// checks it lies in [low, high]. No sign, blanks or trailing text.
bool parse_number(const char *text, long long low, long long high, long long *value);

// atoi's reading of text, saturated to the signed 32-bit range.
int32_t read_int(const char *text);
