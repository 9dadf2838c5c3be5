#include "cal/answer.hpp"

#include "common/stop.hpp"

#include <cstdio>
#include <cstring>

bool read_answer(std::string *line) {
    char text[256];
    if (stop_signal || !std::fgets(text, sizeof text, stdin) || stop_signal)
        return false;
    text[std::strcspn(text, "\r\n")] = '\0';
    *line = text;
    return true;
}
