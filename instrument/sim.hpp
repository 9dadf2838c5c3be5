// The simulated instrument: a DDS synthesizer and a pipelined serial level
// converter, seen only through the data byte written to the port and the
// status byte read back, as the real ones are.
#pragma once
#include "common/port_lines.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

enum class dut_model { through, lowpass, bandpass, notch, crystal };

// Faults of a home-built instrument, for bringing one up: busy always or
// never shown, data out stuck low or high, a synthesizer that ignores its
// lines, readings that scatter by a few dB, a start-up word whose conversion
// never ends.
enum class sim_fault {
    none,
    busy_stuck,
    busy_open,
    data_low,
    data_high,
    synth_dead,
    noisy,
    startup_stuck
};

// The detector's floor: what it reads with no signal, and below which it
// reads nothing lower.
inline constexpr double sim_floor_dbm = -100.0;

// Level in dBm the detector reads at hz: the generator's own output (0 dBm,
// less the DDS's sin(x)/x roll-off; nothing at 0 Hz, word 0) through the
// device under test, its response moved up in frequency by detune_hz (a
// trimmer turned); never below the floor.
double sim_level_dbm(dut_model dut, double hz, double detune_hz = 0, double clock_hz = 100e6);

// The detector a sim: option may make other than nominal: its slope in mV
// per dB, the level at which it gives 0 V, and a bow in dB added to the level
// it reports (0 at -80 and 0 dBm, curve_db at -40 dBm).
struct sim_detector {
    double slope_mv = 25, intercept_dbm = -84, curve_db = 0;
};
// The reply word for a level at the detector's input, through that detector.
uint16_t sim_detected_reply(const sim_detector &detector, double dbm);

// The noisy fault's scatter: a level error spread evenly over -3 to +3 dB in
// steps of 0.01 dB (standard deviation 1.73 dB), from a generator state.
double sim_noise_db(uint32_t &state);

// The converter's reply word for a level: detector 2.1 V at 0 dBm and 25 mV
// per dB, 16383 counts at 2.46955 V, two's complement in bits 0-13, sign in
// bit 15, bit 14 different from bit 15 only when the count saturated.
uint16_t sim_reply_word(double dbm);

class sim_instrument {
  public:
    struct options {
        dut_model dut = dut_model::bandpass;
        bool fixed_reply = false;
        uint16_t reply_value = 0;
        bool busy_forever = false;
        int64_t busy_us = 5;
        int busy_reads = 0; // where set, a conversion lasts so many status reads instead
        sim_fault fault = sim_fault::none;
        int stuck_word = 0; // startup-stuck: the start-up word (1 to 3) never ready
        int noise_db = 3;   // noisy: readings scatter evenly over +-this many dB
        std::string knob; // a file holding the detuning in Hz, read as it changes
        std::string atten; // a file holding a step attenuator's setting in dB
        double clock_hz = 100e6; // the generator's real reference clock
        sim_detector detector;
    };
    // Options "dut=NAME,reply=N,busy=US|forever,fault=NAME", any number, in
    // any order; false with a reason on a bad one, nothing changed then.
    bool configure(const char *options, char *reason, size_t reason_size);
    void reset();

    void write(uint8_t data);
    uint8_t read();

    uint32_t tuning_word() const { return word_; }
    uint8_t control() const { return control_; }
    double frequency_hz() const { return options_.clock_hz * word_ / 4294967296.0; }
    uint16_t last_command() const { return command_; }
    int commands() const { return commands_; }
    int updates() const { return updates_; }
    int faults() const { return faults_; }
    bool fixed_reply() const { return options_.fixed_reply; }
    uint8_t lines() const { return lines_; } // the data register as last written

    // The instrument's own time (conversions, the knob's re-reads): the
    // steady clock, unless a test gives it another (null: the steady clock
    // again). reset() puts the steady clock back.
    using time_source = std::chrono::steady_clock::time_point (*)();
    void set_time_source(time_source now) { now_ = now ? now : std::chrono::steady_clock::now; }

  private:
    using clock = std::chrono::steady_clock;

    void synthesizer_write(uint8_t before, uint8_t now);
    void converter_write(uint8_t before, uint8_t now);
    void command(uint16_t word);
    void finish_conversion();
    void fault(int kind, const char *what, int detail);
    double detuning_hz();
    double attenuation_db();

    // A number a file holds, read again once 10 ms have passed: a file that
    // cannot be read, or holds no number within [low, high], leaves the
    // last value (0 before any).
    struct watched_number {
        double value = 0;
        clock::time_point read_at{};
        bool ever = false;
        double get(const std::string &path, clock::time_point now, double low, double high);
    };

    options options_;
    time_source now_ = std::chrono::steady_clock::now;
    uint32_t noise_ = 12345; // the noisy fault's generator

    // the data register as last written; released, all lines high at power-up
    uint8_t lines_ = idle_lines;

    // synthesizer
    uint64_t shift_ = 0;
    int shifted_ = 0;
    uint32_t word_ = 0;
    uint8_t control_ = 0;
    int updates_ = 0;

    // converter
    int bits_ = 0;
    uint16_t incoming_ = 0;
    uint16_t outgoing_ = 0;
    uint8_t data_out_ = 0;
    int start_up_ = 0; // start-up words taken in order, 0..3
    uint16_t result_ = 0;
    uint16_t pending_ = 0;
    bool converting_ = false;
    bool stuck_ = false; // a conversion that never ends
    int reads_left_ = 0; // status reads a conversion timed in reads still shows busy for
    clock::time_point ready_at_{};
    uint16_t command_ = 0;
    int commands_ = 0;

    int faults_ = 0;
    unsigned fault_kinds_ = 0;

    watched_number knob_, atten_;
};
