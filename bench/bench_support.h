#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "store/item_info.h"
#include "store/path_text.h"

// Helpers shared by the benchmark programs.

inline double seconds_of(const std::function<void()> &run) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

// Runs the measured work and its baseline by turns, so that a slow spell of
// the machine weighs on both, and keeps the best time of each.
inline std::pair<double, double> best_by_turns(int repetitions, const std::function<void()> &work,
                                               const std::function<void()> &baseline) {
    double best_work = 1e30, best_baseline = 1e30;
    for (int i = 0; i < repetitions; ++i) {
        best_work = std::min(best_work, seconds_of(work));
        best_baseline = std::min(best_baseline, seconds_of(baseline));
    }
    return {best_work, best_baseline};
}

inline void print_ratio(const char *name, double value, double baseline, const char *unit,
                        double target) {
    printf("figure: %s value=%.3f %s baseline=%.3f %s ratio=%.2f target=%.2f\n", name, value, unit,
           baseline, unit, value / baseline, target);
}

inline std::wstring described_path(int i) {
    return L"C:\\bench\\folder" + std::to_wstring(i % 997) + L"\\document_" + std::to_wstring(i) +
           L".txt";
}

// An index of `count` described paths as every rewrite leaves files.dat:
// records in ascending key order. Fills `paths` in creation order. Built with
// one scratch record, so the heap holds no field of freed records when the
// library then loads the file, just as at the start of a real process.
inline std::string make_index_bytes(int count, std::vector<std::wstring> &paths) {
    std::vector<std::pair<uint32_t, int>> order;
    for (int i = 0; i < count; ++i) {
        paths.push_back(described_path(i));
        order.emplace_back(path_hash(paths.back().c_str()), i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::string bytes;
    item_info scratch;
    for (const auto &entry : order) {
        scratch.key = entry.first;
        scratch.icon_kind = entry.second % 6;
        ansi_path_of(paths[entry.second].c_str(), scratch.path);
        scratch.save_record(bytes);
    }
    return bytes;
}

// The paths to ask about, in a scattered order over the index, each string
// freshly made as the shell hands one over: the index is probed at random
// while the question itself is at hand, as in a shell view.
struct query_list {
    std::vector<std::wstring> paths;
    std::vector<uint32_t> keys;
};

inline query_list make_queries(const std::vector<std::wstring> &paths) {
    query_list queries;
    size_t n = paths.size();
    for (size_t i = 0; i < n; ++i) {
        queries.paths.push_back(paths[(i * 7919u) % n]);
        queries.keys.push_back(path_hash(queries.paths.back().c_str()));
    }
    return queries;
}
