// What --clean's steps cost (scripts/measure-clean runs this):
//   clean_measures steps W H RUNS   each step of --clean, exact and fast, and
//                                   the whole enhance with and without it, in
//                                   this process on 1 and 2 threads, the sample
//                                   scaled to W x H; the best of RUNS calls,
//                                   the calls of one line interleaved
#include "core/stages/clean_chroma.hpp"
#include "core/stages/clean_deblock.hpp"
#include "core/stages/clean_noise.hpp"
#include "core/stages/clean_steps.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace nightdehaze;

struct Timed {
    const char* name;
    std::function<void()> call;
    double best = 1e300;
};

// The best time of each call in milliseconds, the calls taken in turn.
void timeInTurn(std::vector<Timed>& calls, int runs) {
    for (int k = 0; k < runs; ++k)
        for (Timed& t : calls) {
            const auto start = std::chrono::steady_clock::now();
            t.call();
            t.best = std::min(t.best, std::chrono::duration<double, std::milli>(
                                          std::chrono::steady_clock::now() - start).count());
        }
}

int measureSteps(cv::Size size, int runs) {
    const cv::Mat sample = cv::imread(NIGHTDEHAZE_SAMPLE, cv::IMREAD_COLOR);
    if (sample.empty()) return 1;
    cv::Mat picture;
    cv::resize(sample, picture, size, 0, 0, cv::INTER_CUBIC);
    for (const int threads : {1, 2}) {
        cv::setNumThreads(threads);
        for (const bool fast : {false, true}) {
            DehazeContext plain, clean;
            plain.fast = clean.fast = fast;
            clean.clean = true;
            const cv::Mat result = enhance(picture, plain);
            const detail::CleanInput input = detail::cleanInput(picture, fast);
            const double noise = input.noiseLevel;
            std::vector<Timed> calls{
                {"deblock", [&] { fast ? detail::fastDeblockJpegGrid(picture) : detail::deblockJpegGrid(picture); }},
                {"noise level", [&] { detail::estimateNoiseLevel(picture); }},
                {"input smoothing", [&] { fast ? detail::fastSmoothInputNoise(picture, noise)
                                               : detail::smoothInputNoise(picture, noise); }},
                {"result smoothing", [&] { fast ? detail::fastSuppressAmplifiedNoise(input.picture, result, noise)
                                                : detail::suppressAmplifiedNoise(input.picture, result, noise); }},
                {"dark chroma", [&] { fast ? detail::fastSuppressDarkChroma(result) : detail::suppressDarkChroma(result); }},
                {"all clean steps", [&] { detail::cleanResult(detail::cleanInput(picture, fast), result, fast); }},
                {"enhance", [&] { enhance(picture, plain); }},
                {"enhance --clean", [&] { enhance(picture, clean); }},
            };
            timeInTurn(calls, fast ? runs : std::max(1, runs / 3));
            std::printf("steps %dx%d, %d thread%s, %s engine:", size.width, size.height, threads,
                        threads == 1 ? "" : "s", fast ? "fast" : "exact");
            for (const Timed& t : calls) std::printf(" %s %.1f ms;", t.name, t.best);
            const double steps = calls[5].best, plainTime = calls[6].best, cleanTime = calls[7].best;
            std::printf(" clean steps / enhance %.2f, enhance --clean / enhance %.2f\n", steps / plainTime,
                        cleanTime / plainTime);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "steps" && argc == 5)
        return measureSteps(cv::Size(std::atoi(argv[2]), std::atoi(argv[3])), std::max(1, std::atoi(argv[4])));
    std::fprintf(stderr, "usage: clean_measures steps W H RUNS\n");
    return 2;
}
