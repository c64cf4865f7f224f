#include "nightdehaze/nightdehaze.hpp"

#include "core/exact/rounded_to_bytes.hpp"

#include <stdexcept>

namespace nightdehaze {

namespace {

constexpr double kByteScale = 255.0;  // the transmission's 0..1 onto 0..255

}  // namespace

cv::Mat transmissionBytes(const cv::Mat& transmission) {
    if (transmission.type() != CV_64FC1)
        throw std::invalid_argument("transmissionBytes: expected a CV_64FC1 transmission map");
    return detail::scaledToBytes(transmission, kByteScale);
}

}  // namespace nightdehaze
