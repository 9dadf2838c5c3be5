// What the command line's numbers leave unsaid: text after a number's digits
// (read as atoi reads it, and said so), and how long the low band waits.
#pragma once
#include <cstdint>
#include <string>

// Where text has characters after its leading digits, the warning that says
// how it reads: "start '3.5M' reads as 3 Hz: whole hertz only (3500000)",
// the value meant where the text reads as a frequency; "" where nothing
// follows the digits, or there are none.
std::string trailing_text_warning(const char *name, const char *text, bool hertz);

// The low band's delays over a sweep from start towards end, in
// milliseconds.
int64_t low_band_wait_ms(int32_t start, int32_t end, int32_t divisor);

// A wait as people say it: "45 s", "2 min 05 s", "1 h 03 min".
std::string duration_text(int64_t ms);
