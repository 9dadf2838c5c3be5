// Limit masks: upper and lower limit lines over bands of frequency, read
// from plain text and checked against a sweep's points, for a go/no-go
// verdict. Plain computation: the caller reads the file.
#pragma once
#include "results/results.hpp"

#include <cstddef>
#include <string>
#include <vector>

struct mask_segment {
    double start_hz = 0, stop_hz = 0;
    bool upper = true;                // the level may not rise above it; else fall below
    double start_db = 0, stop_db = 0; // the limit at each end, a straight line between
    int line = 0;                     // where the file gave it
    double limit_at(double hz) const;
};

struct limit_mask {
    bool relative = true; // unit dB (against a reference, the default); false: dBm
    std::vector<mask_segment> segments;
};

// "unit dB|dBm" first (optional), then "START STOP upper|lower LEVEL
// [LEVEL2]" a line; '#' comments and blank lines anywhere. Frequencies as
// the tools read them (3.5M, 350k, 3500000), 0 to 1 GHz; levels within
// +-400 dB. False with "NAME, line N: REASON" for the first fault: start not
// below stop, a level that is no number, segments of one kind that overlap,
// more than 1000 segments.
bool parse_mask(const std::string &text, const std::string &name, limit_mask *mask,
                std::string *why);

enum class mask_verdict { pass, fail, cannot_tell };

struct segment_result {
    size_t checked = 0, failing = 0, left_out = 0; // points inside; over the limit; overflowed
    bool covered = true; // the sweep reaches both ends (within one of its steps)
    bool worst_known = false;
    double worst_hz = 0, worst_level = 0, worst_margin = 0; // margin < 0: by how much it fails
};

struct mask_result {
    mask_verdict verdict = mask_verdict::pass;
    std::vector<segment_result> segments; // as the mask's
    // The smallest margin of all (its segment), where any point was checked.
    bool any = false;
    size_t worst_segment = 0;
};

// Checks every point inside each segment (ends included; a point at its limit
// passes). FAIL where any point is beyond its limit; else cannot tell where a segment holds an
// overflowed point, has no point, or reaches beyond the sweep by more than
// one of the sweep's steps; else PASS.
mask_result check_mask(const std::vector<level_point> &points, const limit_mask &mask);

// The verdict as lines: "NAME: mask PASS, worst margin ..." and, for each
// failing or unknown segment, a line of its own.
std::vector<std::string> mask_lines(const std::string &name, const limit_mask &mask,
                                    const mask_result &r, const char *unit);
