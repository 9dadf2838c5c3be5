// The simulated instrument behind the port seam: it is reached only through
// the data and status registers, as the real one is.
#include "instrument/sim.hpp"
#include "link/backends.hpp"

namespace {

sim_instrument instrument;

bool sim_open(const char *options, char *reason, size_t reason_size) {
    instrument.reset();
    bool ok = instrument.configure(options, reason, reason_size);
    port_replies_fixed = instrument.fixed_reply();
    return ok;
}

const char *sim_close() { return nullptr; }
void sim_set_data(uint8_t value) { instrument.write(value); }
uint8_t sim_get_status() { return instrument.read(); }

void sim_run_batch(port_access *accesses, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (accesses[i].kind == 'W')
            instrument.write(accesses[i].value);
        else
            accesses[i].value = instrument.read();
    }
}

int sim_read_data() { return instrument.lines(); }

} // namespace

extern const port_backend sim_port = {"sim",         sim_open,       sim_close,     sim_set_data,
                                      sim_get_status, sim_run_batch, nullptr,       nullptr,
                                      nullptr,        sim_read_data};
