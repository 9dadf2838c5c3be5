#include "common/clock.hpp"

#include <gtest/gtest.h>

namespace {

int32_t fake_now = 0;
int reads = 0;
int32_t fake_ticks() {
    ++reads;
    return fake_now++; // time moves one tick per look
}

struct fake_clock : ::testing::Test {
    void SetUp() override {
        fake_now = 1000;
        reads = 0;
        set_tick_source(fake_ticks);
    }
    void TearDown() override { set_tick_source(nullptr); }
};

TEST_F(fake_clock, delay_of_zero_or_less_returns_without_reading_the_clock) {
    delay_ticks(0);
    delay_ticks(-7);
    EXPECT_EQ(reads, 0);
}

TEST_F(fake_clock, delay_waits_until_the_clock_reaches_entry_plus_n) {
    delay_ticks(5);
    // Entry read at 1000; polls see 1001..1005 and stop at the first not below 1005.
    EXPECT_EQ(fake_now, 1006);
    EXPECT_EQ(reads, 6);
}

TEST(real_clock, ticks_are_milliseconds_of_wall_time) {
    int32_t before = tick_clock();
    int64_t us_before = micros_since_start();
    delay_ticks(20);
    int32_t after = tick_clock();
    int64_t us_after = micros_since_start();
    EXPECT_GE(after - before, 20);
    EXPECT_GE(us_after - us_before, 19000);
    EXPECT_GE(before, 0);
}

} // namespace
