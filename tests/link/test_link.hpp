// A link a test opens for itself: the_link while it lives, closed and the
// link before it put back when it goes.
#pragma once
#include "app/settings.hpp"
#include "link/port.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>

struct test_link {
    std::unique_ptr<port_link> link;
    port_link *before = the_link;
    port_error error;

    // Through the port table, as the programs open it.
    explicit test_link(const char *setting, const char *trace = nullptr, bool set_idle = true)
        : link(open_link(setting, trace, &error, set_idle)) {
        the_link = link.get();
    }
    // A backend of the test's own.
    test_link(const port_backend *backend, const char *arg)
        : link(open_backend(backend, arg, backend->name, &error)) {
        the_link = link.get();
    }
    ~test_link() {
        if (link)
            (void)link->close(&error);
        the_link = before;
    }
    test_link(const test_link &) = delete;
    test_link &operator=(const test_link &) = delete;

    explicit operator bool() const { return link != nullptr; }
    // The status close ends with: 0, or the error's.
    int close() { return link ? link->close(&error) : error.status; }
    std::string failure() const { return link && link->error() ? link->error().text : ""; }
};

// Sets the sweep's settings for a scope, and puts the ones before back.
struct sweep_settings {
    int32_t start = start_word, end = end_word, divisor = step_divisor;
    sweep_settings(int32_t from, int32_t to, int32_t step) {
        start_word = from;
        end_word = to;
        step_divisor = step;
    }
    ~sweep_settings() {
        start_word = start;
        end_word = end;
        step_divisor = divisor;
    }
    sweep_settings(const sweep_settings &) = delete;
    sweep_settings &operator=(const sweep_settings &) = delete;
};

