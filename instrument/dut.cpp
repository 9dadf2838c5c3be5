// Level models of the simulated instrument.
#include "instrument/sim.hpp"

#include <algorithm>
#include <cmath>

namespace {

const double pi = 3.14159265358979323846;

// Fractional detuning of a resonator centred at f0 with bandwidth b: |x| = 1
// exactly at the two band edges (-3 dB, or the ripple level of the crystal
// filter), which lie b apart.
double detuning(double hz, double f0, double b) { return (hz / f0 - f0 / hz) * f0 / b; }

double db_of_power_ratio(double ratio) { return 10.0 * std::log10(ratio); }

double dut_db(dut_model dut, double hz) {
    if (hz <= 0.0) // at 0 Hz: band-passes block, the others pass
        return dut == dut_model::bandpass || dut == dut_model::crystal ? -200.0 : 0.0;
    switch (dut) {
    case dut_model::through:
        return 0.0;
    case dut_model::lowpass: { // 5th-order Butterworth, -3 dB at 5 MHz
        double x = hz / 5e6;
        return -db_of_power_ratio(1.0 + std::pow(x, 10));
    }
    case dut_model::bandpass: { // 4th-order Butterworth, 4 MHz centre, 1 MHz wide
        double x = detuning(hz, 4e6, 1e6);
        return -db_of_power_ratio(1.0 + std::pow(x, 4));
    }
    case dut_model::notch: { // 6 MHz centre, 1 MHz wide at -3 dB, 40 dB deep
        double x = detuning(hz, 6e6, 1e6);
        const double floor = 0.01 * 0.01;
        return db_of_power_ratio((x * x + floor) / (x * x + 1.0));
    }
    case dut_model::crystal: { // 4-pole Chebyshev, 9 MHz, 2.4 kHz wide at its 0.5 dB ripple
        double x = detuning(hz, 9e6, 2.4e3);
        double t4 = 8 * x * x * x * x - 8 * x * x + 1; // T4(x), for any x
        const double e2 = std::pow(10.0, 0.5 / 10) - 1;
        return -db_of_power_ratio(1.0 + e2 * t4 * t4);
    }
    }
    return 0.0;
}

} // namespace

double sim_level_dbm(dut_model dut, double hz, double detune_hz, double clock_hz) {
    // Word 0: the generator is silent, whatever follows it.
    if (hz <= 0.0)
        return sim_floor_dbm;
    // A DDS's output falls as sin(x)/x of the output over the clock frequency.
    double x = pi * hz / clock_hz;
    double source_db = 20.0 * std::log10(std::fabs(std::sin(x) / x));
    // Moved above hz, the device is met at what it does at 0 Hz.
    return std::max(sim_floor_dbm, source_db + dut_db(dut, hz - detune_hz));
}

uint16_t sim_detected_reply(const sim_detector &d, double dbm) {
    if (d.slope_mv == 25 && d.intercept_dbm == -84 && d.curve_db == 0)
        return sim_reply_word(dbm); // the nominal detector, as sim_reply_word says
    double bow = (dbm + 40) / 40;
    double reported = dbm + d.curve_db * (1 - bow * bow);
    double volts = (reported - d.intercept_dbm) * d.slope_mv / 1000;
    return sim_reply_word(volts * 40 - 84); // the level the nominal detector gives these volts
}

uint16_t sim_reply_word(double dbm) {
    double volts = 2.1 + dbm / 40.0;
    long count = std::lround(volts * 16383.0 / 2.46955);
    bool saturated = false;
    if (count > 16383) {
        count = 16383;
        saturated = true;
    } else if (count < -16384) {
        count = -16384;
        saturated = true;
    }
    bool negative = count < 0;
    unsigned word = static_cast<unsigned>(count) & 0x3FFF;
    if (negative)
        word |= 0x8000;
    if (negative != saturated) // bit 14 follows the sign unless saturated
        word |= 0x4000;
    return static_cast<uint16_t>(word);
}
