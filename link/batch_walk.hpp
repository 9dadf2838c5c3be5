// How a batch runs at once, written once for the link and for a backend that
// runs a batch again itself (the adapter's replay): each run of writes and
// reads in one go, each ready wait polled, the delay on the host's clock.
#pragma once
#include "common/clock.hpp"
#include "common/stop.hpp"
#include "link/link.hpp"
#include "link/port.hpp"

// Polls read(&status) until the converter is ready, a stop is asked for, or
// the wait's bound passes (wait.late set); wait.value is the status that
// ended it. False when a read failed.
template <class Read> bool poll_ready(port_access &wait, Read &&read) {
    int32_t t0 = tick_clock();
    uint8_t status = 0;
    wait.late = false;
    for (;;) {
        if (!read(&status))
            return false;
        if (!(status & status_busy) || !keep_waiting())
            break;
        if (tick_clock() - t0 > ready_timeout_ticks) {
            wait.late = true;
            break;
        }
    }
    wait.value = status;
    return true;
}

// Runs the batch's accesses in order: each run of writes and reads through
// at_once(items, count), each ready wait through poll_ready. A stop asked for
// cuts the waits and the delay short from there on (batch.cut: the first),
// but the batch runs to its end: stopping inside a point would leave a word
// half loaded or the converter selected, and the way from there to the idle
// lines gives the instrument an edge it takes. batch.done: the accesses
// carried out; batch.busy_seen: a poll read busy. False when the port
// failed, *failed_at then where the run or wait that failed begins.
template <class AtOnce, class Read>
bool walk_batch(port_batch &batch, AtOnce &&at_once_run, Read &&read, size_t *failed_at) {
    port_access *items = batch.items;
    size_t count = batch.count;
    batch.done = 0;
    batch.cut = port_batch::not_cut;
    batch.busy_seen = false;
    auto poll = [&](uint8_t *status) {
        bool ok = read(status);
        batch.busy_seen = batch.busy_seen || (ok && (*status & status_busy));
        return ok;
    };
    for (size_t i = 0; i < count;) {
        if (!at_once(items[i].kind)) {
            if (items[i].kind == access_kind::wait_ready) {
                if (!poll_ready(items[i], poll)) {
                    *failed_at = i;
                    return false;
                }
            } else {
                delay_ticks(batch.delay_ticks);
            }
            if (!keep_waiting() && batch.cut == port_batch::not_cut)
                batch.cut = i;
            batch.done = ++i;
            continue;
        }
        size_t end = i;
        while (end < count && at_once(items[end].kind))
            ++end;
        if (!at_once_run(items + i, end - i)) {
            *failed_at = i;
            return false;
        }
        batch.done = i = end;
    }
    return true;
}
