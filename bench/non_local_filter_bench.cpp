// Time of one non-local guided filter call (r = 1, s = 16, sigma = 25,
// eps = 100) against OpenCV's non-local means denoiser on the same picture.
// The anchor always runs single-threaded; the filter with the thread count
// given as the first argument. Counters: seconds of each and their ratio.
#include "core/filters/non_local_guided_filter.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

constexpr int kWidth = 1024, kHeight = 768;
constexpr double kNoiseSigma = 6.0;  // grey levels of fine noise on the picture

// Smooth random picture with fine noise: random colours on a grid of cells of
// the given size, interpolated, plus Gaussian noise. Cells of 64 pixels give
// a photograph-like picture (most 3x3 patches within a 33x33 window match
// within the filter's noise level); cells of 16 give a busy, textured one.
cv::Mat syntheticPicture(int channels, int cell, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat coarse(kHeight / cell + 1, kWidth / cell + 1, CV_8UC(channels));
    rng.fill(coarse, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat smooth;
    cv::resize(coarse, smooth, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(kHeight, kWidth, CV_16SC(channels));
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(kNoiseSigma));
    cv::Mat picture;
    cv::add(smooth, noise, picture, cv::noArray(), CV_8UC(channels));
    return picture;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Anchor: OpenCV's non-local means on the grey picture, h = 10, 3x3 patches
// and a 33x33 search window, the same patch and window as the filter's.
double anchorSeconds(const cv::Mat& colour) {
    cv::Mat grey, denoised;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    const int saved = cv::getNumThreads();
    cv::setNumThreads(1);
    const double seconds = secondsOf([&] { cv::fastNlMeansDenoising(grey, denoised, 10, 3, 33); });
    cv::setNumThreads(saved);
    return seconds;
}

class ThreadCount {
public:
    explicit ThreadCount(int n) : saved_(cv::getNumThreads()) { cv::setNumThreads(n); }
    ~ThreadCount() { cv::setNumThreads(saved_); }

private:
    int saved_;
};

// Args: thread count, cell size of the picture.
void BM_NonLocalGuidedFilter(benchmark::State& state) {
    const cv::Mat colour = syntheticPicture(3, static_cast<int>(state.range(1)), 1);
    cv::Mat guide, input;
    colour.convertTo(guide, CV_64F);
    syntheticPicture(1, static_cast<int>(state.range(1)), 2).convertTo(input, CV_64F);
    double anchor = 0, filter = 0;
    for (auto _ : state) {
        anchor += anchorSeconds(colour);
        ThreadCount threads(static_cast<int>(state.range(0)));
        cv::Mat q;
        filter += secondsOf([&] { nonLocalGuidedFilter(1, 16, q, guide, input, 25.0, 100.0); });
        benchmark::DoNotOptimize(q.data);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["anchor_s"] = anchor / runs;
    state.counters["filter_s"] = filter / runs;
    state.counters["filter_per_anchor"] = filter / anchor;
}

// Three light planes and a brightness plane under one guide in one sweep,
// against four separate calls. Args: thread count.
void BM_NonLocalGuidedFilterFourInputs(benchmark::State& state) {
    const cv::Mat colour = syntheticPicture(3, 64, 1);
    cv::Mat guide;
    colour.convertTo(guide, CV_64F);
    std::vector<cv::Mat> inputs(4);
    for (int k = 0; k < 4; ++k) syntheticPicture(1, 64, 10 + k).convertTo(inputs[k], CV_64F);
    ThreadCount threads(static_cast<int>(state.range(0)));
    double together = 0, separate = 0;
    for (auto _ : state) {
        std::vector<cv::Mat> outputs;
        together += secondsOf([&] { nonLocalGuidedFilterMany(1, 16, outputs, guide, inputs, 25.0, 100.0); });
        separate += secondsOf([&] {
            for (const cv::Mat& p : inputs) nonLocalGuidedFilter(1, 16, outputs[0], guide, p, 25.0, 100.0);
        });
        benchmark::DoNotOptimize(outputs.data());
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["together_s"] = together / runs;
    state.counters["separate_s"] = separate / runs;
    state.counters["together_per_separate"] = together / separate;
}

}  // namespace

BENCHMARK(BM_NonLocalGuidedFilter)
    ->Args({1, 64})
    ->Args({2, 64})
    ->Args({1, 16})
    ->Unit(benchmark::kSecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK(BM_NonLocalGuidedFilterFourInputs)->Args({1})->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
