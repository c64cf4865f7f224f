#include "stages/light_compensation.hpp"

#include "filters/elementwise_power.hpp"
#include "filters/guided_filter_gray.hpp"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace {

constexpr double kUnitScale = 255.0;            // 8-bit units per unit intensity
constexpr double kRatioGuard = 1e-8;            // keeps the ratio finite where V is 0
constexpr double kCubeRoot = 1.0 / 3.0;         // exponent of the value lift
constexpr int kRatioRadiusIncrement = 5;        // the ratio is smoothed wider than the planes

// One colour plane smoothed by the grey guided filter with itself as guide,
// on the 0..1 scale, back to 8 bits.
cv::Mat smoothedPlane(int r, const cv::Mat& plane, double eps) {
    cv::Mat t = plane.clone();
    t.convertTo(t, CV_64F);
    t = t / kUnitScale;
    guidedFilterGray(r, t, t, t, eps);
    t = t * kUnitScale;
    t.convertTo(t, CV_8U);
    return t;
}

std::vector<cv::Mat> hsvPlanes(const cv::Mat& bgr) {
    cv::Mat hsv;
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    return planes;
}

}  // namespace

void lightCompensation(int r, cv::Mat& dst, cv::Mat src, double eps) {
    if (src.type() != CV_8UC3 || src.empty())
        throw std::invalid_argument("lightCompensation: expected a non-empty 8-bit three-channel image");
    std::vector<cv::Mat> planes;
    cv::split(src, planes);
    std::vector<cv::Mat> filtered;
    for (int c = 0; c < 3; ++c) filtered.push_back(smoothedPlane(r, planes.at(c), eps));
    cv::Mat smoothed;
    cv::merge(filtered, smoothed);

    std::vector<cv::Mat> source = hsvPlanes(src);
    cv::Mat vs, vf;
    source.at(2).convertTo(vs, CV_64F);
    hsvPlanes(smoothed).at(2).convertTo(vf, CV_64F);

    cv::Mat ratio = vs / (vf + kRatioGuard);
    guidedFilterGray(r + kRatioRadiusIncrement, ratio, ratio, ratio, eps);

    cv::Mat value = vs.clone() / kUnitScale;
    elementwisePower(value, value, kCubeRoot);
    value = kUnitScale * value.mul(ratio);
    value.convertTo(value, CV_8U);

    std::vector<cv::Mat> rebuilt{source.at(0), source.at(1), value};
    cv::Mat hsv;
    cv::merge(rebuilt, hsv);
    cv::cvtColor(hsv, dst, cv::COLOR_HSV2BGR);
}
