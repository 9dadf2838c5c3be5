// A stop raised by a stand-in as a chosen access reaches the lines: the k-th
// access after the converter's n-th release since the plan was set. It notes
// how many selects that access had seen since the release, so that a test
// knows how many points were whole when the stop came (a point is whole once
// its second exchange has begun).
#pragma once
#include "common/port_lines.hpp"
#include "common/stop.hpp"

#include <csignal>
#include <cstdint>

struct stop_plan {
    int after_releases = -1; // -1: never
    long at_access = 0;
    int releases = 0;
    long since = -1; // accesses since the n-th release; -1 before it
    int selects = 0; // selects since it
    bool selected = false;
    bool raised = false;
    int selects_when_raised = 0;
    // It came while a point's load was under way, its last access (the
    // update pulse's end) included: the lines had moved since the last
    // release, nothing was selected since, and the load was not yet applied.
    bool loading_when_raised = false;
    bool loading = false;
    uint8_t last = 0xFF;

    void set(int n, long k) {
        *this = stop_plan();
        after_releases = n;
        at_access = k;
    }
    // Each access as the instrument sees it: its data lines after it.
    void access(uint8_t lines) {
        bool now = !(lines & conv_select_n_line);
        if (since >= 0) {
            selects += now && !selected;
            loading = !now && !selected ? loading || lines != last : false;
            if (since++ == at_access && !raised) {
                raised = true;
                selects_when_raised = selects;
                loading_when_raised = loading;
                stop_signal = SIGTERM;
            }
            if ((last & synth_update_line) && !(lines & synth_update_line))
                loading = false;
        }
        if (selected && !now && ++releases == after_releases)
            since = 0;
        selected = now;
        last = lines;
    }
};

// The one the stand-ins follow.
inline stop_plan the_stop_plan;
