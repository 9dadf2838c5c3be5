#include "common/number.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>

bool parse_number(const char *text, long long low, long long high, long long *value) {
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? text + 2 : text;
    unsigned char first = static_cast<unsigned char>(*digits);
    if (!(hex ? std::isxdigit(first) : std::isdigit(first)))
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(digits, &end, hex ? 16 : 10);
    if (errno || *end || v < low || v > high)
        return false;
    *value = v;
    return true;
}

int32_t read_int(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulate the magnitude, stopping once it is past the range: more
    // digits cannot bring it back.
    int64_t magnitude = 0;
    for (; std::isdigit(*p); ++p) {
        if (magnitude <= int64_t{INT32_MAX} + 1)
            magnitude = magnitude * 10 + (*p - '0');
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool parse_decimal(const char *text, double low, double high, double *value) {
    unsigned char first = static_cast<unsigned char>(*text);
    if (!(std::isdigit(first) || first == '-' || first == '+' || first == '.'))
        return false;
    // Decimal only: strtod would also take hex ("0x10") and "infinity".
    for (const char *p = text; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)) && !std::strchr("+-.eE", *p))
            return false;
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end || !std::isfinite(v) || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool read_frequency(const char *text, double *hz) {
    const char *p = text;
    const char *digits = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    if (p == digits)
        return false;
    if (*p == '.') {
        const char *fraction = ++p;
        while (*p >= '0' && *p <= '9')
            ++p;
        if (p == fraction)
            return false;
    }
    double value = std::strtod(text, nullptr);
    double scale = 1;
    if (*p == 'k' || *p == 'K')
        scale = 1e3;
    else if (*p == 'M')
        scale = 1e6;
    else if (*p == 'G')
        scale = 1e9;
    if (scale != 1)
        ++p;
    if (std::strcmp(p, "Hz") == 0)
        p += 2;
    // Digits enough to overflow a double are not a frequency.
    if (*p || !std::isfinite(value * scale))
        return false;
    *hz = value * scale;
    return true;
}
