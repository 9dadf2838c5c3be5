// Sweeps through an FTDI adapter: the backend over the chip's stand-in.
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "common/clock.hpp"
#include "common/stop.hpp"
#include "link/backends.hpp"
#include "link/ftdi_standin.hpp"
#include "link/link.hpp"
#include "link/port_sweep.hpp"
#include "link/stop_plan.hpp"
#include "link/test_link.hpp"
#include "probe/probe.hpp"
#include "tune/tune.hpp"
#include "results/results.hpp"
#include "run_program.hpp"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <sstream>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// Opens the adapter, closed again at once where it opened; the reason where
// it did not.
std::string open_ftdi(const char *device) {
    char reason[400] = "";
    void *self = ftdi_port.open(device, port_notes(), reason, sizeof reason);
    if (self)
        ftdi_port.close(self, reason, sizeof reason);
    return self ? "" : reason;
}

// The default sweep's points through a backend opened here; the results
// file's bytes, and the round trips its points took.
std::string default_sweep(const port_backend *backend, long *point_round_trips) {
    test_link link(backend, "");
    EXPECT_TRUE(link) << link.error.text;
    write_data(idle_lines);
    converter_start();
    long before = ftdi_standin::done.round_trips;
    std::FILE *file = std::tmpfile();
    for (int64_t word = 42949672; word < 429496726; word += word / 20)
        measure_point(file, static_cast<int32_t>(word));
    *point_round_trips = ftdi_standin::done.round_trips - before;
    write_data(idle_lines);
    EXPECT_EQ(link.close(), 0);
    std::rewind(file);
    char text[4096];
    std::string bytes(text, std::fread(text, 1, sizeof text, file));
    std::fclose(file);
    return bytes;
}

TEST(ftdi, a_default_sweep_reads_as_on_the_simulated_port_with_few_round_trips) {
    long unused = 0;
    std::string expected = default_sweep(&sim_port, &unused);
    struct {
        ftdi_standin::chip_kind type;
        long trips_per_point;
        int max_read;
    } chips[] = {{ftdi_standin::ft232h, 2, 1 << 30}, {ftdi_standin::ft2232h, 2, 1 << 30}, {ftdi_standin::ft232r, 3, 7}};
    for (auto c : chips) {
        ftdi_standin::settings s;
        s.type = c.type;
        s.max_read = c.max_read; // short reads on the FT232R
        ftdi_standin::reset(s);
        char reason[400] = "";
        void *self = ftdi_port.open("", port_notes(), reason, sizeof reason);
        ASSERT_NE(self, nullptr) << reason;
        EXPECT_EQ(ftdi_standin::done.mode, BITMODE_SYNCBB);
        EXPECT_EQ(ftdi_standin::done.mask, 0x3F);
        EXPECT_EQ(ftdi_standin::done.latency, 1);
        ftdi_port.close(self, reason, sizeof reason);
        ftdi_standin::reset(s);
        long trips = 0;
        EXPECT_EQ(default_sweep(&ftdi_port, &trips), expected) << c.type;
        EXPECT_LE(trips, 48 * c.trips_per_point) << c.type;
        EXPECT_FALSE(ftdi_standin::done.overflowed) << c.type;
        EXPECT_EQ(ftdi_standin::instrument.faults(), 0) << c.type;
        // Closed: bit-bang mode reset, the device let go.
        EXPECT_EQ(ftdi_standin::done.mode, BITMODE_RESET);
        EXPECT_FALSE(ftdi_standin::done.open);
    }
}

TEST(ftdi, refusals_name_the_reason_and_the_remedy) {
    ftdi_standin::settings s;
    s.present = false;
    ftdi_standin::reset(s);
    EXPECT_EQ(open_ftdi("").rfind("no FTDI device found; is an FT232R, FT232H or FT2232H", 0), 0u);
    EXPECT_EQ(open_ftdi("s:0x0403:0x6014:A1"),
              "no FTDI device matches s:0x0403:0x6014:A1; is it plugged in? (lsusb)");
    EXPECT_EQ(open_ftdi("usb1"), "not a device string: usb1 (use d:BUS/DEV, i:VID:PID, "
                                 "i:VID:PID:INDEX or s:VID:PID:SERIAL)");
    s.present = true;
    s.open_error = -4;
    ftdi_standin::reset(s);
    std::string denied = open_ftdi("i:0x0403:0x6014");
    EXPECT_EQ(denied.rfind("usb_open() failed; permission denied? install the udev rule", 0), 0u)
        << denied;
    EXPECT_NE(denied.find("udev/60-talvik-ftdi.rules"), std::string::npos);
    // Held by another program; a USB configuration that cannot be set (the
    // same -3 as no device: told apart by libftdi1's text).
    s.open_error = -5;
    ftdi_standin::reset(s);
    EXPECT_EQ(open_ftdi(""), "unable to claim usb device; another program holds the adapter");
    EXPECT_EQ(ftdi_standin::done.contexts, 0);
    s.open_error = -3;
    ftdi_standin::reset(s);
    EXPECT_EQ(open_ftdi("").rfind("unable to set usb configuration. Make sure the default FTDI "
                                  "driver is not in use; another driver may hold the adapter",
                                  0),
              0u);
    s.open_error = 0;
    s.type = ftdi_standin::ft232bm; // an older chip, found by its ids
    ftdi_standin::reset(s);
    EXPECT_EQ(open_ftdi("i:0x0403:0x6014"),
              "not an FT232R, FT232H or FT2232H; other FTDI chips are not supported");
    EXPECT_FALSE(ftdi_standin::done.open);
    // No refusal keeps libftdi1's context: each was freed.
    EXPECT_EQ(ftdi_standin::done.contexts, 0);
}

TEST(ftdi, an_adapter_that_fails_mid_sweep_ends_the_run) {
    ftdi_standin::settings s;
    s.fail_write_after = 3;
    ftdi_standin::reset(s);
    test_link link(&ftdi_port, "");
    ASSERT_TRUE(link);
    converter_start();
    // What the failed write drove of its exchange is not told.
    EXPECT_EQ(link.failure(), "Lost port ftdi: usb bulk write failed; the converter may be left "
                              "selected");
    EXPECT_EQ(link_failure()->status, 4);
}

TEST(ftdi_death, the_adapter_is_given_back_on_every_way_out) {
    // An open that fails once bit-bang mode is on leaves it off again.
    for (const char *step : {"baudrate", "latency"}) {
        ftdi_standin::settings s;
        s.fail_call = step;
        ftdi_standin::reset(s);
        EXPECT_NE(open_ftdi(""), "") << step;
        EXPECT_EQ(ftdi_standin::done.mode, BITMODE_RESET) << step;
        EXPECT_FALSE(ftdi_standin::done.open) << step;
    }
    // Lost mid-sweep with the device still there: mode reset, device closed.
    ftdi_standin::settings s;
    s.fail_read_after = 20;
    ftdi_standin::reset(s);
    {
        test_link link("ftdi");
        converter_start();
        EXPECT_EQ(link.failure(), "Lost port ftdi: usb bulk read failed");
        EXPECT_EQ(ftdi_standin::done.mode, 0);
        EXPECT_FALSE(ftdi_standin::done.open);
    }
    // A stop signal mid-sweep: the sweep ends, the lines go idle, the chip is reset.
    ftdi_standin::settings signalled;
    signalled.signal_after_us = 5000;
    ftdi_standin::reset(signalled);
    EXPECT_EXIT(
        {
            catch_stop_requests();
            test_link link("ftdi");
            std::FILE *file = std::tmpfile();
            run_sweep(file);
            std::fprintf(stderr, "stopped at %ld of 48 points, ", tally.points);
            int status = link.close();
            std::fprintf(stderr, "mode %d, open %d, pins %02X, status %d\n",
                         ftdi_standin::done.mode, ftdi_standin::done.open,
                         ftdi_standin::done.latch, status);
            std::exit(stop_signal);
        },
        ::testing::ExitedWithCode(SIGTERM), "stopped at [1-3]?[0-9] of 48 points, mode 0, open 0, pins 3F, status 0\n$");
    // A reset that fails at close is a lost port.
    ftdi_standin::settings r;
    r.fail_call = "reset";
    ftdi_standin::reset(r);
    test_link link("ftdi");
    EXPECT_EQ(link.close(), 4);
    EXPECT_STREQ(link.error.text,
                 "Lost port ftdi: cannot leave bit-bang mode: USB device unavailable");
}

TEST(ftdi, a_lost_adapter_leaves_in_the_trace_only_what_reached_the_lines) {
    temp_dir dir;
    std::string trace = dir.file("t.txt");
    ftdi_standin::settings s;
    s.fail_read_after = 11; // the idle byte, then 10 bytes of the exchange
    ftdi_standin::reset(s);
    {
        test_link link("ftdi", trace.c_str());
        converter_exchange(measure_command);
        EXPECT_EQ(link.failure(), "Lost port ftdi: usb bulk read failed");
    }
    // The idle write at open, then the exchange's first 10 bytes: their 9
    // writes and the 2 reads answered by them, and the write of the last.
    std::string kinds;
    std::string text = read_file(trace);
    for (size_t at = 0; (at = text.find(' ', at)) != std::string::npos; at = text.find('\n', at))
        kinds += text[++at];
    EXPECT_EQ(kinds, "WWWWWRWWWRWWW") << text;
    EXPECT_EQ(text.substr(text.size() - 5), "W AF\n") << text; // no idle write after
    // An FT232R takes a load sent at once in two writes: the second lost,
    // the trace keeps the first one's 95 writes after the idle one.
    s = ftdi_standin::settings();
    s.type = ftdi_standin::ft232r;
    s.fail_write_after = 3; // the open's idle byte, the link's, the load's first part
    ftdi_standin::reset(s);
    {
        test_link link("ftdi", trace.c_str());
        load_synthesizer(0x12345678, control_byte);
        EXPECT_NE(link.failure(), "");
    }
    text = read_file(trace);
    size_t writes = 0;
    for (size_t at = 0; (at = text.find(" W ", at)) != std::string::npos; ++at)
        ++writes;
    EXPECT_EQ(writes, 1u + 95u) << text;
}

TEST(ftdi, the_busy_line_reads_inverted_and_each_read_has_its_own_sample) {
    temp_dir dir;
    std::string trace = dir.file("t.txt");
    ftdi_standin::settings s;
    s.options = "busy=100"; // 100 us: a few read-aheads' worth
    ftdi_standin::reset(s);
    test_link link("ftdi", trace.c_str());
    EXPECT_EQ(read_status() & status_busy, 0u) << "at rest the converter is ready";
    converter_exchange(measure_command);
    EXPECT_FALSE(exchange_timed_out);
    EXPECT_EQ(link.close(), 0);
    EXPECT_EQ(ftdi_standin::done.unread_at_reset, 0) << "every byte driven before the reset";
    // The reads after the exchange: busy for a while, then ready, never back.
    std::string text = read_file(trace), reads;
    for (size_t at = text.rfind(" W EF"); (at = text.find(" R ", at + 1)) != std::string::npos;)
        reads += text.substr(at + 3, 2) == "80" ? 'B' : text.substr(at + 3, 2) == "00" ? 'r' : '?';
    EXPECT_GE(reads.size(), 3u);
    EXPECT_EQ(reads.find_first_not_of('B'), reads.size() - 1) << reads;
    EXPECT_EQ(reads.back(), 'r') << reads;
}

TEST(ftdi, a_converter_that_stays_busy_through_the_adapter_ends_the_run) {
    ftdi_standin::settings s;
    s.options = "busy=forever";
    ftdi_standin::reset(s);
    test_link link("ftdi");
    converter_start();
    EXPECT_EQ(link.failure(), "Converter not ready - check the instrument");
    EXPECT_EQ(link.close(), 0);
    EXPECT_EQ(ftdi_standin::done.mode, BITMODE_RESET) << "given back all the same";
}

// The default sweep through run_sweep, streamed; the results file's bytes.
std::string streamed_sweep(const ftdi_standin::settings &s, const std::string &path = "") {
    ftdi_standin::reset(s);
    return default_sweep_through("ftdi", path);
}

std::string expected_sweep() {
    long unused = 0;
    return default_sweep(&sim_port, &unused);
}

TEST(ftdi_stream, a_streamed_sweep_reads_as_the_parallel_port_on_every_chip) {
    std::string expected = expected_sweep();
    for (ftdi_standin::chip_kind type : {ftdi_standin::ft232h, ftdi_standin::ft2232h, ftdi_standin::ft232r}) {
        ftdi_standin::settings s;
        s.type = type;
        s.max_read = type == ftdi_standin::ft232r ? 7 : 1 << 30; // short reads on the FT232R
        EXPECT_EQ(streamed_sweep(s), expected) << type;
        EXPECT_EQ(ftdi_standin::instrument.faults(), 0) << type;
        EXPECT_EQ(ftdi_standin::done.spoiled, 0) << type;
        EXPECT_FALSE(ftdi_standin::done.overflowed) << type;
        // Start-up and close included: nothing like a write or a round trip a point.
        EXPECT_LT(ftdi_standin::done.transfers, 48 / 2) << type;
        EXPECT_LT(ftdi_standin::done.round_trips, 48 / 2) << type;
        EXPECT_EQ(ftdi_standin::done.mode, BITMODE_RESET);
        EXPECT_EQ(ftdi_standin::done.unread_at_reset, 0);
    }
}

TEST(ftdi_stream, conversions_slower_than_measured_are_measured_again) {
    std::string expected = expected_sweep();
    struct {
        ftdi_standin::chip_kind type;
        int every, us;
    } cases[] = {{ftdi_standin::ft232h, 7, 400}, {ftdi_standin::ft232r, 7, 400},
                 // Slower than the widest window: the stream comes to rest
                 // often, and only ever between whole points.
                 {ftdi_standin::ft232h, 3, 6000}, {ftdi_standin::ft232r, 2, 3000}};
    for (auto c : cases) {
        ftdi_standin::settings s;
        s.type = c.type;
        s.slow_every = c.every; // against the 5 us seen at start-up
        s.slow_us = c.us;
        EXPECT_EQ(streamed_sweep(s), expected) << c.type << " " << c.us;
        EXPECT_EQ(ftdi_standin::instrument.faults(), 0) << "no frame cut short " << c.us;
    }
}

// The converter commands a trace shows: each begins with its select (D6)
// taken low.
int commands_in(const std::string &trace) {
    int n = 0;
    bool selected = false;
    for (size_t at = 0; (at = trace.find(" W ", at)) != std::string::npos; ++at) {
        bool low = !(std::stoi(trace.substr(at + 3, 2), nullptr, 16) & 0x40);
        n += low && !selected;
        selected = low;
    }
    return n;
}

TEST(ftdi_stream, the_trace_shows_every_access_that_reached_the_lines_replays_included) {
    std::string expected = expected_sweep();
    temp_dir dir;
    for (int every : {0, 7}) {
        std::string trace = dir.file("t" + std::to_string(every) + ".txt");
        ftdi_standin::settings s;
        s.slow_every = every; // slower than the windows: points run again
        s.slow_us = 400;
        ftdi_standin::reset(s);
        std::string results;
        {
            test_link link("ftdi", trace.c_str());
            sweep_settings band(42949672, 429496729, 20);
            std::FILE *file = std::tmpfile();
            EXPECT_TRUE(run_sweep(file));
            EXPECT_EQ(link.close(), 0);
            std::rewind(file);
            char text[4096];
            results.assign(text, std::fread(text, 1, sizeof text, file));
            std::fclose(file);
        }
        EXPECT_EQ(results, expected) << every;
        std::string text = read_file(trace);
        // 3 start-up words and 2 a point, and where points ran again, theirs.
        EXPECT_EQ(commands_in(text), ftdi_standin::instrument.commands()) << every;
        if (every)
            EXPECT_GT(ftdi_standin::instrument.commands(), 3 + 2 * 48) << "no point ran again";
        else
            EXPECT_EQ(ftdi_standin::instrument.commands(), 3 + 2 * 48);
    }
}

// A trace's accesses without their times: each write's value, each read
// (a ready wait's poll among them) as R, with what it read where asked.
std::string accesses_of(const std::string &trace, bool values = false) {
    std::string out;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(' ');
        if (at != std::string::npos && line.compare(at, 3, " W ") == 0)
            out += "W" + line.substr(at + 3, 2) + " ";
        else if (at != std::string::npos && line.compare(at, 3, " R ") == 0)
            out += values ? "R" + line.substr(at + 3, 2) + " " : "R ";
    }
    return out;
}

// Streamed with no point run again, the trace reads as the parallel port's:
// the same writes in the same order, each ready wait as the one read that
// found the converter ready.
TEST(ftdi_stream, a_streamed_trace_reads_as_the_parallel_ports) {
    temp_dir dir;
    std::string traces[2];
    for (int adapter : {0, 1}) {
        std::string path = dir.file("t" + std::to_string(adapter) + ".txt");
        ftdi_standin::reset(ftdi_standin::settings());
        {
            test_link link(adapter ? "ftdi" : "sim:busy=0", path.c_str());
            sweep_settings band(42949672, 55834574, 20); // 1 to 1.3 MHz
            std::FILE *file = std::tmpfile();
            EXPECT_TRUE(run_sweep(file));
            std::fclose(file);
        }
        // From the first load on: the start-up's polls, sent at once, wait
        // as long as each converter takes.
        std::string all = accesses_of(read_file(path));
        traces[adapter] = all.substr(std::min(all.find("WF0 "), all.find("WF1 ")));
    }
    EXPECT_GT(traces[0].size(), 1000u);
    EXPECT_EQ(traces[1], traces[0]);
}

// A default sweep through a link with a trace, streamed where the port
// streams: its records, and the trace's accesses (values read included)
// from the first load on.
struct traced_sweep {
    int records = 0;
    int commands = 0; // in the whole trace
    std::string writes; // every value written, start-up included
    std::string accesses;
    std::string last; // the trace's last line, its time left out
};
traced_sweep sweep_traced(const char *setting, const std::string &path) {
    traced_sweep out;
    std::remove(path.c_str());
    {
        test_link link(setting, path.c_str());
        if (!link)
            return out; // the adapter failed as it opened
        sweep_settings band(42949672, 429496729, 20);
        std::FILE *file = std::tmpfile();
        std::fflush(stdout);
        int saved = dup(1), null = open("/dev/null", O_WRONLY); // the live lines
        dup2(null, 1);
        run_sweep(file);
        std::fflush(stdout);
        dup2(saved, 1);
        close(null);
        close(saved);
        link.close();
        std::rewind(file);
        for (int c; (c = std::fgetc(file)) != EOF;)
            out.records += c == '\n';
        std::fclose(file);
    }
    stop_signal = 0;
    std::string text = read_file(path);
    out.commands = commands_in(text);
    for (size_t at = 0; (at = text.find(" W ", at)) != std::string::npos; ++at)
        out.writes += static_cast<char>(std::stoi(text.substr(at + 3, 2), nullptr, 16));
    size_t line = text.rfind('\n', text.size() - 2);
    out.last = text.substr(text.find(' ', line + 1));
    std::string all = accesses_of(text, true);
    size_t load = std::min(all.find("WF0 "), all.find("WF1 "));
    out.accesses = load == std::string::npos ? "" : all.substr(load);
    return out;
}

// A stop at any access of the stream, a batch's boundaries among them: the
// points handed over run whole, the trace holds them as the parallel port
// gives them, then the idle write, and nothing the instrument did not take.
TEST(ftdi_stream, a_stopped_streams_trace_holds_the_whole_points_it_drove) {
    temp_dir dir;
    std::string path = dir.file("t.txt");
    the_stop_plan.set(-1, 0);
    traced_sweep whole = sweep_traced("sim:busy=0", path);
    ASSERT_EQ(whole.records, 48);
    int stops = 0;
    for (int release = 3; release < 100; release += 4)
        for (long k = 0; k < 2000; k += 582) {
            ftdi_standin::reset(ftdi_standin::settings());
            the_stop_plan.set(release, k);
            traced_sweep got = sweep_traced("ftdi", path);
            stops += the_stop_plan.raised;
            SCOPED_TRACE("release " + std::to_string(release) + " access " + std::to_string(k));
            ASSERT_EQ(ftdi_standin::instrument.faults(), 0);
            // Every command the instrument took is in the trace, and each
            // point whose commands are there is recorded.
            ASSERT_EQ(got.commands, ftdi_standin::instrument.commands());
            ASSERT_EQ(got.records, (got.commands - 3) / 2);
            // The points as the parallel port gives them, then the idle write.
            ASSERT_EQ(got.last, " W FF\n");
            size_t points = got.accesses.empty() ? 0 : got.accesses.size() - 4;
            ASSERT_EQ(whole.accesses.compare(0, points, got.accesses, 0, points), 0);
        }
    the_stop_plan.set(-1, 0);
    EXPECT_GT(stops, 0);
}

// Lines as the instrument tells them apart (the load line is the select's
// on the adapter, the spare not wired), a run of equal ones as one.
std::string got_lines(const std::string &values) {
    std::string out;
    for (char v : values) {
        char line = static_cast<char>(v & 0x77);
        if (out.empty() || out.back() != line)
            out += line;
    }
    return out;
}

// The loads a trace's accesses show: each raises the update line.
int loads_in(const std::string &accesses) {
    int n = 0;
    bool high = true;
    for (size_t at = 0; (at = accesses.find('W', at)) != std::string::npos; ++at) {
        bool now = std::stoi(accesses.substr(at + 1, 2), nullptr, 16) & synth_update_line;
        n += now && !high;
        high = now;
    }
    return n;
}

// A loss anywhere in the stream, a write's or a read's boundary among them:
// the trace holds only what reached the lines, as the parallel port gives it,
// and every point recorded. Behind a conversion slower than its window, the
// window that read busy is where it ends, what follows being suspect, unless
// the point was run again.
TEST(ftdi_stream, a_lost_streams_trace_holds_only_what_reached_the_lines) {
    temp_dir dir;
    std::string path = dir.file("t.txt");
    traced_sweep whole = sweep_traced("sim:busy=0", path);
    int losses = 0, busy_ends = 0;
    for (int slow : {0, 20})
        for (int writes = 0; writes < 2; ++writes)
            // Samples: each of the start-up's, sent at once; then some 290
            // a point. The first slow conversion is the 20th, point 9's first.
            for (int n = 1; n < (writes ? 12 : slow ? 3500 : 14000);
                 n += writes ? 1 : n < 200 && !slow ? 3 : slow ? 97 : 197) {
                ftdi_standin::settings s;
                s.slow_every = slow; // the first exchange's conversion of every tenth point
                s.slow_us = 400;
                (writes ? s.fail_write_after : s.fail_read_after) = n;
                ftdi_standin::reset(s);
                traced_sweep got = sweep_traced("ftdi", path);
                SCOPED_TRACE(std::to_string(slow) + (writes ? " writes " : " samples ") +
                             std::to_string(n));
                losses += got.records < 48;
                // Its writes are the lines the instrument saw before the loss,
                // up to the last sample read back at least, short of that
                // only at a window that read busy.
                const ftdi_standin::record &d = ftdi_standin::done;
                std::string lines = got_lines(got.writes);
                std::string clocked = got_lines(d.lines_clocked.substr(
                    0, static_cast<size_t>(d.clocked_at_failure < 0 ? d.lines_clocked.size()
                                                                    : d.clocked_at_failure)));
                std::string known = got_lines(
                    d.lines_clocked.substr(0, static_cast<size_t>(d.samples_read)));
                ASSERT_EQ(clocked.compare(0, lines.size(), lines), 0);
                if (!slow) {
                    ASSERT_GE(lines.size(), known.size());
                }
                size_t same = 0;
                while (same < got.accesses.size() && same < whole.accesses.size() &&
                       got.accesses[same] == whole.accesses[same])
                    ++same;
                if (same == got.accesses.size())
                    continue;
                // Past a busy window only with the point run again: a load after it.
                ASSERT_NE(slow, 0) << got.accesses.substr(same);
                ASSERT_GT(loads_in(got.accesses), loads_in(got.accesses.substr(0, same)))
                    << got.accesses.substr(same);
                busy_ends += got.records < 48;
            }
    EXPECT_GT(losses, 100);
    EXPECT_GT(busy_ends, 0);
}

TEST(ftdi, reads_in_a_row_each_get_a_byte_of_their_own) {
    ftdi_standin::reset(ftdi_standin::settings());
    test_link link("ftdi");
    port_batch batch;
    batch.write(idle_lines);
    for (int i = 0; i < 3; ++i)
        batch.read();
    long before = ftdi_standin::done.bytes;
    run_batch(batch);
    // The write, a repeat after each read (the next byte's sample answers
    // it), and the samples read ahead.
    EXPECT_EQ(ftdi_standin::done.bytes - before, 1 + 3 + 32);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(batch.value(static_cast<size_t>(i)) & status_busy, 0) << i;
    EXPECT_EQ(link.failure(), "");
}

TEST(ftdi_stream, a_results_file_that_fails_ends_the_stream_at_once) {
    temp_dir dir;
    std::string trace = dir.file("t.txt");
    ftdi_standin::reset(ftdi_standin::settings());
    static char room[3 * 28 + 10]; // three records, then a fourth cut short
    const char *name_before = results_name;
    results_name = "r.txt";
    {
        test_link link("ftdi", trace.c_str());
        sweep_settings band(42949672, 429496729, 20);
        std::FILE *file = fmemopen(room, sizeof room, "wb");
        std::setvbuf(file, nullptr, _IONBF, 0);
        EXPECT_FALSE(run_sweep(file));
        std::fclose(file);
        EXPECT_EQ(tally.points, 3);
        EXPECT_EQ(link.failure(), "Can't write r.txt");
        ASSERT_NE(link_failure(), nullptr);
        EXPECT_EQ(link_failure()->status, 1);
        EXPECT_EQ(link.close(), 0);
    }
    results_name = name_before;
    // The start-up words and the four points run before the failure was
    // known: none of those handed over after it.
    EXPECT_EQ(commands_in(read_file(trace)), 3 + 2 * 4);
    EXPECT_EQ(ftdi_standin::done.mode, BITMODE_RESET);
}

TEST(ftdi_stream, a_sweep_after_an_abandoned_wait_streams_whole) {
    ftdi_standin::reset(ftdi_standin::settings());
    test_link link("ftdi");
    converter_start();
    tune_settings settings;
    settings.points = 101;
    auto words = sweep_words(settings);
    std::vector<tune_point> points(words.size());
    // A quit mid-sweep abandons the wait under way.
    static int checks;
    checks = 0;
    wait_check = [] { return ++checks < 40; };
    size_t cut = stream_tune_sweep(words, points);
    wait_check = nullptr;
    EXPECT_LT(cut, words.size());
    // The next sweep, on the same link, runs to its end.
    EXPECT_EQ(stream_tune_sweep(words, points), words.size());
    EXPECT_EQ(stream_tune_sweep(words, points), words.size());
    EXPECT_EQ(link.failure(), "");
    EXPECT_EQ(ftdi_standin::instrument.faults(), 0);
}

TEST(ftdi_stream, an_adapter_unplugged_mid_stream_leaves_a_clean_prefix) {
    std::string expected = expected_sweep();
    temp_dir dir;
    std::string path = dir.file("r.txt");
    ftdi_standin::settings s;
    s.fail_read_after = 5000; // samples: some 15 points in
    ftdi_standin::reset(s);
    std::string failure;
    default_sweep_through("ftdi", path, &failure);
    EXPECT_EQ(failure, "Lost port ftdi: usb bulk read failed");
    std::string kept = read_file(path);
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), expected.size());
    EXPECT_EQ(expected.compare(0, kept.size(), kept), 0) << kept;
}

TEST(ftdi_stream, low_band_points_and_live_sweeps_stream_too) {
    // Below 62.5 kHz each point waits on the host's clock after its load.
    auto sim = std::make_unique<test_link>(&sim_port, "");
    sweep_settings band(42949, 4294967, 2); // from 1 kHz: delays of 5 ticks and less
    std::FILE *file = std::tmpfile();
    run_sweep(file);
    std::rewind(file);
    char text[4096];
    std::string expected(text, std::fread(text, 1, sizeof text, file));
    std::fclose(file);
    sim.reset();
    ftdi_standin::reset(ftdi_standin::settings());
    auto adapter = std::make_unique<test_link>("ftdi");
    file = std::tmpfile();
    run_sweep(file);
    EXPECT_EQ(adapter->close(), 0);
    adapter.reset();
    std::rewind(file);
    EXPECT_EQ(std::string(text, std::fread(text, 1, sizeof text, file)), expected);
    std::fclose(file);
    // At 4 Hz a point waits 1.25 s on the host's clock, longer than the
    // adapter is given to answer: that wait is not the adapter's silence.
    ftdi_standin::settings tails;
    tails.empty_before_tail = true;
    ftdi_standin::reset(tails);
    adapter = std::make_unique<test_link>("ftdi");
    {
        sweep_settings slow(172, 180, 20); // one point, 4.0 Hz
        file = std::tmpfile();
        run_sweep(file);
        EXPECT_EQ(adapter->failure(), "");
        EXPECT_EQ(std::ftell(file), 31L) << "the point recorded";
        std::fclose(file);
    }
    EXPECT_EQ(adapter->close(), 0);
    adapter.reset();
    // talvik-tune's sweep: each point as measured one at a time.
    tune_settings settings;
    settings.points = 51;
    auto words = sweep_words(settings);
    std::vector<tune_point> one_by_one(words.size()), streamed(words.size());
    sim = std::make_unique<test_link>(&sim_port, "");
    converter_start();
    for (size_t i = 0; i < words.size(); ++i)
        one_by_one[i] = measure_tune_point(words[i], 1);
    sim.reset();
    ftdi_standin::reset(ftdi_standin::settings());
    adapter = std::make_unique<test_link>("ftdi");
    converter_start();
    EXPECT_EQ(stream_tune_sweep(words, streamed), words.size());
    EXPECT_EQ(adapter->close(), 0);
    for (size_t i = 0; i < words.size(); ++i)
        EXPECT_EQ(streamed[i].level, one_by_one[i].level) << i;
}

TEST(ftdi_probe, the_probe_gives_the_adapters_timing) {
    ftdi_standin::reset(ftdi_standin::settings());
    probe_report report = run_probe("ftdi");
    EXPECT_EQ(probe_status(report), 0) << probe_text(report);
    std::string text = probe_text(report);
    EXPECT_NE(text.find("  timing                bit-bang rate "), std::string::npos) << text;
    EXPECT_NE(text.find("one USB round trip "), std::string::npos);
    EXPECT_NE(text.find("ok    idle lines            data lines read 0xFF"), std::string::npos)
        << text;
    EXPECT_EQ(ftdi_standin::done.mode, 0) << "given back";
    // The busy pin not connected: named as the adapter names it.
    ftdi_standin::settings open_busy;
    open_busy.busy_open = true;
    ftdi_standin::reset(open_busy);
    report = run_probe("ftdi");
    EXPECT_EQ(probe_status(report), 1);
    EXPECT_NE(probe_text(report).find("the busy line (AD7) never shows while a conversion runs"),
              std::string::npos)
        << probe_text(report);
    // The bit-bang rate on the chip's own clock: a byte a microsecond as
    // asked, and a clock half as fast told.
    probe_clock = [] { return static_cast<int64_t>(ftdi_standin::done.virtual_us); };
    for (double us : {1.0, 2.0}) {
        ftdi_standin::settings rate;
        rate.us_per_byte = us;
        ftdi_standin::reset(rate);
        report = run_probe("ftdi");
        std::string timing = probe_text(report);
        timing = timing.substr(timing.find("  timing  "));
        size_t at = timing.find("bit-bang rate ");
        ASSERT_NE(at, std::string::npos) << timing;
        EXPECT_NEAR(std::stod(timing.substr(at + 14)), 1 / us, 0.02) << timing;
        EXPECT_EQ(timing.find("the adapter clocks at other than a byte a microsecond") !=
                      std::string::npos,
                  us != 1.0)
            << timing;
    }
    probe_clock = micros_since_start;
    // An adapter lost during the checks: the probe says so and goes on to
    // its report.
    ftdi_standin::settings s;
    s.fail_read_after = 3000;
    ftdi_standin::reset(s);
    report = run_probe("ftdi");
    EXPECT_EQ(probe_status(report), 1);
    EXPECT_NE(probe_text(report).find("FAIL  port                  lost: usb bulk read failed"),
              std::string::npos)
        << probe_text(report);
    EXPECT_FALSE(ftdi_standin::done.open);
    // Lost as the outputs are read back: lost, not "cannot read its outputs".
    for (int after : {1, 5}) {
        s.fail_read_after = after;
        ftdi_standin::reset(s);
        report = run_probe("ftdi");
        std::string text = probe_text(report);
        EXPECT_EQ(text.find("cannot read its outputs back"), std::string::npos) << text;
        EXPECT_NE(text.find("FAIL  port                  lost: usb bulk read failed"),
                  std::string::npos)
            << text;
    }
    // An adapter that cannot leave bit-bang mode at the end is told.
    ftdi_standin::settings r;
    r.fail_call = "reset";
    ftdi_standin::reset(r);
    testing::internal::CaptureStderr();
    report = run_probe("ftdi");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Lost port ftdi: cannot leave bit-bang mode: USB device unavailable\n");
    EXPECT_EQ(probe_status(report), 4) << "as talvik ends";
    EXPECT_NE(probe_text(report).find("FAIL  port                  not given back: Lost port "
                                      "ftdi: cannot leave bit-bang mode"),
              std::string::npos)
        << probe_text(report);
    EXPECT_NE(probe_json(report).find("\"result\": \"fail\", \"measured\": {}, \"text\": \"not "
                                      "given back: "),
              std::string::npos)
        << probe_json(report);
    // Lost during the checks, and then not given back either.
    r.fail_read_after = 200;
    ftdi_standin::reset(r);
    report = run_probe("ftdi");
    EXPECT_EQ(probe_status(report), 4);
    EXPECT_NE(probe_text(report).find("lost: usb bulk read failed; cannot leave bit-bang mode"),
              std::string::npos)
        << probe_text(report);
}

} // namespace

namespace {

// talvik itself on the chip's stand-in, set up as TALVIK_STANDIN says.
run_result talvik_on_adapter(const temp_dir &dir, std::vector<std::string> args,
                             std::vector<std::string> env) {
    run_options o;
    o.program = TALVIK_ON_ADAPTER_BIN;
    o.args = std::move(args);
    o.dir = dir.path;
    o.env = std::move(env);
    o.env.push_back("TALVIK_PORT=ftdi");
    return run_talvik(o);
}

TEST(ftdi_run, every_failure_is_told_and_a_lost_port_ends_with_4) {
    temp_dir dir;
    // Lost mid-stream: the message, 4, and the points before it kept.
    auto r = talvik_on_adapter(dir, {"r.txt"}, {"TALVIK_STANDIN=fail_read_after=5000"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "Lost port ftdi: usb bulk read failed\n");
    std::string kept = read_file(dir.file("r.txt"));
    EXPECT_GT(kept.size(), 19u + 28u);
    EXPECT_EQ(kept.substr(kept.size() - 2), "\r\n");
    // The trace fails first, then the adapter as the lines go idle: both
    // told, and the loss's status.
    r = talvik_on_adapter(dir, {"r.txt"},
                          {"TALVIK_STANDIN=fail_read_after=9000", "TALVIK_TRACE=/dev/full"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "Can't write trace file /dev/full: No space left on device\n"
                     "Lost port ftdi: usb bulk read failed\n");
    // An adapter that cannot leave bit-bang mode: told on every way out; its
    // status where nothing failed before.
    r = talvik_on_adapter(dir, {"r.txt"}, {"TALVIK_STANDIN=fail_call=reset"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "Lost port ftdi: cannot leave bit-bang mode: USB device unavailable\n");
    r = talvik_on_adapter(dir, {"r.txt", "5", "1"}, {"TALVIK_STANDIN=fail_call=reset"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Lost port ftdi: cannot leave bit-bang mode: USB device unavailable\n");
    // And a healthy adapter's sweep reads as the simulated port's, nothing
    // said: busy shows early in the ready windows, though never at their
    // end.
    r = talvik_on_adapter(dir, {"a.txt"}, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir.file("a.txt")), std::string(results_header) + expected_sweep());
    // Its busy pin not connected: said after the sweep, as the adapter names it.
    r = talvik_on_adapter(dir, {"b.txt"}, {"TALVIK_STANDIN=busy_open=1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "busy never showed during the sweep: readings may have been taken before the "
                     "conversion ended (AD7)\n");
}

} // namespace

namespace {

// A read that fails with the adapter still plugged in, at every point of a
// sweep: what was queued is clocked out, the frame under way completed, then
// the lines go idle and the chip is reset, never an edge the instrument takes.
TEST(ftdi_stream, a_failed_read_leaves_the_instrument_whole) {
    for (int after = 150; after < 3000; after += 41) {
        ftdi_standin::settings s;
        s.fail_read_after = after;
        ftdi_standin::reset(s);
        std::string failure;
        default_sweep_through("ftdi", "", &failure);
        EXPECT_EQ(failure, "Lost port ftdi: usb bulk read failed") << after;
        EXPECT_EQ(ftdi_standin::instrument.faults(), 0) << after;
        EXPECT_EQ(ftdi_standin::instrument.lines() | synth_load_n_line, idle_lines) << after;
        EXPECT_EQ(ftdi_standin::done.mode, 0) << after;
    }
    // Accesses sent at once, as talvik-tune and the probe send them: on an
    // FT232R a load goes in two writes, and a read fails with either part
    // driven, or within an exchange.
    for (int after = 1; after < 400; after += 3) {
        ftdi_standin::settings r;
        r.type = ftdi_standin::ft232r;
        r.fail_read_after = after;
        ftdi_standin::reset(r);
        {
            test_link link("ftdi");
            converter_start();
            for (int32_t word : {2147483, 42949672}) {
                load_synthesizer(word, control_byte);
                converter_exchange(measure_command);
                converter_exchange(measure_command);
            }
            EXPECT_EQ(link.failure(), "Lost port ftdi: usb bulk read failed") << after;
        }
        EXPECT_EQ(ftdi_standin::instrument.faults(), 0) << after;
        EXPECT_EQ(ftdi_standin::instrument.lines() | synth_load_n_line, idle_lines) << after;
    }
    // Gone in the middle of a load (the FT232R takes it in two writes, the
    // second fails): nothing more can be driven, and the message says so.
    ftdi_standin::settings s;
    s.type = ftdi_standin::ft232r;
    s.fail_write_after = 3; // the open's and the link's idle bytes, then the load's first part
    ftdi_standin::reset(s);
    test_link link("ftdi");
    load_synthesizer(0x12345678, control_byte);
    EXPECT_EQ(link.failure(), "Lost port ftdi: usb bulk write failed; the instrument may hold a "
                              "partly loaded or wrong word");
}

} // namespace

namespace {

// An asynchronous write that fails while reads still work ends the run with
// the write's own error, not with the silence that follows it.
TEST(ftdi_stream, a_failed_write_is_told_as_itself) {
    for (int after : {3, 4, 5, 6}) {
        ftdi_standin::settings s;
        s.fail_write_after = after;
        ftdi_standin::reset(s);
        std::string failure;
        default_sweep_through("ftdi", "", &failure);
        EXPECT_EQ(failure.rfind("Lost port ftdi: usb bulk write failed", 0), 0u)
            << after << ": " << failure;
    }
}

} // namespace
