#include "nightdehaze/nightdehaze.hpp"

#include <stdexcept>
#include <string>

#include "core/filters/window_extrema.hpp"
#include "core/stages/plane_checks.hpp"

namespace nightdehaze {

using namespace detail;

// The minimum over three planes and a window is the window minimum of the
// per-pixel minimum of the planes (minima commute), and the running minimum that
// starts at 255 changes nothing for 8-bit values. So one 8-bit plane is eroded
// instead of three, and the exact integer result is widened to double last.

namespace {

void checkPlanes(int h, const std::vector<cv::Mat>& planes) {
    if (h < 0)
        throw std::invalid_argument("darkChannel: negative window half-size " + std::to_string(h));
    checkEightBitPlanes("darkChannel", planes);
}

cv::Mat darkestOfPlanes(const std::vector<cv::Mat>& planes) {
    cv::Mat darkest;
    cv::min(planes[0], planes[1], darkest);
    cv::min(darkest, planes[2], darkest);
    return darkest;
}

}  // namespace

void darkChannel(int h, cv::Mat& dark, const std::vector<cv::Mat>& planes) {
    checkPlanes(h, planes);
    cv::Mat windowDarkest;
    windowMinimum(h, windowDarkest, darkestOfPlanes(planes));
    cv::Mat widened(windowDarkest.size(), CV_64FC1);
    if (!windowDarkest.empty()) windowDarkest.convertTo(widened, CV_64F);
    dark = widened;
}

}  // namespace nightdehaze
