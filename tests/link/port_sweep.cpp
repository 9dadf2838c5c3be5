#include "link/port_sweep.hpp"

#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/port.hpp"

#include <cstdio>
#include <gtest/gtest.h>

std::string default_sweep_through(const char *setting, const std::string &path) {
    open_port(setting, nullptr);
    start_word = 42949672;
    end_word = 429496729;
    step_divisor = 20;
    std::FILE *file = path.empty() ? std::tmpfile() : std::fopen(path.c_str(), "wb+");
    run_sweep(file);
    EXPECT_EQ(close_port(), 0);
    std::rewind(file);
    char text[4096];
    std::string bytes(text, std::fread(text, 1, sizeof text, file));
    std::fclose(file);
    return bytes;
}
