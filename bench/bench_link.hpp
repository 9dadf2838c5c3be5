// The link a benchmark runs on: opened through the port table, as the
// programs open it, and the_link until the next one or the end.
#pragma once
#include "link/port.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

inline std::unique_ptr<port_link> &bench_link() {
    static std::unique_ptr<port_link> link;
    return link;
}

inline void bench_open(const char *setting, const char *trace = nullptr) {
    bench_link().reset();
    port_error error;
    bench_link() = open_link(setting, trace, &error);
    the_link = bench_link().get();
    if (!the_link) {
        std::fprintf(stderr, "%s\n", error.text);
        std::abort();
    }
}

inline int bench_close() {
    port_error error;
    int status = bench_link() ? bench_link()->close(&error) : 0;
    bench_link().reset();
    the_link = nullptr;
    return status;
}
