#include "stages/unit_scale.hpp"

#include "stages/stage_constants.hpp"
#include "util/elementwise_in_chunks.hpp"

namespace nightdehaze::detail {

cv::Mat unitScaled(const cv::Mat& image8u) {
    const cv::Mat image = continuous(image8u);
    cv::Mat unit(image.size(), CV_64FC(image.channels()));
    forEachChunk(image.total() * image.channels(), [&](const Chunk& c) {
        const cv::Mat chunk = elementsOf(unit, c);
        elementsOf(image, c).convertTo(chunk, CV_64F);
        assignInto(chunk, chunk / kUnitScale);
    });
    return unit;
}

}  // namespace nightdehaze::detail
