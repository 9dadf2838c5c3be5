#include "app/sweep.hpp"

#include "app/screen.hpp"
#include "app/settings.hpp"
#include "common/text.hpp"
#include "common/exit_status.hpp"
#include "common/stop.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "results/results.hpp"

#include <cinttypes>
#include <cstring>

int32_t current_word = 0;

int64_t next_word(int32_t word, int32_t divisor) {
    return static_cast<int64_t>(word) + word / divisor;
}

sweep_tally tally;

namespace {

bool write_failed = false;
// How many points gave each reply word: static, so that the loop allocates
// nothing.
long reply_counts[1 << 16];

// Shows and records a point that has run. False when its record could not
// be written.
bool record_point(std::FILE *results, const point_reading &point) {
    double frequency = word_hz(point.word);
    show_point(frequency, point.value.level_dbm);
    if (!write_record(results, frequency, point.value.level_dbm, point.value.overflow)) {
        // The run's failure: nothing more reaches the port, points already
        // handed over are let go.
        write_failed = true;
        link_fail(status_file,
                  ("Can't write " + shortened(results_name ? results_name : "", 600)).c_str());
        return false;
    }
    if (tally.points == 0)
        tally.first_reply = point.reply;
    tally.same = tally.same && (tally.points == 0 || point.reply == tally.first_reply);
    long count = ++reply_counts[point.reply & 0xFFFF];
    if (count > tally.most_count) {
        tally.most_count = count;
        tally.most_reply = point.reply;
    }
    tally.timed_out = tally.timed_out && point.first_late && point.second_late;
    ++tally.points;
    return true;
}

} // namespace

bool measure_point(std::FILE *results, int32_t word) {
    port_batch batch;
    size_t second = build_point(batch, word);
    run_batch(batch);
    point_reading point;
    return !link_failure() && point_of(batch, second, word, &point) && record_point(results, point);
}

bool run_sweep(std::FILE *results) {
    tally = sweep_tally();
    write_failed = false;
    std::memset(reply_counts, 0, sizeof reply_counts);
    converter_start();
    port_forget_busy(); // the points' own waits tell

    current_word = start_word;
    int32_t word = start_word; // the next to hand over
    bool more = !stop_signal && !link_failure() && word < end_word;
    measure_points(
        [&](int32_t *next) {
            if (!more)
                return false;
            *next = word;
            int64_t after = next_word(word, step_divisor);
            if (after >= end_word)
                more = false;
            else
                word = static_cast<int32_t>(after);
            return true;
        },
        [&](const point_reading &point) {
            current_word = point.word;
            return record_point(results, point);
        });
    if (write_failed)
        return false;
    if (stop_signal || link_failure() || tally.points < 3 || port_replies_fixed())
        return true;
    // Every record stands, but readings that cannot be real are not passed
    // off as a good sweep. A converter whose busy line never showed was read
    // before its conversions ended.
    if (!port_busy_seen())
        std::fprintf(stderr,
                     "busy never showed during the sweep: readings may have been taken before "
                     "the conversion ended (%s)\n",
                     port_busy_line());
    if (tally.timed_out)
        std::fputs("every ready wait timed out: is the instrument on and connected?\n", stderr);
    else if (tally.same)
        std::fprintf(stderr,
                     "every reading was the same (reply 0x%04" PRIX32
                     "): is the instrument on and connected?\n",
                     tally.first_reply);
    else if (tally.most_count * 10 >= tally.points * 9)
        std::fprintf(stderr,
                     "%ld of %ld readings were the same (reply 0x%04" PRIX32
                     ", %.3f dBm): is the instrument on and connected? A flat response, or a "
                     "level at the detector's floor, reads so too\n",
                     tally.most_count, tally.points, tally.most_reply,
                     decode_reply(tally.most_reply).level_dbm);
    return true;
}
