#include "app/settings.hpp"
#include "app/sweep.hpp"

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

std::string level_text(uint32_t reply) {
    char text[32];
    std::snprintf(text, sizeof text, "%2.3f", decode_reply(reply).level_dbm);
    return text;
}

TEST(decode, reply_words) {
    auto r = decode_reply(0x3FFF);
    EXPECT_EQ(r.reading, 16383);
    EXPECT_FALSE(r.overflow);
    EXPECT_EQ(r.volts, 2.46955f);
    r = decode_reply(0xC000);
    EXPECT_EQ(r.reading, -16384);
    EXPECT_FALSE(r.overflow);
    r = decode_reply(0x4000);
    EXPECT_EQ(r.reading, 0);
    EXPECT_TRUE(r.overflow);
    r = decode_reply(0x8000);
    EXPECT_EQ(r.reading, -16384);
    EXPECT_TRUE(r.overflow);
    EXPECT_EQ(decode_reply(0xFFFF).reading, -1);
}

TEST(decode, levels) {
    EXPECT_EQ(level_text(13932), "0.004");
    EXPECT_EQ(level_text(13931), "-0.002");
    EXPECT_EQ(level_text(16383), "14.782");
    EXPECT_EQ(level_text(14000), "0.414");
    EXPECT_EQ(level_text(12000), "-11.645");
    EXPECT_EQ(level_text(0), "-84.000");
    EXPECT_EQ(level_text(0xC000), "-182.788");
}

TEST(steps, low_band_delay_is_five_periods) {
    EXPECT_EQ(low_band_delay(2684354), 0); // 62500 Hz
    EXPECT_EQ(low_band_delay(42949), 5);   // 1 kHz
    EXPECT_EQ(low_band_delay(4294), 50);   // 100 Hz
    EXPECT_EQ(low_band_delay(42), 5113);   // 1 Hz
}

TEST(steps, next_word_is_formed_wide) {
    EXPECT_EQ(next_word(42949672, 20), 45097155);
    EXPECT_EQ(next_word(42, 42), 43);
    EXPECT_EQ(next_word(1116691490, 1), 2233382980LL);
    EXPECT_GT(next_word(INT32_MAX, 1), INT32_MAX);
}

} // namespace
