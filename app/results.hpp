// The results file: a header and one tab-separated record per point, every
// line ended with CR LF and flushed as it is written.
#pragma once
#include <cstddef>
#include <cstdio>

inline constexpr char results_header[] = " Frequency\t  dBm \r\n";

// A record's line, CR LF included, into line; its length, or -1 when it does
// not fit.
int format_record(char *line, size_t size, double frequency_hz, double level_dbm, bool overflow);

void write_header(std::FILE *file);
void write_record(std::FILE *file, double frequency_hz, double level_dbm, bool overflow);
