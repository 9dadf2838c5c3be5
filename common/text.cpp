#include "common/text.hpp"

#include <cstdint>

std::string shortened(const std::string &text, size_t most) {
    std::string shown = printable(text);
    if (shown.size() <= most)
        return shown;
    while (most > 0 && (static_cast<unsigned char>(shown[most]) & 0xC0) == 0x80)
        --most; // not inside a character
    return shown.substr(0, most) + "...(" + std::to_string(text.size()) + " bytes)";
}

namespace {

// The length of the valid UTF-8 sequence at s (at most n bytes), or 0.
size_t utf8_length(const unsigned char *s, size_t n) {
    unsigned char c = s[0];
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || length > n)
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t i = 1; i < length; ++i)
        code = (code << 6) | (s[i] & 0x3F);
    // Overlong forms, surrogates and code points past Unicode's end are not UTF-8.
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

std::string printable(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0, n = text.size(); i < n;) {
        unsigned char c = s[i];
        size_t length = utf8_length(s + i, n - i);
        // C1 controls (U+0080 to U+009F, CSI among them) steer terminals too.
        bool c1 = length == 2 && c == 0xC2 && s[i + 1] < 0xA0;
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (length == 0 || c1 || c < 0x20 || c == 0x7F) {
            // Each byte of it, as bytes that are not text are shown.
            for (size_t k = 0; k < (c1 ? 2 : 1); ++k)
                out += {'\\', 'x', hex[s[i + k] >> 4], hex[s[i + k] & 15]};
            i += c1 ? 2 : 1;
            continue;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out;
}

std::string json_string(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0, n = text.size(); i < n;) {
        unsigned char c = s[i];
        size_t length = utf8_length(s + i, n - i);
        if (length == 0) {
            out += "\\uFFFD";
            ++i;
        } else if (c == '"' || c == '\\') {
            out += {'\\', static_cast<char>(c)};
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            out += {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out + "\"";
}

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}
