#include "instrument/sim.hpp"

#include "common/text.hpp"

#include "common/number.hpp"
#include "common/port_lines.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr uint16_t measure = 0x8710;
constexpr uint16_t start_up[3] = {0x871C, 0x8718, 0x8714};

enum fault_kind {
    bad_update,
    bad_command_length,
    clock_unselected,
    unknown_command,
    start_up_order,
};

bool rose(uint8_t before, uint8_t now, uint8_t line) { return !(before & line) && (now & line); }

} // namespace

double sim_noise_db(uint32_t &state) {
    state = state * 1103515245u + 12345u;
    return ((state >> 16) % 601) / 100.0 - 3.0;
}

void sim_instrument::reset() { *this = sim_instrument(); }

namespace {

// One option's value read into the instrument; false with the reason.
using option_reader = bool (*)(sim_instrument::options &o, const std::string &value,
                               std::string *why);

bool read_dut(sim_instrument::options &o, const std::string &value, std::string *why) {
    static const char *const names[] = {"through", "lowpass", "bandpass", "notch", "crystal"};
    for (int i = 0; i < 5; ++i)
        if (value == names[i]) {
            o.dut = static_cast<dut_model>(i);
            return true;
        }
    *why = "(through, lowpass, bandpass, notch or crystal)";
    return false;
}

bool read_reply(sim_instrument::options &o, const std::string &value, std::string *why) {
    long long number = 0;
    if (!parse_number(value.c_str(), 0, 0xFFFF, &number)) {
        *why = "(0 to 65535, or 0x0 to 0xFFFF)";
        return false;
    }
    o.fixed_reply = true;
    o.reply_value = static_cast<uint16_t>(number);
    return true;
}

bool read_busy(sim_instrument::options &o, const std::string &value, std::string *why) {
    long long number = 0;
    if (value == "forever") {
        o.busy_forever = true;
    } else if (parse_number(value.c_str(), 0, 60000000, &number)) {
        o.busy_forever = false;
        o.busy_us = number;
    } else {
        *why = "(microseconds, or forever)";
        return false;
    }
    return true;
}

bool read_busy_reads(sim_instrument::options &o, const std::string &value, std::string *why) {
    long long number = 0;
    if (!parse_number(value.c_str(), 1, 1000, &number)) {
        *why = "(status reads, 1 to 1000)";
        return false;
    }
    o.busy_reads = static_cast<int>(number);
    return true;
}

bool read_fault(sim_instrument::options &o, const std::string &value, std::string *why) {
    static const char *const names[] = {"none",      "busy-stuck", "busy-open", "data-low",
                                        "data-high", "synth-dead", "noisy"};
    for (int i = 0; i < 7; ++i)
        if (value == names[i]) {
            o.fault = static_cast<sim_fault>(i);
            o.noise_db = 3;
            return true;
        }
    const std::string noisy = "noisy:";
    long long db = 0;
    if (value.compare(0, noisy.size(), noisy) == 0 &&
        parse_number(value.c_str() + noisy.size(), 1, 30, &db)) {
        o.fault = sim_fault::noisy;
        o.noise_db = static_cast<int>(db);
        return true;
    }
    const std::string stuck = "startup-stuck:";
    if (value.size() == stuck.size() + 1 && value.compare(0, stuck.size(), stuck) == 0 &&
        value.back() >= '1' && value.back() <= '3') {
        o.fault = sim_fault::startup_stuck;
        o.stuck_word = value.back() - '0';
        return true;
    }
    *why = "(busy-stuck, busy-open, data-low, data-high, synth-dead, noisy, noisy:DB (1 to 30) "
           "or startup-stuck:N (1 to 3))";
    return false;
}

bool read_atten(sim_instrument::options &o, const std::string &value, std::string *why) {
    if (value.empty()) {
        *why = "(a file holding the attenuator's setting in dB)";
        return false;
    }
    o.atten = value;
    return true;
}

bool read_clock(sim_instrument::options &o, const std::string &value, std::string *why) {
    if (!parse_decimal(value.c_str(), 1e6, 1e9, &o.clock_hz)) {
        *why = "(the generator's clock in Hz, 1000000 to 1000000000)";
        return false;
    }
    return true;
}

bool read_slope(sim_instrument::options &o, const std::string &value, std::string *why) {
    if (!parse_decimal(value.c_str(), 1, 100, &o.detector.slope_mv)) {
        *why = "(mV per dB, 1 to 100)";
        return false;
    }
    return true;
}

bool read_intercept(sim_instrument::options &o, const std::string &value, std::string *why) {
    if (!parse_decimal(value.c_str(), -200, 0, &o.detector.intercept_dbm)) {
        *why = "(the level in dBm at which the detector gives 0 V, -200 to 0)";
        return false;
    }
    return true;
}

bool read_curve(sim_instrument::options &o, const std::string &value, std::string *why) {
    if (!parse_decimal(value.c_str(), -20, 20, &o.detector.curve_db)) {
        *why = "(dB at -40 dBm, -20 to 20)";
        return false;
    }
    return true;
}

bool read_knob(sim_instrument::options &o, const std::string &value, std::string *why) {
    if (value.empty()) {
        *why = "(a file holding the detuning in Hz)";
        return false;
    }
    o.knob = value;
    return true;
}

// Every option, by name: a new one is a row here and a reader above.
const struct {
    const char *key;
    option_reader read;
} option_table[] = {
    {"dut", read_dut},
    {"reply", read_reply},
    {"busy", read_busy},
    {"busyreads", read_busy_reads},
    {"fault", read_fault},
    {"knob", read_knob},
    {"atten", read_atten},
    {"clock", read_clock},
    {"slope", read_slope},
    {"intercept", read_intercept},
    {"curve", read_curve},
};

std::string known_keys() {
    std::string keys;
    for (const auto &row : option_table)
        keys += std::string(keys.empty() ? "" : ", ") + row.key + "=";
    return keys;
}

} // namespace

bool sim_instrument::configure(const char *text, char *reason, size_t reason_size) {
    // key=value pairs between commas; a value runs to the next comma and may
    // hold ':' and '='. Nothing is applied unless every pair is sound.
    options o = options_;
    std::string all = text;
    for (size_t start = 0; start < all.size();) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos)
            comma = all.size();
        std::string pair = all.substr(start, comma - start);
        start = comma + 1;
        if (pair.empty())
            continue;
        size_t equals = pair.find('=');
        std::string key = pair.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : pair.substr(equals + 1);
        option_reader read = nullptr;
        for (const auto &row : option_table)
            if (key == row.key)
                read = row.read;
        std::string why;
        if (!read) {
            std::snprintf(reason, reason_size, "unknown option %s (%s)",
                          shortened(pair, 100).c_str(), known_keys().c_str());
            return false;
        }
        if (equals == std::string::npos) {
            std::snprintf(reason, reason_size, "option %s takes a value: %s=...",
                          shortened(key, 100).c_str(), shortened(key, 100).c_str());
            return false;
        }
        if (!read(o, value, &why)) {
            std::snprintf(reason, reason_size, "bad value in option %s %s",
                          shortened(pair, 100).c_str(), why.c_str());
            return false;
        }
    }
    options_ = o;
    return true;
}

void sim_instrument::fault(int kind, const char *what, int detail) {
    ++faults_;
    if (fault_kinds_ & (1u << kind))
        return;
    fault_kinds_ |= 1u << kind;
    std::fprintf(stderr, "simulated instrument: ");
    std::fprintf(stderr, what, detail);
    std::fputc('\n', stderr);
}

void sim_instrument::write(uint8_t data) {
    uint8_t before = lines_;
    lines_ = data;
    synthesizer_write(before, data);
    converter_write(before, data);
}

// The synthesizer's serial port listens only while D3 is low. Loads keep D3
// low; converter exchanges keep it high, so their first write (0xAF, which
// raises D0-D3 together from 0xF0) neither clocks a bit nor applies a word.
void sim_instrument::synthesizer_write(uint8_t before, uint8_t now) {
    if ((now & synth_load_n_line) || options_.fault == sim_fault::synth_dead)
        return;
    if (rose(before, now, synth_clock_line)) {
        shift_ = (shift_ >> 1) | (static_cast<uint64_t>(now & synth_data_line) << 39);
        ++shifted_;
    }
    if (rose(before, now, synth_update_line)) {
        if (shifted_ != 40)
            fault(bad_update, "update pulse after %d bits, not 40", shifted_);
        if (shifted_ >= 40) {
            word_ = static_cast<uint32_t>(shift_);
            control_ = static_cast<uint8_t>(shift_ >> 32);
            ++updates_;
        }
        shifted_ = 0;
    }
}

void sim_instrument::converter_write(uint8_t before, uint8_t now) {
    bool was_selected = !(before & conv_select_n_line);
    bool selected = !(now & conv_select_n_line);
    if (!was_selected && selected) {
        finish_conversion();
        bits_ = 0;
        incoming_ = 0;
        outgoing_ = result_;
    }
    if (rose(before, now, conv_clock_line)) {
        if (!(was_selected && selected)) {
            fault(clock_unselected, "converter clock edge while not selected (data 0x%02X)", now);
        } else {
            // Take D4, then present the next reply bit, most significant first.
            incoming_ = static_cast<uint16_t>((incoming_ << 1) | ((now & conv_data_line) ? 1 : 0));
            int bit = 15 - bits_;
            data_out_ = bit >= 0 && ((outgoing_ >> bit) & 1) ? status_data : 0;
            ++bits_;
        }
    }
    if (was_selected && !selected) {
        if (bits_ != 16)
            fault(bad_command_length, "command of %d bits, not 16", bits_);
        else
            command(incoming_);
    }
}

void sim_instrument::command(uint16_t word) {
    command_ = word;
    ++commands_;
    if (word == measure) {
        // Before the start-up words the converter is not set up: it answers 0.
        double level = sim_level_dbm(options_.dut, frequency_hz(), detuning_hz(), options_.clock_hz);
        if (!options_.atten.empty()) // in the path: nothing reads below the floor
            level = std::max(sim_floor_dbm, level - attenuation_db());
        if (options_.fault == sim_fault::noisy) {
            level += sim_noise_db(noise_) * options_.noise_db / 3.0;
        }
        pending_ = start_up_ < 3  ? 0
                   : options_.fixed_reply ? options_.reply_value
                                  : sim_detected_reply(options_.detector, level);
    } else if (word == start_up[0] || word == start_up[1] || word == start_up[2]) {
        int step = word == start_up[0] ? 0 : word == start_up[1] ? 1 : 2;
        if (step == start_up_ || step == 0)
            start_up_ = step + 1; // the first word always begins the set-up anew
        else
            fault(start_up_order, "start-up word 0x%04X out of order", word);
        pending_ = 0;
        stuck_ = stuck_ || (options_.fault == sim_fault::startup_stuck &&
                            step + 1 == options_.stuck_word);
    } else {
        fault(unknown_command, "unknown command 0x%04X", word);
        return;
    }
    // A conversion starts as the converter is released; its result is the
    // reply of the next exchange.
    converting_ = true;
    reads_left_ = options_.busy_reads;
    ready_at_ = now_() + std::chrono::microseconds(options_.busy_us);
    if (!options_.busy_forever && options_.busy_us == 0 && !options_.busy_reads)
        finish_conversion();
}

// The knob's and the attenuator's files are read at most every 10 ms, not
// at every conversion: a hand on a trimmer is slower than that, and a read
// costs more than a conversion.
double sim_instrument::watched_number::get(const std::string &path, clock::time_point now,
                                           double low, double high) {
    if (ever && now - read_at < std::chrono::milliseconds(10))
        return value;
    ever = true;
    read_at = now;
    // Only a plain file: a FIFO or a terminal would block the instrument.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return value;
    if (std::FILE *file = std::fopen(path.c_str(), "rb")) {
        char text[65] = "";
        size_t n = std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        text[n] = '\0';
        char *end = nullptr;
        double number = std::strtod(text, &end);
        while (end && *end && std::isspace(static_cast<unsigned char>(*end)))
            ++end;
        // The whole file one number: not longer than 63 bytes, no NUL in it.
        if (n < sizeof text - 1 && end != text && end == text + n && number >= low &&
            number <= high)
            value = number;
    }
    return value;
}

double sim_instrument::detuning_hz() {
    return options_.knob.empty() ? 0 : knob_.get(options_.knob, now_(), -1e9, 1e9);
}

double sim_instrument::attenuation_db() {
    return options_.atten.empty() ? 0 : atten_.get(options_.atten, now_(), 0, 200);
}

void sim_instrument::finish_conversion() {
    bool ended = options_.busy_reads ? reads_left_ == 0
                                     : options_.busy_us == 0 || now_() >= ready_at_;
    if (converting_ && !options_.busy_forever && !stuck_ && ended) {
        converting_ = false;
        result_ = pending_;
    }
}

uint8_t sim_instrument::read() {
    // Timed in reads: this one shows busy, or ends the conversion.
    if (converting_ && options_.busy_reads && reads_left_ > 0)
        --reads_left_;
    else if (converting_)
        finish_conversion();
    bool busy = converting_, data = data_out_ != 0;
    if (options_.fault == sim_fault::busy_stuck)
        busy = true;
    else if (options_.fault == sim_fault::busy_open)
        busy = false;
    if (options_.fault == sim_fault::data_low)
        data = false;
    else if (options_.fault == sim_fault::data_high)
        data = true;
    return static_cast<uint8_t>((data ? status_data : 0) | (busy ? status_busy : 0));
}
