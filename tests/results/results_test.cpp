#include "results/results.hpp"

#include "measure/words.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Everything written to a scratch file, as bytes.
template <typename F> std::string written_by(F write) {
    std::FILE *file = std::tmpfile();
    write(file);
    std::string bytes(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    return bytes;
}

TEST(results, header_line) {
    EXPECT_EQ(written_by([](std::FILE *f) { write_header(f); }), " Frequency\t  dBm \r\n");
}

TEST(results, records_keep_the_column_layout) {
    EXPECT_EQ(written_by([](std::FILE *f) { write_record(f, word_hz(42949672), -12.345, false); }),
              " 1000000.0\t-12.345  \t        \r\n");
    EXPECT_EQ(written_by([](std::FILE *f) { write_record(f, 62500.0, 14.78199, true); }),
              "  62500.0\t14.782  \tOverflow\r\n");
    EXPECT_EQ(written_by([](std::FILE *f) { write_record(f, 26000000.0, -100.0, false); }),
              " 26000000.0\t-100.000  \t        \r\n");
}

TEST(results, every_record_is_flushed_as_it_is_written) {
    std::FILE *file = std::tmpfile();
    write_header(file);
    write_record(file, 1.0, 0.004, false);
    // The bytes must be in the file itself, not in the stream's buffer.
    int fd = fileno(file);
    char bytes[64];
    ssize_t n = pread(fd, bytes, sizeof bytes, 0);
    EXPECT_EQ(n, 19 + 28);
    std::fclose(file);
}

TEST(results, a_full_disk_is_told_not_passed_over) {
    // The run's status and message for it are the program's (run_test).
    std::FILE *full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(write_header(full));
    EXPECT_FALSE(write_record(full, 1.0, 0.0, false));
    std::fclose(full);
    std::FILE *file = std::tmpfile();
    EXPECT_TRUE(write_header(file));
    EXPECT_TRUE(write_record(file, 1.0, 0.0, false));
    std::fclose(file);
}

TEST(results, a_save_never_takes_the_place_of_what_is_not_a_file) {
    char folder[] = "/tmp/talvik-save-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string fifo = std::string(folder) + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string reason;
    EXPECT_FALSE(save_results(fifo, {{1e6, -3.0, false}}, &reason));
    EXPECT_EQ(reason, fifo + ": not a regular file; name a file to save to");
    struct stat info;
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "left as it was";
    EXPECT_FALSE(save_results(folder, {{1e6, -3.0, false}}, &reason));
    // A file is saved whole, and saved again over itself.
    std::string file = std::string(folder) + "/s.txt";
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(save_results(file, {{1e6, -3.0, false}}, &reason)) << reason;
        std::FILE *in = std::fopen(file.c_str(), "rb");
        char text[100] = "";
        size_t n = std::fread(text, 1, sizeof text - 1, in);
        std::fclose(in);
        EXPECT_EQ(std::string(text, n), " Frequency\t  dBm \r\n 1000000.0\t-3.000  \t        \r\n");
    }
    // Through a link the file it names is saved, and the link stays one.
    std::string link = std::string(folder) + "/link.txt";
    ASSERT_EQ(symlink("s.txt", link.c_str()), 0);
    ASSERT_TRUE(save_results(link, {{2e6, -4.0, false}}, &reason)) << reason;
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    std::FILE *in = std::fopen(file.c_str(), "rb");
    char text[100] = "";
    size_t n = std::fread(text, 1, sizeof text - 1, in);
    std::fclose(in);
    EXPECT_NE(std::string(text, n).find(" 2000000.0\t-4.000"), std::string::npos);
    // A file made read-only is not replaced (root may write anything).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(file.c_str(), 0444), 0);
        EXPECT_FALSE(save_results(file, {{1e6, -3.0, false}}, &reason));
        EXPECT_EQ(reason, file + ": Permission denied");
    }
    std::remove(link.c_str());
    std::remove(file.c_str());
    std::remove(fifo.c_str());
    rmdir(folder);
}

} // namespace

namespace {

// A reference read between its points: the straight line through them, and
// overflowed where either point did.
TEST(results, a_reference_between_its_points) {
    std::vector<level_point> ref = {{1e6, -10, false}, {2e6, -20, false}, {3e6, -40, true}};
    size_t at = 0;
    double level = 0;
    bool overflow = true;
    reference_at(ref, 1.25e6, &at, &level, &overflow);
    EXPECT_DOUBLE_EQ(level, -12.5);
    EXPECT_FALSE(overflow);
    reference_at(ref, 2e6, &at, &level, &overflow);
    EXPECT_DOUBLE_EQ(level, -20);
    EXPECT_FALSE(overflow) << "on a point, only that point's";
    reference_at(ref, 2.5e6, &at, &level, &overflow);
    EXPECT_DOUBLE_EQ(level, -30);
    EXPECT_TRUE(overflow) << "the point after it overflowed";
}

} // namespace
