#include "cal/answer.hpp"

#include "common/stop.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

// Polled, so that Control-C ends the wait at once (the stop handlers restart
// a plain read).
bool read_answer(std::string *line) {
    line->clear();
    for (;;) {
        if (stop_signal)
            return false;
        pollfd in = {0, POLLIN, 0};
        int ready = poll(&in, 1, 100);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        char c = 0;
        ssize_t n = read(0, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line->empty(); // a last answer without its newline still counts
        if (c == '\n') {
            if (!line->empty() && line->back() == '\r') // typed on Windows
                line->pop_back();
            return true;
        }
        if (line->size() < 200) // a line is bounded; the rest is let go
            *line += c;
    }
}
