// A results file saved whole, as every file the programs keep is: written
// beside its name and renamed into place (common/files.hpp).
#include "results/results.hpp"

#include "common/files.hpp"

bool save_results(const std::string &name, const std::vector<level_point> &points,
                  std::string *reason, bool *taken) {
    std::string text = results_header;
    char line[128];
    for (const auto &p : points) {
        int length = format_record(line, sizeof line, p.hz, p.level, p.overflow);
        if (length <= 0) {
            *reason = name + ": a record that cannot be written";
            return false;
        }
        text.append(line, static_cast<size_t>(length));
    }
    return save_whole(name, text, reason, taken);
}
