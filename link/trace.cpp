#include "link/trace.hpp"

#include "common/clock.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>

bool tracing = false;

namespace {

std::FILE *trace_file = nullptr;
bool vcd = false;
int64_t last_time = 0;
int last_data = -1;   // unknown until the first write
int last_status = -1; // unknown until the first read

// Signal identifiers: D0..D7, then S6 and S7.
const char data_ids[] = "!\"#$%&'(";
const char status_ids[] = ")*";

void vcd_header() {
    std::fputs("$version talvik port trace $end\n"
               "$timescale 1us $end\n"
               "$scope module port $end\n",
               trace_file);
    for (int bit = 0; bit < 8; ++bit)
        std::fprintf(trace_file, "$var wire 1 %c D%d $end\n", data_ids[bit], bit);
    std::fprintf(trace_file, "$var wire 1 %c S6 $end\n$var wire 1 %c S7 $end\n", status_ids[0],
                 status_ids[1]);
    std::fputs("$upscope $end\n$enddefinitions $end\n", trace_file);
}

// Emits the lines whose value changed; bits lists the register bits traced.
void vcd_changes(int before, uint8_t now, const int *bits, const char *ids, int count) {
    for (int i = 0; i < count; ++i) {
        int mask = 1 << bits[i];
        if (before < 0 || ((before ^ now) & mask)) {
            std::putc((now & mask) ? '1' : '0', trace_file);
            std::putc(ids[i], trace_file);
            std::putc('\n', trace_file);
        }
    }
}

void vcd_access(char kind, uint8_t value) {
    static const int data_bits[] = {0, 1, 2, 3, 4, 5, 6, 7};
    static const int status_bits[] = {6, 7};
    // Every access gets a time of its own so that no edge is lost.
    int64_t now = micros_since_start();
    if (now <= last_time)
        now = last_time + 1;
    last_time = now;
    std::fprintf(trace_file, "#%lld\n", static_cast<long long>(now));
    // The first access gives the lines their first values; a line not yet
    // seen is unknown rather than a made-up level that would fake an edge.
    bool first = last_data < 0 && last_status < 0;
    if (first)
        std::fputs("$dumpvars\n", trace_file);
    if (kind == 'W') {
        vcd_changes(last_data, value, data_bits, data_ids, 8);
        last_data = value;
        if (first)
            std::fprintf(trace_file, "x%c\nx%c\n", status_ids[0], status_ids[1]);
    } else {
        if (first)
            for (char id : std::string_view(data_ids))
                std::fprintf(trace_file, "x%c\n", id);
        vcd_changes(last_status, value, status_bits, status_ids, 2);
        last_status = value;
    }
    if (first)
        std::fputs("$end\n", trace_file);
}

void text_access(char kind, uint8_t value) {
    static const char hex[] = "0123456789ABCDEF";
    // Formatted by hand: a trace line is written for every port access.
    char line[32];
    char *end = line + sizeof line;
    char *p = end;
    *--p = '\n';
    *--p = hex[value & 15];
    *--p = hex[value >> 4];
    *--p = ' ';
    *--p = kind;
    *--p = ' ';
    uint64_t us = static_cast<uint64_t>(micros_since_start());
    do {
        *--p = static_cast<char>('0' + us % 10);
        us /= 10;
    } while (us);
    std::fwrite(p, 1, static_cast<size_t>(end - p), trace_file);
}

} // namespace

bool start_trace(const char *path) {
    trace_file = std::fopen(path, "wb");
    if (!trace_file)
        return false;
    size_t length = std::strlen(path);
    vcd = length >= 4 && std::strcmp(path + length - 4, ".vcd") == 0;
    if (vcd)
        vcd_header();
    tracing = true;
    return true;
}

void trace_access(char kind, uint8_t value) {
    if (vcd)
        vcd_access(kind, value);
    else
        text_access(kind, value);
}

void stop_trace() {
    tracing = false;
    if (trace_file)
        std::fclose(trace_file);
    trace_file = nullptr;
    vcd = false;
    last_time = 0;
    last_data = last_status = -1;
}
