// Time of one non-local guided filter call against OpenCV's non-local means
// denoiser on the same picture, single-threaded unless a thread count is given.
#include "filters/non_local_guided_filter.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

namespace {

constexpr int kWidth = 1024, kHeight = 768;

// Smooth random picture with fine noise, like a photograph of a scene.
cv::Mat syntheticPicture(int type, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat coarse(kHeight / 16, kWidth / 16, type);
    rng.fill(coarse, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat smooth;
    cv::resize(coarse, smooth, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(kHeight, kWidth, CV_MAKETYPE(CV_16S, CV_MAT_CN(type)));
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(6));
    cv::Mat picture;
    cv::add(smooth, noise, picture, cv::noArray(), type);
    return picture;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reference: OpenCV's non-local means on the grey picture, h = 10, patches of
// 3x3 and a search window of 33x33 (the filter's r = 1, s = 16).
double anchorSeconds(const cv::Mat& grey) {
    cv::Mat denoised;
    return secondsOf([&] { cv::fastNlMeansDenoising(grey, denoised, 10, 3, 33); });
}

void BM_NonLocalGuidedFilter(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int saved = cv::getNumThreads();
    cv::setNumThreads(threads);
    cv::Mat guide;
    syntheticPicture(CV_8UC3, 1).convertTo(guide, CV_64F);
    cv::Mat input;
    syntheticPicture(CV_8UC1, 2).convertTo(input, CV_64F);
    cv::Mat grey;
    cv::cvtColor(syntheticPicture(CV_8UC3, 1), grey, cv::COLOR_BGR2GRAY);

    cv::setNumThreads(1);
    const double anchor = anchorSeconds(grey);
    cv::setNumThreads(threads);
    double filterTotal = 0;
    for (auto _ : state) {
        cv::Mat q;
        filterTotal += secondsOf([&] { nonLocalGuidedFilter(1, 16, q, guide, input, 25.0, 100.0); });
        benchmark::DoNotOptimize(q.data);
    }
    const double filter = filterTotal / static_cast<double>(state.iterations());
    state.counters["anchor_s"] = anchor;
    state.counters["filter_s"] = filter;
    state.counters["filter_per_anchor"] = filter / anchor;
    cv::setNumThreads(saved);
}

// Three light planes and a brightness plane under one guide in one sweep.
void BM_NonLocalGuidedFilterFourInputs(benchmark::State& state) {
    const int saved = cv::getNumThreads();
    cv::setNumThreads(static_cast<int>(state.range(0)));
    cv::Mat guide;
    syntheticPicture(CV_8UC3, 1).convertTo(guide, CV_64F);
    std::vector<cv::Mat> inputs(4);
    for (int k = 0; k < 4; ++k) syntheticPicture(CV_8UC1, 10 + k).convertTo(inputs[k], CV_64F);
    for (auto _ : state) {
        std::vector<cv::Mat> outputs;
        nonLocalGuidedFilterMany(1, 16, outputs, guide, inputs, 25.0, 100.0);
        benchmark::DoNotOptimize(outputs.data());
    }
    cv::setNumThreads(saved);
}

}  // namespace

BENCHMARK(BM_NonLocalGuidedFilter)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_NonLocalGuidedFilterFourInputs)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
