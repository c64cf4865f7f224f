#include "nightdehaze/nightdehaze.hpp"
#include "core/exact/rounded_to_bytes.hpp"

#include <opencv2/core.hpp>

#include <stdexcept>
#include <string>

namespace nightdehaze {

void padSymmetric(int r, cv::Mat& dst, cv::Mat src) {
    if (r < 1)
        throw std::invalid_argument("padSymmetric: padding width must be at least 1, got " +
                                    std::to_string(r));
    if (src.empty()) throw std::invalid_argument("padSymmetric: source image is empty");
    if (src.channels() != 1)
        throw std::invalid_argument("padSymmetric: source must have one channel, got " +
                                    std::to_string(src.channels()));
    cv::Mat grey;
    if (src.depth() == CV_64F)
        grey = detail::roundedToBytes(src);
    else
        src.convertTo(grey, CV_8U);
    // BORDER_REFLECT repeats the edge and, for a border wider than the image,
    // reflects again at the far side: exactly the mirror rule above.
    cv::Mat padded;
    cv::copyMakeBorder(grey, padded, r, r, r, r, cv::BORDER_REFLECT);
    dst = padded;
}

}  // namespace nightdehaze
