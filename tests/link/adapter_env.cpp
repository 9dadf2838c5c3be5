// talvik itself on the FTDI chip's stand-in, for end-to-end runs through an
// adapter: TALVIK_STANDIN sets the chip up before main, as
// "fail_read_after=N,fail_call=reset,slow_every=N,slow_us=N,busy_open=1,type=ft232r".
#include "link/ftdi_chip.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct from_environment {
    from_environment() {
        static std::string call;
        ftdi_standin::settings s;
        const char *text = std::getenv("TALVIK_STANDIN");
        std::string all = text ? text : "";
        for (size_t start = 0; start < all.size();) {
            size_t comma = all.find(',', start);
            if (comma == std::string::npos)
                comma = all.size();
            std::string item = all.substr(start, comma - start);
            size_t eq = item.find('=');
            std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
            int n = std::atoi(value.c_str());
            if (key == "fail_read_after")
                s.fail_read_after = n;
            else if (key == "fail_write_after")
                s.fail_write_after = n;
            else if (key == "slow_every")
                s.slow_every = n;
            else if (key == "slow_us")
                s.slow_us = n;
            else if (key == "fail_call")
                s.fail_call = (call = value).c_str();
            else if (key == "busy_open")
                s.busy_open = n != 0;
            else if (key == "type" && value == "ft232r")
                s.type = ftdi_standin::ft232r;
            else
                std::abort(); // a test's typo, not a setting
            start = comma + 1;
        }
        ftdi_standin::reset(s);
    }
} set_up;

} // namespace
