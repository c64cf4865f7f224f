#include "core/stages/clean_steps.hpp"

#include "core/stages/clean_chroma.hpp"
#include "core/stages/clean_deblock.hpp"
#include "core/stages/clean_noise.hpp"

namespace nightdehaze::detail {

namespace {

constexpr int kFastNoiseTileStep = 2;  // a quarter of the tiles: the percentile holds on a sample

}  // namespace

CleanInput cleanInput(const cv::Mat& bgr8, bool fast) {
    CleanInput input;
    const cv::Mat deblocked = fast ? fastDeblockJpegGrid(bgr8) : deblockJpegGrid(bgr8);
    if (fast) {
        input.noiseLevel = estimateNoiseLevel(deblocked, kFastNoiseTileStep);
        input.picture = fastSmoothInputNoise(deblocked, input.noiseLevel);
    } else {
        input.noiseLevel = estimateNoiseLevel(deblocked);
        input.picture = smoothInputNoise(deblocked, input.noiseLevel);
    }
    return input;
}

cv::Mat cleanResult(const CleanInput& input, const cv::Mat& result, bool fast) {
    if (fast) return fastSuppressDarkChroma(fastSuppressAmplifiedNoise(input.picture, result, input.noiseLevel));
    return suppressDarkChroma(suppressAmplifiedNoise(input.picture, result, input.noiseLevel));
}

}  // namespace nightdehaze::detail
