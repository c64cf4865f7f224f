#include "core/stages/unit_scale.hpp"

#include "core/runtime/elementwise_in_chunks.hpp"
#include "core/exact/exact_arithmetic.hpp"

namespace nightdehaze::detail {

cv::Mat unitScaled(const cv::Mat& image8u) {
    const cv::Mat image = continuous(image8u);
    cv::Mat unit(image.size(), CV_64FC(image.channels()));
    forEachChunk(image.total() * image.channels(), [&](const Chunk& c) {
        const uchar* in = chunkData<const uchar>(image, c);
        double* out = chunkData<double>(unit, c);
        for (int x = 0; x < c.length(); ++x) out[x] = scaled(in[x], kInverseUnitScale);
    });
    return unit;
}

}  // namespace nightdehaze::detail
