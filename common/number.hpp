#pragma once
#include <cstdint>

// Reads a whole setting value as a number, decimal or hex with 0x, and
// checks it lies in [low, high]. No sign, blanks or trailing text.
bool parse_number(const char *text, long long low, long long high, long long *value);

// Reads a whole text as a finite decimal number ("27", "-84.5", "1e-3") and
// checks it lies in [low, high]. No blanks or trailing text.
bool parse_decimal(const char *text, double low, double high, double *value);

// A frequency as people write it: "3500000", "3.5M", "3.5MHz", "350k",
// "350kHz", "1.2G" (k, K, M, G; "Hz" optional); false for anything else.
bool read_frequency(const char *text, double *hz);

// atoi's reading of text, saturated to the signed 32-bit range.
int32_t read_int(const char *text);
