// talvik-tune: sweeps again and again, with a live plot and live markers.
#include "common/files.hpp"
#include "link/link.hpp"
#include "link/port.hpp"
#include "plot/sweep_file.hpp"
#include "tune/tune.hpp"
#include "tune/view.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t quit = 0;
void on_quit(int) { quit = 1; }

using steady = std::chrono::steady_clock;
constexpr auto frame = std::chrono::milliseconds(33); // at most 30 redraws a second

int refuse(const std::string &reason) {
    std::fprintf(stderr, "talvik-tune: %s\n%s", reason.c_str(), tune_usage);
    return 2;
}

std::vector<level_point> raw(const std::vector<tune_point> &points) {
    return against(points, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    protect_std_streams();
    tune_settings settings;
    std::string reason;
    bool done = false;
    if (!read_tune_settings(argc, argv, &settings, &reason, &done))
        return refuse(reason);
    if (done)
        return 0;
    std::vector<level_point> reference;
    bool have_reference = false;
    if (!settings.reference.empty()) {
        sweep ref;
        if (!read_sweep(settings.reference, ref, reason))
            return refuse(reason);
        if (ref.points.empty())
            return refuse(settings.reference + ": no points");
        reference = ref.points;
        have_reference = true;
    }

    open_port(std::getenv("TALVIK_PORT"), std::getenv("TALVIK_TRACE"));
    // After the port: a trace's own handler is replaced; the trace is still
    // closed whole at exit.
    std::signal(SIGINT, on_quit);
    std::signal(SIGTERM, on_quit);
    bool screen = isatty(STDOUT_FILENO);
    converter_start();

    std::vector<int32_t> words = sweep_words(settings);
    std::vector<tune_point> current(words.size()), last;
    view_state view;
    view.settings = &settings;
    if (screen)
        view_start();
    auto last_frame = steady::now() - frame;
    auto sweep_started = steady::now();
    long sweeps = 0;
    bool paused = false;

    auto handle = [&](int key) {
        if (key == 'q' || key == 'Q')
            quit = 1;
        else if (key == ' ')
            paused = !paused;
        else if (key == 'r' && !last.empty()) {
            reference = raw(last);
            have_reference = true;
            view.message = "reference: the last sweep";
        } else if (key == 'R') {
            have_reference = false;
            view.message = "reference dropped";
        } else if (key == 's') {
            if (last.empty()) {
                view.message = "nothing to save yet: no sweep is complete";
            } else {
                std::string name = settings.save.empty() ? default_save_name() : settings.save;
                view.message =
                    save_sweep(name, last, &reason) ? "saved " + name : "cannot save: " + reason;
            }
        }
        return key != -1;
    };
    auto draw = [&](size_t measured) {
        const std::vector<level_point> *ref = have_reference ? &reference : nullptr;
        view.current = against(
            std::vector<tune_point>(current.begin(), current.begin() + static_cast<long>(measured)),
            ref);
        view.current_timed_out.assign(measured, false);
        for (size_t i = 0; i < measured; ++i)
            view.current_timed_out[i] = current[i].timed_out;
        view.last = against(last, ref);
        view.last_timed_out.assign(last.size(), false);
        for (size_t i = 0; i < last.size(); ++i)
            view.last_timed_out[i] = last[i].timed_out;
        view.against_reference = have_reference;
        view.paused = paused;
        view.sweeps = sweeps;
        view_draw(view);
        last_frame = steady::now();
    };

    while (!quit && (settings.sweeps == 0 || sweeps < settings.sweeps)) {
        for (size_t i = 0; i < words.size() && !quit; ++i) {
            current[i] = measure_tune_point(words[i], settings.average);
            if (!screen)
                continue;
            while (handle(view_key(0))) {
            }
            while (paused && !quit) {
                draw(i + 1);
                handle(view_key(100));
            }
            if (steady::now() - last_frame >= frame)
                draw(i + 1);
        }
        if (quit)
            break;
        last = current;
        ++sweeps;
        auto now = steady::now();
        view.sweeps_per_second = 1.0 / std::chrono::duration<double>(now - sweep_started).count();
        sweep_started = now;
        const std::vector<level_point> *ref = have_reference ? &reference : nullptr;
        const char *unit = have_reference ? "dB" : "dBm";
        if (screen) {
            view_fit_levels(&view, against(last, ref));
            view.markers = marker_summary(against(last, ref), unit, 1, 2);
            if (steady::now() - last_frame >= frame)
                draw(0);
        } else {
            std::printf("sweep %ld: %s\n", sweeps,
                        marker_summary(against(last, ref), unit, 0, 99).c_str());
            std::fflush(stdout);
        }
    }
    if (screen)
        view_stop();
    if (!screen && !settings.save.empty() && !last.empty() &&
        !save_sweep(settings.save, last, &reason)) {
        std::fprintf(stderr, "talvik-tune: cannot save: %s\n", reason.c_str());
        return 1;
    }
    if (!close_port())
        return 1;
    return 0;
}
