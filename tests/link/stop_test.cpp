// A stop at every access of a low-band point and of an ordinary one, on the
// simulated instrument, through the USB adapter and through the GPIO lines:
// the instrument never takes an edge it should not (its protocol check), the
// lines end idle, and the results hold exactly the points that were whole.
#include "app/sweep.hpp"
#include "common/stop.hpp"
#include "link/fake_sys.hpp"
#include "link/gpio_standin.hpp"
#include "link/stop_plan.hpp"
#include "link/test_link.hpp"
#include "run_program.hpp"
#ifdef TALVIK_TEST_FTDI
#include "link/ftdi_chip.hpp"
#endif

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The simulated instrument reached an access at a time, a converter's
// conversion taking 20 us of real time, so that a wait cut short shows.
sim_instrument stepping;

void *stepping_open(const char *, const port_notes &, char *reason, size_t size) {
    stepping.reset();
    return stepping.configure("busy=20", reason, size) ? &stepping : nullptr;
}
bool stepping_close(void *, char *, size_t) { return true; }
bool stepping_set(void *, uint8_t value, port_fault *) {
    stepping.write(value);
    the_stop_plan.access(stepping.lines());
    return true;
}
bool stepping_get(void *, uint8_t *value, port_fault *) {
    *value = stepping.read();
    the_stop_plan.access(stepping.lines());
    return true;
}
const port_backend stepping_port = {
    .name = "stepping",
    .open = stepping_open,
    .close = stepping_close,
    .set_data = stepping_set,
    .get_status = stepping_get,
};

struct way {
    const char *name;
    void (*reset)();
    const char *setting; // null: the stepping simulator
    sim_instrument *instrument;
    // Points go ahead whole: one already handed over when the stop comes
    // runs whole, its waits kept, and is a point like any other.
    bool streams;
};

const way ways[] = {
    {"simulator", [] {}, nullptr, &stepping, false},
#ifdef TALVIK_TEST_FTDI
    {"adapter",
     [] {
         ftdi_standin::settings s;
         s.options = "busy=0";
         ftdi_standin::reset(s);
     },
     "ftdi", &ftdi_standin::instrument, true},
#endif
#ifdef TALVIK_TEST_GPIO
    {"gpio",
     [] {
         fake_sys::reset();
         gpio_standin::settings s;
         s.options = "busy=20";
         gpio_standin::reset(s);
     },
     "gpio", &gpio_standin::instrument, false},
#endif
};

// A trace's accesses without their times, a run of equal ones as one: a
// ready wait polls as often as the converter takes. Without the values read
// where a stop may cut a wait: the exchanges after it read what they may.
std::string accesses_of(const std::string &trace, bool values) {
    std::string out, last;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(' ');
        std::string access = at == std::string::npos ? line : line.substr(at + 1);
        if (!values && access[0] == 'R')
            access = "R";
        if (access != last)
            out += access + "\n";
        last = access;
    }
    return out;
}

// A sweep of two points, 60 kHz (low band: a delay after the load) and
// 63 kHz; its records, its status at close, its trace where the way has one.
struct outcome {
    std::vector<std::string> records;
    int status;
    int faults;
    uint8_t lines;
    int commands; // the instrument took
    std::string trace;
};

outcome sweep(const way &w, const temp_dir &dir) {
    w.reset();
    outcome o{};
    std::string path = dir.file("t.txt");
    {
        auto link = w.setting ? std::make_unique<test_link>(w.setting, path.c_str())
                              : std::make_unique<test_link>(&stepping_port, "");
        EXPECT_TRUE(*link) << link->error.text;
        sweep_settings band(2576980, 2800000, 20);
        std::FILE *file = std::tmpfile();
        std::fflush(stdout);
        int saved = dup(1), null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        run_sweep(file);
        std::fflush(stdout);
        dup2(saved, 1);
        close(null);
        close(saved);
        o.status = link->close();
        std::rewind(file);
        char line[200];
        while (std::fgets(line, sizeof line, file))
            o.records.push_back(line);
        std::fclose(file);
    }
    stop_signal = 0;
    o.faults = w.instrument->faults();
    o.lines = w.instrument->lines();
    o.commands = w.instrument->commands();
    if (w.setting)
        o.trace = accesses_of(read_file(path), w.streams);
    return o;
}

// The selects a trace shows: the converter commands that reached the lines.
int commands_in(const std::string &trace) {
    int n = 0;
    bool selected = false;
    for (size_t at = 0; (at = trace.find("W ", at)) != std::string::npos; ++at) {
        bool low = !(std::stoi(trace.substr(at + 2, 2), nullptr, 16) & conv_select_n_line);
        n += low && !selected;
        selected = low;
    }
    return n;
}

TEST(stop, at_any_access_of_a_point_the_point_is_finished_and_not_recorded) {
    temp_dir dir;
    for (const way &w : ways) {
        the_stop_plan.set(-1, 0);
        outcome whole = sweep(w, dir);
        ASSERT_EQ(whole.records.size(), 2u) << w.name;
        ASSERT_EQ(whole.faults, 0) << w.name;
        // How many accesses there are from the start-up's last release on.
        the_stop_plan.set(3, 1L << 40);
        sweep(w, dir);
        long accesses = the_stop_plan.since;
        ASSERT_GT(accesses, 2 * 256) << w.name;
        for (long k = 0; k < accesses; ++k) {
            the_stop_plan.set(3, k);
            outcome o = sweep(w, dir);
            // A point is whole, and kept, once its second exchange has begun.
            // (Ready waits poll as long as the converter takes: a run may
            // end before the k-th access.)
            size_t kept = the_stop_plan.raised
                              ? static_cast<size_t>(the_stop_plan.selects_when_raised / 2)
                              : 2;
            kept = kept < 2 ? kept : 2;
            SCOPED_TRACE(std::string(w.name) + " access " + std::to_string(k) + " of " +
                         std::to_string(accesses));
            ASSERT_EQ(o.faults, 0);
            ASSERT_EQ(o.lines | synth_load_n_line, idle_lines) << "the lines end idle";
            ASSERT_EQ(o.status, 0);
            // Streamed, a point handed over runs whole, but not the first one
            // (low band) where a stop during its load cut its delay short.
            bool delay_cut = the_stop_plan.raised && the_stop_plan.loading_when_raised &&
                             the_stop_plan.selects_when_raised == 0;
            if (w.streams && !delay_cut)
                ASSERT_GE(o.records.size(), kept);
            else
                ASSERT_EQ(o.records.size(), kept);
            ASSERT_LE(o.records.size(), 2u);
            for (size_t i = 0; i < o.records.size(); ++i)
                ASSERT_EQ(o.records[i], whole.records[i]);
            if (w.setting) {
                // The trace holds what the instrument took, as a whole sweep's
                // trace begins (streamed, what it read too), and the idle write last.
                ASSERT_EQ(commands_in(o.trace), o.commands);
                size_t idle = o.trace.rfind("W ");
                ASSERT_EQ(o.trace.substr(idle), "W FF\n");
                ASSERT_EQ(whole.trace.compare(0, idle, o.trace, 0, idle), 0) << o.trace;
            }
        }
    }
    the_stop_plan.set(-1, 0);
}

} // namespace
