// The simulated instrument behind the port seam: it is reached only through
// the data and status registers, as the real one is.
#include "instrument/sim.hpp"
#include "link/backends.hpp"

namespace {

sim_instrument &sim(void *self) { return *static_cast<sim_instrument *>(self); }

void *sim_open(const char *options, const port_notes &, char *reason, size_t reason_size) {
    auto *instrument = new sim_instrument;
    if (!instrument->configure(options, reason, reason_size)) {
        delete instrument;
        return nullptr;
    }
    return instrument;
}

bool sim_close(void *self, char *, size_t) {
    delete &sim(self);
    return true;
}

bool sim_set_data(void *self, uint8_t value, port_fault *) {
    sim(self).write(value);
    return true;
}

bool sim_get_status(void *self, uint8_t *value, port_fault *) {
    *value = sim(self).read();
    return true;
}

bool sim_run_batch(void *self, port_access *accesses, size_t count, port_fault *) {
    sim_instrument &instrument = sim(self);
    for (size_t i = 0; i < count; ++i) {
        if (accesses[i].kind == access_kind::write)
            instrument.write(accesses[i].value);
        else
            accesses[i].value = instrument.read();
    }
    return true;
}

bool sim_read_data(void *self, int *value, port_fault *) {
    *value = sim(self).lines();
    return true;
}
bool sim_replies_fixed(void *self) { return sim(self).fixed_reply(); }

} // namespace

extern const port_backend sim_port = {
    .name = "sim",
    .wiring = port_wiring::parallel_port, // as the simulated registers are
    .open = sim_open,
    .close = sim_close,
    .set_data = sim_set_data,
    .get_status = sim_get_status,
    .run_batch = sim_run_batch,
    .read_data = sim_read_data,
    .replies_fixed = sim_replies_fixed,
};
