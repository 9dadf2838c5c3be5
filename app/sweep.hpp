// The sweep: converter start-up, then one reading per point.
#pragma once
#include "measure/point.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern int32_t current_word;

// The next word, formed wide: beyond the 32-bit range it is above any end.
int64_t next_word(int32_t word, int32_t divisor);

// One point: load the word, wait in the low band, read, show and record it.
// False when a stop came before the point was complete, or its record could
// not be written: nothing more recorded.
bool measure_point(std::FILE *results, int32_t word);

// What the sweep's readings had in common, to tell a dead instrument.
struct sweep_tally {
    long points = 0;
    uint32_t first_reply = 0;
    bool same = true;      // every reply was first_reply
    bool timed_out = true; // every ready wait of every point gave up
    uint32_t most_reply = 0; // the reply most points gave, and how many
    long most_count = 0;
};
extern sweep_tally tally;

// Ends early, with every complete point recorded, when a stop is asked for
// or the run fails (link_failure() says why: a lost port, a converter never
// ready, a trace or the results file that cannot be written, "Can't write
// NAME", the file cut back to its last whole record). A sweep of 3 points or
// more in which busy never showed, whose readings were all or nine in ten the
// same, or whose waits all timed out, is said to be so on standard error.
// False when the results file failed.
bool run_sweep(std::FILE *results);
