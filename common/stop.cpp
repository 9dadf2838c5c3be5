#include "common/stop.hpp"

volatile std::sig_atomic_t stop_signal = 0;
void (*last_words)(int sig) = nullptr;
bool (*wait_check)() = nullptr;
volatile std::sig_atomic_t second_stop_ignored = 0;

bool stop_requested(int sig) {
    if (!stop_signal) {
        stop_signal = sig;
        return true;
    }
    if (second_stop_ignored)
        return false;
    if (last_words)
        last_words(sig); // ends the process, now or once its access is traced
    else
        die_by_signal(sig);
    return false;
}
