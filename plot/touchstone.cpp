#include "plot/touchstone.hpp"

#include "common/text.hpp"

#include <cmath>
#include <cstdio>

namespace {

// A comment line: '!' then printable ASCII only, as the format allows.
std::string comment(const std::string &text) {
    std::string out = "! ";
    for (char c : printable(text))
        out += c >= ' ' && c < 127 ? c : '?';
    return out + "\n";
}

} // namespace

std::string touchstone_text(const sweep &s, const std::string &reference) {
    std::string text;
    text += comment("talvik-plot: " + s.name + " against " + reference);
    text += comment("A scalar measurement: only |S21| was measured. S12 is given as |S21| (a");
    text += comment("passive filter is reciprocal); S11 and S22 are 0, and every angle is 0:");
    text += comment("none of them was measured.");
    size_t left_out = 0;
    std::string listed;
    for (const auto &p : s.points)
        if (p.overflow) {
            ++left_out;
            char hz[40];
            std::snprintf(hz, sizeof hz, "%s%.1f", listed.empty() ? "" : ", ", p.hz);
            if (left_out <= 20)
                listed += hz;
        }
    if (left_out > 0) {
        text += comment(std::to_string(left_out) + " overflowed points left out (level unknown), Hz:");
        text += comment(listed + (left_out > 20 ? ", ..." : ""));
    }
    text += "# Hz S MA R 50\n";
    text += "! freq |S11| <S11 |S21| <S21 |S12| <S12 |S22| <S22\n";
    char line[160];
    for (const auto &p : s.points) {
        if (p.overflow)
            continue;
        double magnitude = std::pow(10.0, p.level / 20);
        std::snprintf(line, sizeof line, "%.1f 0 0 %.9g 0 %.9g 0 0 0\n", p.hz, magnitude, magnitude);
        text += line;
    }
    return text;
}
