// The results file: a header and one tab-separated record per point, every
// line ended with CR LF and flushed as it is written.
#pragma once
#include <cstdio>

void write_header(std::FILE *file);
void write_record(std::FILE *file, double frequency_hz, double level_dbm, bool overflow);
