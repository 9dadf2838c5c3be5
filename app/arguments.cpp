#include "app/arguments.hpp"

#include "app/sweep.hpp"
#include "common/number.hpp"
#include "common/text.hpp"
#include "measure/point.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

std::string trailing_text_warning(const char *name, const char *text, bool hertz) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (std::isspace(*p))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (!std::isdigit(*p))
        return ""; // no digits: reads as 0, as the refusals that follow say
    while (std::isdigit(*p))
        ++p;
    if (!*p)
        return "";
    char value[32];
    std::snprintf(value, sizeof value, "%ld", static_cast<long>(read_int(text)));
    std::string said = std::string(name) + " '" + shortened(printable(text), 60) + "' reads as " +
                       value + (hertz ? " Hz: whole hertz only" : ": whole numbers only");
    // The value meant, where a unit says it (3.5M, 10kHz); a bare decimal is
    // not guessed at.
    double hz = 0;
    if (hertz && std::strpbrk(text, "kKMG") && read_frequency(text, &hz) && hz < 1e12) {
        char meant[40];
        std::snprintf(meant, sizeof meant, " (%.0f)", std::round(hz));
        said += meant;
    }
    return said;
}

int64_t low_band_wait_ms(int32_t start, int32_t end, int32_t divisor) {
    int64_t ms = 0;
    for (int64_t word = start; word < end && word < low_band_word && word > 0;
         word = next_word(static_cast<int32_t>(word), divisor))
        ms += low_band_delay(static_cast<int32_t>(word));
    return ms;
}

std::string duration_text(int64_t ms) {
    int64_t s = (ms + 500) / 1000;
    char text[48];
    if (s < 60)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(s));
    else if (s < 3600)
        std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    else
        std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60));
    return text;
}
