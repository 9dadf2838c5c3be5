// The results format: a header and one tab-separated record per point, every
// line ended with CR LF and flushed as it is written; read back (talvik's
// files and talvik-plot's CSV), written as CSV, used as a reference, and
// saved whole under a name.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

inline constexpr char results_header[] = " Frequency\t  dBm \r\n";

// One point of a results file.
struct level_point {
    double hz;
    double level; // dBm, or dB against a reference
    bool overflow;
};

// A record's line, CR LF included, into line; its length, or -1 when it does
// not fit.
int format_record(char *line, size_t size, double frequency_hz, double level_dbm, bool overflow);

// Each line whole or not at all: a line written in part is cut off, so that
// the file holds only whole lines. False when it could not be written.
bool write_header(std::FILE *file);
bool write_record(std::FILE *file, double frequency_hz, double level_dbm, bool overflow);

// A results file read back.
struct results_file {
    std::vector<level_point> points;
    bool normalised = false; // levels are dB against a reference (a CSV of level_db)
};

// Reads path: a talvik results file, or talvik-plot's own CSV (CR LF, LF or
// lone CR line ends). A line that is not a record is an error naming the file
// and line ("r.txt:7: ..."); nothing is skipped.
bool read_results(const std::string &path, results_file &out, std::string &error);

// The CSV of points, header first; false when standard output or file
// cannot take it.
bool write_csv(std::FILE *out, const std::vector<level_point> &points, bool normalised);

// The reference's level at hz, interpolated linearly between its points
// either side; overflowed where a point used was. at: where the last call
// looked, for calls in rising frequency (start it at 0).
void reference_at(const std::vector<level_point> &reference, double hz, size_t *at, double *level,
                  bool *overflow);

// Saves the points as a results file, through a temporary file renamed into
// place; false with the reason.
bool save_results(const std::string &name, const std::vector<level_point> &points,
                  std::string *reason, bool *taken = nullptr);
