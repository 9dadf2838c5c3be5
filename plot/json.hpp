// talvik-plot's markers as one JSON document, from the marker library's
// results: for each file its kind, what the figures are measured from, each
// figure with its uncertainty, or null and the reason where there is none,
// the mask's verdict, and the text lines as printed.
#pragma once
#include "markers/mask.hpp"
#include "plot/sweep_file.hpp"

#include <string>
#include <vector>

struct file_markers {
    const sweep *s = nullptr;
    const filter_markers *m = nullptr;
    const mask_result *mask = nullptr; // null: no mask checked
    std::vector<std::string> lines;    // as the text output prints them
};

std::string markers_json(const std::vector<file_markers> &files, const char *unit,
                         const limit_mask *mask, const std::string &mask_name);
