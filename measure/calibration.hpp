// A calibration of the instrument, from a plain text file: the detector's
// slope, intercept and linearity, and the generator's reference clock. In
// force, it turns the converter's volts into levels and hertz into tuning
// words; with none, every figure is the built one.
#pragma once
#include <string>
#include <utility>
#include <vector>

inline constexpr char calibration_format[] = "talvik calibration 1";

struct calibration {
    // The detector: volts = (level - intercept) x slope.
    bool detector = false;
    double slope_mv = 25;       // mV per dB
    double intercept_dbm = -84; // the level at which it gives 0 V
    bool intercept_kept = false; // not measured with the slope: the one in force then
    double detector_at_hz = 0;
    std::string detector_measured, detector_how; // "2026-12-08 05:40 UTC", free text
    // Corrections in dB by the level slope and intercept give, rising
    // levels; between them by linear interpolation, beyond them the nearest
    // end's.
    std::vector<std::pair<double, double>> linearity;
    // The generator's reference clock.
    bool clock = false;
    double clock_hz = 100e6;
    std::string clock_measured, clock_how;
};

// The file a program reads: TALVIK_CAL where it names one, none where it is
// set and empty (*none), else the user's config folder's
// talvik/calibration. Empty when there is nowhere to look.
std::string calibration_path(bool *none);

// Reads and checks a calibration file whole; false with "Calibration file
// NAME, line N: REASON" (or without the line), nothing filled in then.
bool read_calibration(const std::string &path, calibration *out, std::string *why);

// The same from a file's text, path naming it in the reason.
bool parse_calibration(const std::string &text, const std::string &path, calibration *out,
                       std::string *why);

// The file's text, as read_calibration reads it back.
std::string calibration_text(const calibration &c);

// Finds and reads the calibration a program starts with: true with
// *found false where there is none (no file at the default place, or
// TALVIK_CAL set and empty); false with the reason where a file is refused.
// A file named by TALVIK_CAL must be there, unless the caller is about to
// make it (missing_ok).
bool find_calibration(calibration *out, std::string *path, bool *found, std::string *why,
                      bool missing_ok = false);

// Puts a calibration in force (its clock, its detector), or the built values
// where c is null.
void apply_calibration(const calibration *c);
const calibration *calibration_in_force();

// One line: what is in force, from where.
std::string calibration_summary(const calibration &c, const std::string &path);

// The level of the detector's volts under the calibration in force.
double calibrated_level(double volts);

// The correction the linearity table gives at a level.
double linearity_correction(const calibration &c, double level);
