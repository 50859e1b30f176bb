#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace aster::bench {

inline double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Median of `runs` timings after one warm-up.
inline double Median(int runs, const std::function<void()>& work) {
    work();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(Seconds(work));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace aster::bench
