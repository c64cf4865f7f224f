#include "core/stages/clean_steps.hpp"

#include "core/stages/clean_chroma.hpp"
#include "core/stages/clean_deblock.hpp"
#include "core/stages/clean_noise.hpp"

namespace nightdehaze::detail {

CleanInput cleanInput(const cv::Mat& bgr8, bool fast) {
    CleanInput input;
    const cv::Mat deblocked = fast ? fastDeblockJpegGrid(bgr8) : deblockJpegGrid(bgr8);
    input.noiseLevel = estimateNoiseLevel(deblocked);
    input.picture = fast ? fastSmoothInputNoise(deblocked, input.noiseLevel)
                         : smoothInputNoise(deblocked, input.noiseLevel);
    return input;
}

cv::Mat cleanResult(const CleanInput& input, const cv::Mat& result, bool fast) {
    if (fast) return fastSuppressDarkChroma(fastSuppressAmplifiedNoise(input.picture, result, input.noiseLevel));
    return suppressDarkChroma(suppressAmplifiedNoise(input.picture, result, input.noiseLevel));
}

}  // namespace nightdehaze::detail
