#include "link/recording_port.hpp"

namespace recording_port {

std::vector<port_access> accesses;
uint8_t (*status)() = nullptr;

namespace {
int token;
void *open(const char *, const port_notes &, char *, size_t) { return &token; }
bool close(void *, char *, size_t) { return true; }
bool set_data(void *, uint8_t value, port_fault *) {
    accesses.push_back({access_kind::write, value, false});
    return true;
}
bool get_status(void *, uint8_t *value, port_fault *) {
    *value = status ? status() : 0;
    accesses.push_back({access_kind::read, *value, false});
    return true;
}
const port_backend recorder = {
    .name = "recorder",
    .open = open,
    .close = close,
    .set_data = set_data,
    .get_status = get_status,
};
std::unique_ptr<port_link> link;
port_link *before = nullptr;
} // namespace

void install() {
    if (!link)
        before = the_link;
    port_error error;
    link = open_backend(&recorder, "", "recorder", &error);
    the_link = link.get();
    accesses.clear();
    status = nullptr;
}

void uninstall() {
    link.reset();
    the_link = before;
}

const port_backend *backend() { return &recorder; }

std::vector<uint8_t> writes() {
    std::vector<uint8_t> out;
    for (auto a : accesses)
        if (a.kind == access_kind::write)
            out.push_back(a.value);
    return out;
}

int reads() {
    int n = 0;
    for (auto a : accesses)
        n += a.kind == access_kind::read;
    return n;
}

} // namespace recording_port
