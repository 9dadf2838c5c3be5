#include "link/port_sweep.hpp"

#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/port.hpp"
#include "link/test_link.hpp"

#include <cstdio>
#include <gtest/gtest.h>

std::string default_sweep_through(const char *setting, const std::string &path,
                                  std::string *failure) {
    test_link link(setting);
    EXPECT_TRUE(link) << link.error.text;
    if (!link)
        return "(no link: " + std::string(link.error.text) + ")";
    sweep_settings band(42949672, 429496729, 20);
    std::FILE *file = path.empty() ? std::tmpfile() : std::fopen(path.c_str(), "wb+");
    EXPECT_TRUE(run_sweep(file));
    if (failure)
        *failure = link.failure();
    else
        EXPECT_EQ(link.failure(), "");
    EXPECT_EQ(link.close(), 0);
    std::rewind(file);
    char text[4096];
    std::string bytes(text, std::fread(text, 1, sizeof text, file));
    std::fclose(file);
    return bytes;
}
