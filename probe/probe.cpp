#include "probe/probe.hpp"

#include "common/clock.hpp"
#include "common/exit_status.hpp"
#include "common/text.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "measure/point.hpp"
#include "measure/words.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

int64_t (*probe_clock)() = micros_since_start;

namespace {

constexpr int32_t ready_bound_ticks = 100; // the probe's own ready wait
constexpr int conversions = 100;

// Where busy never shows, a conversion is given this long instead.
bool busy_unseen = false;
constexpr int64_t assumed_conversion_us = 2000;

// A lost port ends the checks, not the probe: the check under way when it
// went, and every one after, has nothing to say.
void keep(probe_report &report, const probe_finding &f) {
    if (!link_failure())
        report.checks.push_back(f);
}

std::string number(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string quoted(const std::string &text) { return json_string(text); }

// A figure for the JSON: null where it is not a number (the text says why).
std::string figure(const char *format, double value) {
    return std::isfinite(value) ? number(format, value) : "null";
}

probe_finding finding(const char *name) {
    probe_finding f;
    f.name = name;
    return f;
}

void skip(probe_finding &f, const char *because) {
    f.result = probe_result::skipped;
    f.measured = because;
}

// An exchange with no wait after it: the wait is the probe's own.
uint32_t exchange(uint32_t command) {
    port_batch batch;
    size_t at = add_exchange(batch, command);
    --batch.count; // its ready wait
    run_batch(batch);
    return reply_of(batch, at);
}

// Polls until ready within the probe's bound: whether it got ready, whether
// any read showed busy, and how long it took in microseconds.
struct wait_outcome {
    bool ready, busy_seen;
    double us;
};
wait_outcome wait_ready() {
    int64_t t0 = micros_since_start(), measured_from = probe_clock();
    int32_t start = tick_clock();
    wait_outcome w{false, false, 0};
    for (;;) {
        bool busy = read_status() & status_busy;
        w.busy_seen = w.busy_seen || busy;
        if (!busy) {
            w.ready = true;
            break;
        }
        if (tick_clock() - start > ready_bound_ticks)
            break;
    }
    if (busy_unseen)
        while (micros_since_start() - t0 < assumed_conversion_us) {
        }
    w.us = static_cast<double>(probe_clock() - measured_from);
    return w;
}

// What a reply word says, as a person reads it.
std::string reply_meaning(uint32_t reply) {
    reading_of_reply r = decode_reply(reply);
    if (r.overflow)
        return r.reading < 0 ? "below the range: the converter saturated low, as with no signal at all"
                             : "above the range: the converter saturated high";
    char text[64];
    std::snprintf(text, sizeof text, "reading %d, %.1f dBm", static_cast<int>(r.reading),
                  r.level_dbm);
    return text;
}

// One reading at the synthesizer's present word: the second of two
// exchanges, as a sweep takes it.
double reading_dbm(bool *ready) {
    exchange(measure_command);
    *ready = wait_ready().ready;
    uint32_t reply = exchange(measure_command);
    *ready = wait_ready().ready && *ready;
    return decode_reply(reply).level_dbm;
}

double mean_of(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

double deviation_of(const std::vector<double> &v) {
    double m = mean_of(v), sum = 0;
    for (double x : v)
        sum += (x - m) * (x - m);
    return v.size() > 1 ? std::sqrt(sum / static_cast<double>(v.size() - 1)) : 0;
}

const char *line_name(int bit) {
    static const char *const names[8] = {
        "D0 (pin 2 / AD0)", "D1 (pin 3 / AD1)", "D2 (pin 4 / AD2)", "D3 (pin 5)",
        "D4 (pin 6 / AD3)", "D5 (pin 7 / AD4)", "D6 (pin 8 / AD5)", "D7 (pin 9)"};
    return names[bit];
}

void run_checks(probe_report &report) {
    busy_unseen = false;
    bool adapter = port_wiring_of() == port_wiring::adapter_pins;
    bool gpio = port_wiring_of() == port_wiring::gpio_lines;
    const uint8_t wired = adapter || gpio ? 0x77 : 0xFF; // D3 and D7 are not wired there

    write_data(idle_lines);
    probe_finding idle = finding("idle lines");
    int back = read_data_back();
    if (back < 0) {
        skip(idle, "this port cannot read its outputs back");
    } else {
        char text[80];
        std::snprintf(text, sizeof text, "data lines read 0x%02X after the idle write 0xFF", back);
        idle.measured = text;
        idle.values = {{"data", std::to_string(back)}};
        uint8_t low = static_cast<uint8_t>(~back & wired);
        if (low) {
            idle.result = probe_result::fail;
            int bit = 0;
            while (!(low & (1 << bit)))
                ++bit;
            idle.advice = std::string(line_name(bit)) +
                          " reads low while driven high: a short to ground, or a line the "
                          "instrument pulls down; check its wiring";
        }
    }
    keep(report, idle);

    probe_finding rest = finding("status lines at rest");
    uint8_t status = static_cast<uint8_t>(read_status());
    bool busy_at_rest = status & status_busy;
    rest.measured = std::string("busy ") + (busy_at_rest ? "shows" : "clear") + ", data out " +
                    ((status & status_data) ? "high" : "low");
    rest.values = {{"busy", busy_at_rest ? "true" : "false"},
                   {"data_out", (status & status_data) ? "1" : "0"}};
    const std::string busy_line = port_busy_line();
    if (busy_at_rest) {
        rest.result = probe_result::warn;
        rest.advice = "busy shows with the converter released: its busy line (" + busy_line +
                      ") may be stuck low, or the converter has no power";
    }
    keep(report, rest);

    probe_finding ready = finding("converter ready");
    bool all_ready = true;
    int busy_conversions = 0, waited = 0; // conversions that showed busy, of those waited for
    double slowest = 0;
    for (size_t k = 0; k < std::size(start_up_words); ++k) {
        exchange(start_up_words[k]);
        wait_outcome w = wait_ready();
        if (all_ready && !w.ready) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "busy never cleared within 100 ms after start-up word %zu of 3 (0x%04X)",
                          k + 1, static_cast<unsigned>(start_up_words[k]));
            ready.measured = text;
        }
        all_ready = all_ready && w.ready;
        busy_conversions += w.busy_seen;
        ++waited;
        slowest = std::max(slowest, w.us);
    }
    ready.values = {{"ready", all_ready ? "true" : "false"},
                    {"slowest_us", number("%.0f", slowest)}};
    if (!all_ready) {
        ready.result = probe_result::fail;
        ready.advice = "the busy line (" + busy_line +
                       ") is stuck low, or the converter has no power: measure its supply, then " +
                       busy_line + " with the converter released";
    } else if (busy_conversions == 0) {
        ready.measured = "the start-up words were taken; busy never showed (see busy line)";
    } else {
        ready.measured = "the start-up words were taken, busy cleared after each (slowest " +
                         number("%.0f", slowest) + " us)";
    }
    keep(report, ready);
    bool converter_ok = all_ready;
    // Where busy never showed in the start-up, each conversion below is
    // waited out instead, so that its readings are whole.
    busy_unseen = busy_conversions == 0;

    // With a signal present, so that no reading of the detector's floor
    // passes for a data line stuck low or high.
    int32_t ten_mhz = static_cast<int32_t>(tuning_word(10000000));
    load_synthesizer(ten_mhz, control_byte);

    probe_finding timing_conv = finding("conversion time");
    probe_finding data = finding("converter data");
    probe_finding busy = finding("busy line");
    std::vector<double> times;
    uint32_t first_reply = 0;
    bool same = true;
    if (!converter_ok) {
        skip(timing_conv, "needs a converter that gets ready");
        skip(data, "needs a converter that gets ready");
        skip(busy, "needs a converter that gets ready");
    } else {
        for (int i = 0; i <= conversions; ++i) {
            uint32_t reply = exchange(measure_command);
            wait_outcome w = wait_ready();
            busy_conversions += w.busy_seen;
            ++waited;
            if (i == 0)
                continue; // the first reply is of the start-up
            times.push_back(w.us);
            if (i == 1)
                first_reply = reply;
            same = same && reply == first_reply;
        }
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        if (busy_unseen) {
            // Nothing marks a conversion's end: its time is not known.
            timing_conv.measured = "unknown: busy never showed, so each conversion was given " +
                                   number("%.0f us", static_cast<double>(assumed_conversion_us));
            timing_conv.values = {{"min_us", "null"}, {"median_us", "null"}, {"max_us", "null"}};
        } else {
            timing_conv.measured = number("min %.0f us, ", sorted.front()) +
                                   number("median %.0f us, ", sorted[sorted.size() / 2]) +
                                   number("max %.0f us over 100 conversions", sorted.back());
            timing_conv.values = {{"min_us", figure("%.0f", sorted.front())},
                                  {"median_us", figure("%.0f", sorted[sorted.size() / 2])},
                                  {"max_us", figure("%.0f", sorted.back())}};
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(first_reply));
        data.measured = same ? std::string(hex) + " each time at 10 MHz: " + reply_meaning(first_reply)
                             : "replies vary as the converter reads (first " + std::string(hex) +
                                   ": " + reply_meaning(first_reply) + ")";
        data.values = {{"first_reply", quoted(hex)}, {"all_same", same ? "true" : "false"}};
        // A conversion takes time: a healthy converter shows busy in some of
        // them at least, however fast the port polls.
        busy.measured = number("busy showed in %.0f", busy_conversions) +
                        number(" of %.0f conversions", waited);
        busy.values = {{"busy_conversions", std::to_string(busy_conversions)},
                       {"conversions", std::to_string(waited)}};
        if (busy_conversions == 0) {
            busy.result = probe_result::fail;
            busy.measured = number("busy never showed in %.0f conversions", waited);
            busy.advice = "the busy line (" + busy_line +
                          ") never shows while a conversion runs: it is open or not connected, "
                          "and talvik would read every value before its conversion ended; check "
                          "its wiring";
        }
        if (same && first_reply == 0x0000) {
            data.result = probe_result::fail;
            data.advice = "data out is stuck low (pin 10 / AD6), or the converter's data in "
                          "(D4, pin 6 / AD3) is open: check both";
        } else if (same && first_reply == 0xFFFF) {
            data.result = probe_result::fail;
            data.advice = "data out is stuck high or open (pin 10 / AD6): check it";
        } else if (same && decode_reply(first_reply).overflow) {
            data.result = probe_result::warn;
            data.advice = "every reply saturated with 10 MHz present: the detector's output is "
                          "open, shorted or overdriven, or the converter's reference is missing";
        }
    }
    keep(report, timing_conv);
    keep(report, data);
    keep(report, busy);
    bool data_ok = converter_ok && data.result != probe_result::fail;

    probe_finding synth = finding("synthesizer");
    probe_finding noise = finding("noise");
    if (!data_ok) {
        skip(synth, "needs converter data that change");
        skip(noise, "needs converter data that change");
    } else {
        bool ready_all = true, r = true;
        std::vector<double> levels;
        for (int i = 0; i < conversions; ++i) {
            levels.push_back(reading_dbm(&r));
            ready_all = ready_all && r;
        }
        double sigma = deviation_of(levels), at_ten = mean_of(levels);
        noise.measured = number("%.2f dB standard deviation over 100 readings at 10 MHz", sigma);
        noise.values = {{"sigma_db", figure("%.3f", sigma)}};
        if (sigma > 1) {
            noise.result = probe_result::warn;
            noise.advice = "readings scatter by more than 1 dB: check the detector's supply and "
                           "ground, and shield the converter's input";
        }
        load_synthesizer(0, control_byte);
        std::vector<double> off;
        for (int i = 0; i < 10; ++i)
            off.push_back(reading_dbm(&r));
        double at_zero = mean_of(off), threshold = std::max(6.0, 3 * sigma);
        synth.measured = number("%.1f dBm with no output (word 0), ", at_zero) +
                         number("%.1f dBm at 10 MHz", at_ten);
        synth.values = {{"off_dbm", figure("%.3f", at_zero)},
                        {"ten_mhz_dbm", figure("%.3f", at_ten)},
                        {"threshold_db", figure("%.3f", threshold)}};
        if (std::fabs(at_ten - at_zero) <= threshold) {
            // Nothing at 10 MHz: a device under test that blocks it shows
            // the same as a dead synthesizer, unless it passes another of
            // the usual frequencies (its centre, a common IF).
            static const double others_hz[] = {455e3, 1e6,    2e6,    4e6,    5e6,   7e6,
                                               9e6,   10.7e6, 14e6,   20e6,   21.4e6, 28e6};
            double passed_hz = 0, passed_dbm = 0;
            for (double hz : others_hz) {
                load_synthesizer(static_cast<int32_t>(tuning_word(hz)), control_byte);
                std::vector<double> there;
                for (int i = 0; i < 10; ++i)
                    there.push_back(reading_dbm(&r));
                double level = mean_of(there);
                if (!passed_hz && std::fabs(level - at_zero) > threshold) {
                    passed_hz = hz;
                    passed_dbm = level;
                }
            }
            load_synthesizer(0, control_byte);
            if (passed_hz) {
                synth.result = probe_result::warn;
                synth.measured += number(", %.1f dBm at ", passed_dbm) +
                                  number("%.4g MHz", passed_hz / 1e6);
                synth.advice = "the synthesizer responds, but the device under test blocks "
                               "10 MHz: this check needs a through (a cable in place of the "
                               "device under test)";
            } else {
                synth.result = probe_result::fail;
                synth.advice = "no level changed with the synthesizer's output: it does not "
                               "respond (check D0-D2, pins 2-4 / AD0-AD2, and its reference "
                               "clock), or the device under test blocks every frequency tried: "
                               "this check needs a through (a cable in place of the device "
                               "under test)";
            }
        }
    }
    keep(report, synth);
    keep(report, noise);

    probe_finding timing = finding("timing");
    const int accesses = 1000;
    int64_t t0 = probe_clock();
    for (int i = 0; i < accesses; ++i)
        write_data(idle_lines);
    double write_us = static_cast<double>(probe_clock() - t0) / accesses;
    t0 = probe_clock();
    for (int i = 0; i < accesses; ++i)
        read_status();
    double read_us = static_cast<double>(probe_clock() - t0) / accesses;
    timing.values = {{"write_us", figure("%.3f", write_us)}, {"read_us", figure("%.3f", read_us)}};
    if (adapter) {
        // A round trip: a write, then a read that must wait for its sample.
        const int trips = 50;
        int64_t start = probe_clock();
        for (int i = 0; i < trips; ++i) {
            write_data(idle_lines);
            read_status();
        }
        read_us = static_cast<double>(probe_clock() - start) / trips;
        // The rate asked for is a byte a microsecond: the time of a long
        // batch less that of a short one, each one round trip, is the
        // clocking of the bytes between them.
        auto batch_us = [](size_t writes) {
            port_batch batch;
            for (size_t i = 0; i < writes; ++i)
                batch.write(idle_lines);
            batch.read();
            const int rounds = 20;
            int64_t t0 = probe_clock();
            for (int i = 0; i < rounds; ++i)
                run_batch(batch);
            return static_cast<double>(probe_clock() - t0) / rounds;
        };
        size_t few = 16, many = port_batch::capacity - 1;
        double per_byte = (batch_us(many) - batch_us(few)) / static_cast<double>(many - few);
        // A host clock too coarse to tell the two apart gives no rate at all.
        double rate = per_byte > 0 ? 1 / per_byte : NAN; // bytes a microsecond
        timing.measured = (std::isfinite(rate)
                               ? number("bit-bang rate %.2f bytes/us (asked: 1), ", rate)
                               : std::string("bit-bang rate unknown (the host clock did not tell "
                                             "a long batch from a short one), ")) +
                          number("one USB round trip %.0f us, ", read_us) +
                          "latency timer 1 ms asked (host clock)";
        timing.values.push_back({"rate_bytes_per_us", figure("%.3f", rate)});
        timing.values.push_back({"round_trip_us", figure("%.1f", read_us)});
        if (std::isfinite(rate) && (rate > 1.2 || rate < 0.8)) {
            timing.result = probe_result::warn;
            timing.advice = "the adapter clocks at other than a byte a microsecond: the low-band "
                            "delays and the ready windows depend on it; report this figure";
        }
    } else if (gpio) {
        timing.measured = number("one bulk set %.2f us, ", write_us) +
                          number("one bulk get %.2f us (host clock)", read_us);
    } else {
        timing.measured = number("one port write %.3f us, ", write_us) +
                          number("one read %.3f us (host clock)", read_us);
    }
    keep(report, timing);
}

} // namespace

probe_report run_probe(const char *setting) {
    probe_report report;
    report.port = setting && *setting ? setting : "sim"; // as given: each output escapes it
    port_error error;
    probe_finding port = finding("port");
    std::unique_ptr<port_link> link = open_link(setting, nullptr, &error, false);
    if (!link) {
        report.open_error = error.text;
        port.result = probe_result::fail;
        port.measured = error.text;
        port.advice = "the other checks need a port";
        report.checks.push_back(port);
        return report;
    }
    using_link in_use(link.get());
    report.opened = true;
    port.measured = std::string("opened: ") + link->backend().name;
    port.values = {{"backend", quoted(link->backend().name)}};
    report.checks.push_back(port);
    run_checks(report);
    if (link_failure() && link->lost_why()) {
        probe_finding lost = finding("port");
        lost.result = probe_result::fail;
        lost.measured = std::string("lost: ") + link->lost_why();
        lost.advice = "the adapter or board went away during the checks: check its cable";
        report.checks.push_back(lost);
    }
    // Said as talvik says it. A port lost in the checks is their verdict; one
    // that cannot be given back (an adapter left in bit-bang mode) fails the
    // probe as it fails talvik.
    bool lost = link_failure() && link->lost_why();
    // Lost, and then not let go of: an adapter the loss left in bit-bang mode.
    if (lost && std::strstr(link->lost_why(), "cannot leave bit-bang mode"))
        report.given_back = false;
    if (link->close(&error) != status_done) {
        std::fprintf(stderr, "%s\n", error.text);
        if (!lost) {
            report.given_back = false;
            probe_finding back = finding("port");
            back.result = probe_result::fail;
            back.measured = std::string("not given back: ") + error.text;
            back.advice = "unplug the adapter and plug it in again before another program uses it";
            report.checks.push_back(back);
        }
    }
    return report;
}

int probe_status(const probe_report &report) {
    if (!report.opened || !report.given_back)
        return status_port;
    for (const auto &c : report.checks)
        if (c.result == probe_result::fail)
            return status_failed;
    return status_done;
}

std::string probe_summary(const probe_report &report) {
    int counts[4] = {0, 0, 0, 0};
    for (const auto &c : report.checks)
        ++counts[static_cast<int>(c.result)];
    char text[160];
    std::snprintf(text, sizeof text, "%zu checks: %d ok, %d warn, %d FAIL, %d skipped",
                  report.checks.size(), counts[0], counts[1], counts[2], counts[3]);
    return text;
}

std::string probe_text(const probe_report &report) {
    static const char *const marks[] = {"ok", "warn", "FAIL", "skip"};
    std::string out;
    char head[40];
    for (const auto &c : report.checks) {
        // Whatever its length, a finding's text is never cut.
        std::snprintf(head, sizeof head, "%-4s  %-20s  ", marks[static_cast<int>(c.result)],
                      c.name.c_str());
        out += head + printable(c.measured) + "\n";
        if (c.result == probe_result::warn || c.result == probe_result::fail)
            out += "      " + c.advice + "\n";
    }
    if (!report.calibration.empty())
        out += printable(report.calibration) + "\n";
    return out + probe_summary(report) + "\n";
}

std::string probe_json(const probe_report &report) {
    static const char *const results[] = {"ok", "warn", "fail", "skipped"};
    std::string out = "{\"port\": " + quoted(report.port) + ", ";
    if (!report.calibration.empty())
        out += "\"calibration\": " + quoted(report.calibration) + ", ";
    out += "\"checks\": [";
    for (size_t i = 0; i < report.checks.size(); ++i) {
        const auto &c = report.checks[i];
        out += i ? ", " : "";
        out += "{\"name\": " + quoted(c.name) + ", \"result\": \"" +
               results[static_cast<int>(c.result)] + "\", \"measured\": {";
        for (size_t k = 0; k < c.values.size(); ++k)
            out += (k ? ", " : "") + quoted(c.values[k].first) + ": " + c.values[k].second;
        out += "}, \"text\": " + quoted(c.measured) + ", \"advice\": " + quoted(c.advice) + "}";
    }
    return out + "], \"summary\": " + quoted(probe_summary(report)) + "}\n";
}
