#pragma once
// Pictures for the benchmarks: the bundled sample (or the picture named by
// NIGHTDEHAZE_BENCH_PICTURE) scaled to the size asked for.
#include <opencv2/core.hpp>

#include <chrono>

cv::Mat benchPicture(cv::Size size);

// Wall time of one call, in seconds.
template <typename Fn>
double secondsOf(Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
