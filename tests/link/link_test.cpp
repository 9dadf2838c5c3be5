#include "app/settings.hpp"
#include "app/sweep.hpp"
#include "common/clock.hpp"
#include "link/backends.hpp"
#include "link/link.hpp"
#include "link/recording_port.hpp"
#include "link/test_link.hpp"
#include "link/trace.hpp"
#include "run_program.hpp"
#include "common/stop.hpp"

#include <algorithm>
#include <climits>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using recording_port::accesses;

int32_t fake_now = 0;
int clock_reads = 0;
int32_t fake_ticks() {
    ++clock_reads;
    return fake_now++;
}

struct link_test : ::testing::Test {
    void SetUp() override {
        recording_port::install();
        fake_now = 0;
        clock_reads = 0;
        set_tick_source(fake_ticks);
    }
    void TearDown() override {
        set_tick_source(nullptr);
        recording_port::uninstall();
    }
};

// The three writes that send one synthesizer bit.
std::vector<uint8_t> bit_group(int b) {
    return {static_cast<uint8_t>(0xF0 | b), static_cast<uint8_t>(0xF2 | b),
            static_cast<uint8_t>(0xF0 | b)};
}

std::vector<uint8_t> load_of(uint64_t bits40) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 40; ++i) {
        auto g = bit_group(static_cast<int>((bits40 >> i) & 1));
        out.insert(out.end(), g.begin(), g.end());
    }
    out.push_back(0xF4);
    out.push_back(0xF0);
    return out;
}

TEST_F(link_test, only_the_low_byte_reaches_the_port) {
    write_data(0xFFFFFF8F);
    EXPECT_EQ(recording_port::writes(), std::vector<uint8_t>{0x8F});
}

TEST_F(link_test, synthesizer_load_of_word_5) {
    load_synthesizer(5, 0);
    auto w = recording_port::writes();
    ASSERT_EQ(w.size(), 122u);
    EXPECT_EQ(std::vector<uint8_t>(w.begin(), w.begin() + 9),
              (std::vector<uint8_t>{0xF1, 0xF3, 0xF1, 0xF0, 0xF2, 0xF0, 0xF1, 0xF3, 0xF1}));
    EXPECT_EQ(w, load_of(5));
    EXPECT_EQ(recording_port::reads(), 0);
}

TEST_F(link_test, synthesizer_load_sends_the_sign_bit_last_and_only_8_control_bits) {
    load_synthesizer(INT32_MIN, 0);
    EXPECT_EQ(recording_port::writes(), load_of(0x80000000ull));
    recording_port::install();
    load_synthesizer(0, 0x1FF);
    EXPECT_EQ(recording_port::writes(), load_of(0xFFull << 32));
    recording_port::install();
    load_synthesizer(-1, 0x5A);
    EXPECT_EQ(recording_port::writes(), load_of(0x5AFFFFFFFFull));
}

TEST_F(link_test, exchange_of_the_measure_command) {
    converter_exchange(0x8710);
    auto w = recording_port::writes();
    ASSERT_EQ(w.size(), 50u);
    EXPECT_EQ(w.front(), 0xAF);
    EXPECT_EQ(w.back(), 0xEF);
    const uint8_t seconds[16] = {0x9F, 0x8F, 0x8F, 0x8F, 0x8F, 0x9F, 0x9F, 0x9F,
                                 0x8F, 0x8F, 0x8F, 0x9F, 0x8F, 0x8F, 0x8F, 0x8F};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(w[1 + 3 * i], 0x8F) << i;
        EXPECT_EQ(w[2 + 3 * i], seconds[i]) << i;
        EXPECT_EQ(w[3 + 3 * i], seconds[i] | 0x20) << i;
    }
    // Each bit's status read follows the clock's rising edge; then one ready poll.
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(accesses[4 * i + 4].kind, access_kind::read) << i;
    EXPECT_EQ(recording_port::reads(), 17);
}

TEST_F(link_test, reply_bits_come_from_status_bit_6) {
    recording_port::status = [] { return uint8_t{0x40}; };
    EXPECT_EQ(converter_exchange(0x8710), 0xFFFFu);
    recording_port::status = [] { return uint8_t{0xBF}; }; // every bit but 6
    EXPECT_EQ(converter_exchange(0x8710), 0u);
    // A pattern: bit 6 set on every other read, most significant bit first.
    static int n;
    n = 0;
    recording_port::status = [] { return static_cast<uint8_t>(n++ % 2 == 0 ? 0x40 : 0); };
    EXPECT_EQ(converter_exchange(0x8710), 0xAAAAu);
}

TEST_F(link_test, ready_at_first_poll_ends_the_wait_without_looking_at_the_clock_again) {
    converter_exchange(0x8710);
    EXPECT_EQ(clock_reads, 1);
    EXPECT_EQ(accesses.back(), (port_access{access_kind::read, 0x00, false}));
}

TEST_F(link_test, ready_wait_gives_up_after_more_than_220_ticks) {
    recording_port::status = [] { return uint8_t{0x80}; };
    converter_exchange(0x8710);
    // t0 = 0; polls see ticks 1, 2, ... and the wait stops at the first above 220.
    EXPECT_EQ(fake_now, 222);
    EXPECT_EQ(recording_port::reads(), 16 + 221);
}

TEST_F(link_test, start_up_sends_three_words_and_waits_for_ready) {
    static int polls;
    polls = 0;
    recording_port::status = [] { return static_cast<uint8_t>(polls++ % 3 == 2 ? 0 : 0x80); };
    converter_start();
    auto w = recording_port::writes();
    ASSERT_EQ(w.size(), 150u);
    // Commands read back from the data lines: 0x871C, 0x8718, 0x8714.
    for (int word = 0; word < 3; ++word) {
        uint32_t command = 0;
        for (int i = 0; i < 16; ++i)
            command = (command << 1) | ((w[50 * word + 3 + 3 * i] & 0x10) ? 1 : 0);
        EXPECT_EQ(command, start_up_words[word]);
    }
    EXPECT_EQ(start_up_words[0], 0x871Cu);
    EXPECT_EQ(start_up_words[1], 0x8718u);
    EXPECT_EQ(start_up_words[2], 0x8714u);
    EXPECT_EQ(accesses.back(), (port_access{access_kind::read, 0x00, false}));
}

TEST_F(link_test, a_converter_that_never_gets_ready_ends_the_run) {
    recording_port::status = [] { return uint8_t{0x80}; };
    converter_start();
    ASSERT_NE(link_failure(), nullptr);
    EXPECT_EQ(link_failure()->status, 4);
    EXPECT_STREQ(link_failure()->text, "Converter not ready - check the instrument");
    // Nothing more reaches the port once the run has failed.
    size_t before = accesses.size();
    converter_exchange(measure_command);
    EXPECT_EQ(accesses.size(), before);
}

// What reaches the simulated instrument, through its batch operation or
// without it, one access at a time.
std::vector<port_access> wire;
void *spy_open(const char *arg, const port_notes &notes, char *reason, size_t size) {
    return sim_port.open(arg, notes, reason, size);
}
bool spy_set_data(void *sim, uint8_t value, port_fault *fault) {
    wire.push_back({access_kind::write, value, false});
    return sim_port.set_data(sim, value, fault);
}
bool spy_get_status(void *sim, uint8_t *value, port_fault *fault) {
    bool ok = sim_port.get_status(sim, value, fault);
    wire.push_back({access_kind::read, *value, false});
    return ok;
}
bool spy_run_batch(void *sim, port_access *accesses, size_t count, port_fault *fault) {
    bool ok = sim_port.run_batch(sim, accesses, count, fault);
    wire.insert(wire.end(), accesses, accesses + count);
    return ok;
}

std::vector<port_access> accesses_of_sweep(bool batched, std::string *results) {
    const port_backend spy = {.name = "spy",
                              .open = spy_open,
                              .close = sim_port.close,
                              .set_data = spy_set_data,
                              .get_status = spy_get_status,
                              .run_batch = batched ? spy_run_batch : nullptr};
    test_link link(&spy, "busy=0");
    wire.clear();
    sweep_settings band(42949672, 64424508, step_divisor); // 1 to 1.5 MHz: 9 points
    std::FILE *file = std::tmpfile();
    EXPECT_TRUE(run_sweep(file));
    std::rewind(file);
    char text[4096] = "";
    results->assign(text, std::fread(text, 1, sizeof text, file));
    std::fclose(file);
    return wire;
}

TEST(port_batches, a_sweep_sends_the_same_accesses_with_or_without_the_batch_operation) {
    std::string batched_results, single_results;
    auto batched = accesses_of_sweep(true, &batched_results);
    auto single = accesses_of_sweep(false, &single_results);
    EXPECT_GT(batched.size(), 9u * 256);
    EXPECT_EQ(batched, single);
    EXPECT_EQ(batched_results, single_results);
    EXPECT_EQ(std::count(batched_results.begin(), batched_results.end(), '\n'), 9);
}

TEST_F(link_test, a_sweep_of_readings_that_cannot_be_real_is_said_so) {
    sweep_settings band(42949672, end_word, 20); // from 1 MHz
    auto sweep = [](int32_t end) {
        end_word = end;
        std::FILE *file = std::tmpfile();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(run_sweep(file));
        testing::internal::GetCapturedStdout();
        std::fclose(file);
        return testing::internal::GetCapturedStderr();
    };
    const std::string same =
        "every reading was the same (reply 0x0000): is the instrument on and connected?\n";
    // Nothing answers: every status reads 0, ready, and every reply is 0;
    // busy never showed, said first. Two points are too few to tell.
    for (int32_t end : {45097156 + 1, 47352014}) { // 2 points, then 3
        std::string said = sweep(end);
        EXPECT_EQ(tally.points, end == 47352014 ? 3 : 2);
        EXPECT_EQ(said, tally.points < 3 ? ""
                                         : "busy never showed during the sweep: readings may have "
                                           "been taken before the conversion ended (pin 11)\n" +
                                               same);
    }
    // Busy shows for a few reads of the whole sweep, one wait's polls among
    // them (some 17 reads an exchange): the converter was seen converting.
    static int reads;
    reads = 0;
    recording_port::status = [] {
        ++reads;
        return static_cast<uint8_t>(reads >= 100 && reads < 110 ? status_busy : 0);
    };
    EXPECT_EQ(sweep(47352014), same);
    EXPECT_GT(reads, 130);
    // Points answering 0xFFFF (their data line held high) among the rest's
    // 0x0000: 9 of 10 the same is said, 17 of 20 is not.
    static int odd_points;
    for (auto [points, odd] : {std::pair{10, 1}, {20, 3}}) {
        int32_t end = 42949672;
        for (int i = 0; i < points; ++i)
            end = static_cast<int32_t>(next_word(end, 20));
        reads = 0;
        odd_points = odd;
        recording_port::status = [] {
            // Start-up: 3 exchanges of 16 reads, a poll each and one more
            // after; then 34 reads a point.
            int at = ++reads - 54 - 1, point = at / 34;
            bool high = at >= 0 && point < odd_points;
            return static_cast<uint8_t>(high ? status_data : 0);
        };
        std::string said = sweep(end);
        EXPECT_EQ(tally.points, points);
        EXPECT_EQ(said.find("9 of 10 readings were the same (reply 0x0000, -84.000 dBm)") !=
                      std::string::npos,
                  points == 10)
            << said;
        EXPECT_EQ(said.find("readings were the same") != std::string::npos, points == 10) << said;
    }
}

TEST(port_table, every_built_backend_and_bare_form_is_found_by_its_kind) {
    for (size_t i = 0; i < built_port_backend_count; ++i) {
        const port_backend *backend = built_port_backends[i];
        const char *arg = nullptr;
        const port_kind *kind = kind_for(backend->name, &arg);
        ASSERT_NE(kind, nullptr) << backend->name;
        EXPECT_STREQ(kind->name, backend->name);
        EXPECT_EQ(backend_of(kind), backend);
        EXPECT_STREQ(arg, "");
        std::string with_arg = std::string(backend->name) + ":x";
        EXPECT_EQ(kind_for(with_arg.c_str(), &arg), kind);
        EXPECT_STREQ(arg, "x");
    }
    struct {
        const char *setting, *kind, *arg;
    } bare[] = {{"/dev/parport0", "ppdev", "/dev/parport0"},
                {"0x378", "io", "0x378"},
                {"888", "io", "888"},
                {"", "sim", ""}};
    for (auto b : bare) {
        const char *arg = nullptr;
        const port_kind *kind = kind_for(b.setting, &arg);
        ASSERT_NE(kind, nullptr) << b.setting;
        EXPECT_STREQ(kind->name, b.kind) << b.setting;
        EXPECT_STREQ(arg, b.arg);
    }
    const char *arg = nullptr;
    EXPECT_EQ(kind_for("ftdix", &arg), nullptr);
    EXPECT_EQ(kind_for("lpt1", &arg), nullptr);
}

// A port whose batch is cut in two by a stop signal.
int interrupted_token;
bool signal_mid_batch(void *, port_access *accesses, size_t count, port_fault *) {
    for (size_t i = 0; i < count; ++i) {
        if (i == count / 2)
            std::raise(SIGTERM);
        if (accesses[i].kind == access_kind::read)
            accesses[i].value = 0x40;
    }
    return true;
}
const port_backend interrupted = {
    .name = "interrupted",
    .open = [](const char *, const port_notes &, char *, size_t) -> void * {
        return &interrupted_token;
    },
    .close = [](void *, char *, size_t) { return true; },
    .set_data = [](void *, uint8_t, port_fault *) { return true; },
    .get_status = [](void *, uint8_t *value, port_fault *) {
        *value = 0;
        return true;
    },
    .run_batch = signal_mid_batch};

TEST(port_batches_death, a_signal_mid_batch_leaves_the_whole_batch_in_the_trace) {
    temp_dir dir;
    std::string trace = dir.file("t.txt");
    // The second stop signal ends the run at once: it waits for the batch's
    // trace lines all the same.
    EXPECT_EXIT(
        {
            catch_stop_requests();
            stop_signal = SIGINT;
            test_link link(&interrupted, "");
            if (!link.link->start_trace(trace.c_str()))
                std::exit(99);
            converter_exchange(measure_command);
            std::exit(98);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    std::string text = read_file(trace);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 50 + 16) << text;
}

} // namespace

namespace {

TEST(port_seam, an_incomplete_backend_is_refused_by_name_before_it_opens) {
    port_backend half = *recording_port::backend();
    half.submit = [](void *, port_batch *, port_fault *) { return true; };
    port_error error;
    EXPECT_EQ(open_backend(&half, "", "half", &error), nullptr);
    EXPECT_STREQ(error.text, "Can't open port half: submit and finish come both or neither");
    EXPECT_EQ(error.status, 4);
    port_backend blind = *recording_port::backend();
    blind.get_status = nullptr;
    EXPECT_EQ(open_backend(&blind, "", "blind", &error), nullptr);
    EXPECT_NE(std::string(error.text).find("get_status are required"), std::string::npos);
    for (size_t i = 0; i < built_port_backend_count; ++i)
        EXPECT_EQ(backend_incomplete(*built_port_backends[i]), nullptr)
            << built_port_backends[i]->name;
}

TEST(port_seam, a_batch_past_its_capacity_is_never_sent) {
    recording_port::install();
    port_batch batch;
    for (size_t i = 0; i < port_batch::capacity; ++i)
        batch.write(0xF0);
    EXPECT_FALSE(batch.overfull);
    batch.write(0xF1);
    EXPECT_TRUE(batch.overfull);
    EXPECT_EQ(batch.count, port_batch::capacity);
    run_batch(batch);
    EXPECT_TRUE(recording_port::accesses.empty()) << "not a single access of it";
    ASSERT_NE(link_failure(), nullptr);
    EXPECT_EQ(link_failure()->status, 4);
    recording_port::uninstall();
}

} // namespace
