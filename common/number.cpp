#include "common/number.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>

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
