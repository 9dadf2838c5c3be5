#include "link/recording_port.hpp"

namespace recording_port {

std::vector<port_access> accesses;
uint8_t (*status)() = nullptr;

namespace {
bool open(const char *, char *, size_t) { return true; }
const char *close() { return nullptr; }
void set_data(uint8_t value) { accesses.push_back({'W', value, false}); }
uint8_t get_status() {
    uint8_t value = status ? status() : 0;
    accesses.push_back({'R', value, false});
    return value;
}
const port_backend recorder = {"recorder", open, close, set_data, get_status, nullptr};
} // namespace

void install() {
    accesses.clear();
    status = nullptr;
    use_port(&recorder);
}

const port_backend *backend() { return &recorder; }

std::vector<uint8_t> writes() {
    std::vector<uint8_t> out;
    for (auto a : accesses)
        if (a.kind == 'W')
            out.push_back(a.value);
    return out;
}

int reads() {
    int n = 0;
    for (auto a : accesses)
        n += a.kind == 'R';
    return n;
}

} // namespace recording_port
