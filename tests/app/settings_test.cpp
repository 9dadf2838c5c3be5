#include "app/settings.hpp"
#include "common/number.hpp"

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

TEST(read_int, follows_atoi) {
    EXPECT_EQ(read_int("1000000"), 1000000);
    EXPECT_EQ(read_int("  \t+42"), 42);
    EXPECT_EQ(read_int("-17"), -17);
    EXPECT_EQ(read_int("10MHz"), 10);
    EXPECT_EQ(read_int("abc"), 0);
    EXPECT_EQ(read_int(""), 0);
    EXPECT_EQ(read_int("- 5"), 0);
    EXPECT_EQ(read_int("2147483647"), INT32_MAX);
    EXPECT_EQ(read_int("-2147483648"), INT32_MIN);
}

TEST(read_int, saturates_instead_of_wrapping) {
    EXPECT_EQ(read_int("4294967297"), INT32_MAX); // wraps to 1 with glibc's atoi
    EXPECT_EQ(read_int("2147483648"), INT32_MAX);
    EXPECT_EQ(read_int("-2147483649"), INT32_MIN);
    EXPECT_EQ(read_int("99999999999999999999999999"), INT32_MAX);
    EXPECT_EQ(read_int("-99999999999999999999999999x"), INT32_MIN);
}

TEST(tuning, start_up_values) {
    EXPECT_EQ(tw_per_hz, 42.94967269897461f);
    EXPECT_EQ(static_cast<double>(tw_per_hz), 42.94967269897461);
    EXPECT_EQ(start_word, 42949672);
    EXPECT_EQ(end_word, 429496726);
    EXPECT_EQ(step_divisor, 20);
}

TEST(tuning, words_truncate_toward_zero_without_wrapping) {
    EXPECT_EQ(tuning_word(1), 42);
    EXPECT_EQ(tuning_word(30000000), 1288490180);
    EXPECT_EQ(tuning_word(30000001), 1288490223);
    EXPECT_EQ(tuning_word(-1), -42);
    EXPECT_EQ(tuning_word(INT32_MAX), 92233719765LL);
}

TEST(tuning, words_shown_in_hertz) {
    char text[32];
    std::snprintf(text, sizeof text, "%8.1f", word_hz(42949672));
    EXPECT_STREQ(text, "1000000.0");
    EXPECT_NEAR(word_hz(42949672), 999999.98, 0.005);
}

} // namespace
