// The point loop makes no heap allocation: counted by replacing malloc for
// this test program (glibc calls the replacement from inside stdio too).
#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "link/port.hpp"

#include <cstdio>
#include <memory>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
long allocations = 0;
}

extern "C" {
void *malloc(size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}
void *realloc(void *block, size_t size) {
    ++allocations;
    return __libc_realloc(block, size);
}
void *memalign(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **block, size_t alignment, size_t size) {
    ++allocations;
    *block = __libc_memalign(alignment, size);
    return *block ? 0 : 12;
}
void *aligned_alloc(size_t alignment, size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
void free(void *block) { __libc_free(block); }
}

namespace {

// Allocations made by a sweep from 1 MHz to end_hz with the given divisor.
long allocations_of_sweep(int32_t end_hz, int32_t divisor, int *points) {
    std::FILE *results = std::tmpfile();
    std::fputs("warm", results); // the stream's buffer exists before the count
    std::printf("%s", "");
    start_word = static_cast<int32_t>(tuning_word(1000000));
    end_word = static_cast<int32_t>(tuning_word(end_hz));
    step_divisor = divisor;
    long before = allocations;
    run_sweep(results);
    long made = allocations - before;
    *points = static_cast<int>((std::ftell(results) - 4) / 28);
    std::fclose(results);
    return made;
}

TEST(allocations, do_not_grow_with_the_number_of_points) {
    port_error error;
    std::unique_ptr<port_link> link = open_link("sim:busyreads=1", nullptr, &error);
    ASSERT_TRUE(link) << error.text;
    using_link in_use(link.get());
    // The live lines go to /dev/null, as in a redirected run.
    std::fflush(stdout);
    int saved_stdout = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    int few = 0, many = 0;
    long small = allocations_of_sweep(1100000, 20, &few);
    long large = allocations_of_sweep(10000000, 20000, &many);
    std::fflush(stdout);
    dup2(saved_stdout, 1);
    close(null);
    close(saved_stdout);
    EXPECT_EQ(few, 2);
    EXPECT_GT(many, 40000);
    EXPECT_EQ(large, small);
    EXPECT_EQ(large, 0);
}

TEST(allocations, the_counter_counts) {
    long before = allocations;
    void *volatile block = std::malloc(16);
    std::free(block);
    EXPECT_EQ(allocations - before, 1);
}

} // namespace
