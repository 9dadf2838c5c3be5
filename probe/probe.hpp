// talvik-probe's checks: bringing an instrument up. Each check says what it
// measured and, where it is not ok, the likely cause and what to do, naming
// the connector or adapter pin of the line involved.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class probe_result { ok, warn, fail, skipped };

struct probe_finding {
    std::string name;
    probe_result result = probe_result::ok;
    std::string measured; // as a person reads it
    // The same as JSON members: a name and a JSON value (a number or a
    // quoted string).
    std::vector<std::pair<std::string, std::string>> values;
    std::string advice; // where not ok
};

struct probe_report {
    std::string port;
    std::vector<probe_finding> checks;
    bool opened = false;
    std::string open_error; // "Can't open port SETTING: REASON" where not opened
    bool given_back = true; // the port was closed cleanly (an adapter out of bit-bang mode)
    std::string calibration; // what is in force, from where; empty: none
};

// The clock the probe measures its times by, in microseconds: the host's,
// unless a test gives it an adapter stand-in's own. Its waits keep the
// host's clock.
extern int64_t (*probe_clock)();

// Runs every check, in order, on the port setting names (TALVIK_PORT's
// forms); a check whose needs failed is skipped. Waits are bounded (100 ms a
// ready wait), so that a dead converter is found within about a second. The
// port is closed again at the end.
probe_report run_probe(const char *setting);

// 0 when nothing failed, 1 when a check failed, 4 when the port could not be
// opened or given back.
int probe_status(const probe_report &report);

// One line a check ("ok", "warn", "FAIL" or "skip", its name, what was
// measured), the advice indented below a line that is not ok, and a summary.
std::string probe_text(const probe_report &report);
std::string probe_json(const probe_report &report);
std::string probe_summary(const probe_report &report);
