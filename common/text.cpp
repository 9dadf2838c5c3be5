#include "common/text.hpp"

std::string printable(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F)
            out += {'\\', 'x', hex[c >> 4], hex[c & 15]};
        else
            out += ch;
    }
    return out;
}
