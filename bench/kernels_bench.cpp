// Each benchmark times one of our kernels and a library anchor doing
// comparable work, on the same picture, in the same iteration, on one thread,
// and reports both times and their ratio (ours / anchor).
#include "bench_pictures.hpp"
#include "core/filters/guided_filter_color.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc.hpp>

#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

const cv::Size kPictureSize(1024, 768);
constexpr double kEps = 0.01;

template <typename Ours, typename Anchor>
void timePair(benchmark::State& state, Ours&& ours, Anchor&& anchor) {
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    double oursSeconds = 0, anchorSeconds = 0;
    for (auto _ : state) {
        oursSeconds += secondsOf(ours);
        anchorSeconds += secondsOf(anchor);
    }
    cv::setNumThreads(threads);
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = 1e3 * oursSeconds / n;
    state.counters["anchor_ms"] = 1e3 * anchorSeconds / n;
    state.counters["ratio"] = oursSeconds / anchorSeconds;
}

cv::Mat unitPicture(int type) {
    cv::Mat picture;
    benchPicture(kPictureSize).convertTo(picture, type, 1.0 / 255.0);
    return picture;
}

cv::Mat firstPlane(const cv::Mat& image) {
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    return planes[0];
}

void GuidedFilterColorVsXimgproc(benchmark::State& state) {
    const int r = static_cast<int>(state.range(0));
    const cv::Mat guide = unitPicture(CV_64FC3), input = firstPlane(guide);
    cv::Mat guide32, input32, ours, anchor;
    guide.convertTo(guide32, CV_32F);
    input.convertTo(input32, CV_32F);
    timePair(
        state, [&] { guidedFilterColor(r, ours, guide, input, kEps); },
        [&] { cv::ximgproc::guidedFilter(guide32, input32, anchor, r, kEps); });
}
BENCHMARK(GuidedFilterColorVsXimgproc)->Arg(32)->Unit(benchmark::kMillisecond);

void GuidedFilterGrayVsXimgproc(benchmark::State& state) {
    const int r = static_cast<int>(state.range(0));
    const cv::Mat plane = firstPlane(unitPicture(CV_64FC3));
    cv::Mat plane32, ours, anchor;
    plane.convertTo(plane32, CV_32F);
    timePair(
        state, [&] { guidedFilterGray(r, ours, plane, plane, kEps); },
        [&] { cv::ximgproc::guidedFilter(plane32, plane32, anchor, r, kEps); });
}
BENCHMARK(GuidedFilterGrayVsXimgproc)->Arg(5)->Unit(benchmark::kMillisecond);

void DarkChannelVsErode(benchmark::State& state) {
    const int h = static_cast<int>(state.range(0));
    std::vector<cv::Mat> planes;
    cv::split(benchPicture(kPictureSize), planes);
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * h + 1, 2 * h + 1));
    cv::Mat ours, eroded[3], anchor;
    timePair(
        state, [&] { darkChannel(h, ours, planes); },
        [&] {
            for (int c = 0; c < 3; ++c) cv::erode(planes[c], eroded[c], kernel);
            cv::min(eroded[0], eroded[1], anchor);
            cv::min(anchor, eroded[2], anchor);
        });
}
BENCHMARK(DarkChannelVsErode)->Arg(7)->Unit(benchmark::kMillisecond);

void ContrastStretchVsEqualizeHist(benchmark::State& state) {
    const cv::Mat picture = benchPicture(kPictureSize);
    std::vector<cv::Mat> planes;
    cv::split(picture, planes);
    cv::Mat ours, equalized[3];
    timePair(
        state, [&] { contrastStretch(ours, picture); },
        [&] {
            for (int c = 0; c < 3; ++c) cv::equalizeHist(planes[c], equalized[c]);
        });
}
BENCHMARK(ContrastStretchVsEqualizeHist)->Unit(benchmark::kMillisecond);

}  // namespace
