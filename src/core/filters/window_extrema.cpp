#include "core/filters/window_extrema.hpp"

#include "core/runtime/run_report.hpp"

#include <algorithm>
#include <limits>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

// Both extrema are separable morphology with a full rectangle. cv::dilate of
// doubles runs on one thread, so the maximum runs it on row bands in parallel,
// each band widened by the window's reach: every window sees the same pixels.
//
// Border rule: the library pads the image with a constant (and, with
// BORDER_ISOLATED, never reads the parent of a sub-matrix view). A padded value
// that can never beat a real one leaves the extremum of the clipped window
// unchanged, since every window holds at least its own centre pixel: 255 (also
// the library's default for an 8-bit erosion) is no smaller than any 8-bit
// value, and -infinity is no larger than any double.

namespace {

constexpr double kNeverSmaller8u = 255.0;
constexpr double kNeverLarger64f = -std::numeric_limits<double>::infinity();

void checkRadius(const char* who, int h) {
    if (h < 0)
        throw std::invalid_argument(std::string(who) + ": negative window half-size " +
                                    std::to_string(h));
}

void checkType(const char* who, const cv::Mat& src, int type, const char* typeName) {
    if (src.type() != type)
        throw std::invalid_argument(std::string(who) + ": source must be " + typeName);
}

// A half-size beyond the image extent clips to the whole extent, so it is
// capped there: same windows, and no giant structuring element.
cv::Mat windowShape(int h, cv::Size image) {
    const int halfWidth = std::min(h, image.width - 1);
    const int halfHeight = std::min(h, image.height - 1);
    return cv::getStructuringElement(cv::MORPH_RECT,
                                     cv::Size(2 * halfWidth + 1, 2 * halfHeight + 1));
}

bool isEmpty(const cv::Mat& src) { return src.rows == 0 || src.cols == 0; }

// Fewer rows than this per band and the rows the windows reach into outweigh it.
constexpr int kMinBandRows = 64;

// maxima = dilation of src by shape, band by band: each band dilates the rows
// it owns plus those its windows reach, and keeps its own rows.
void dilateInRowBands(const cv::Mat& src, const cv::Mat& shape, cv::Mat& maxima) {
    const int reach = shape.rows / 2;
    const int bands = std::max(1, std::min(cv::getNumThreads(), src.rows / kMinBandRows));
    const detail::RunReport* run = detail::currentRun();
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        for (int b = range.start; b < range.end && !detail::stopRequested(run); ++b) {
            const int first = src.rows * b / bands, end = src.rows * (b + 1) / bands;
            const int top = std::max(0, first - reach), bottom = std::min(src.rows, end + reach);
            cv::Mat band;
            cv::dilate(src.rowRange(top, bottom), band, shape, cv::Point(-1, -1), 1,
                       cv::BORDER_CONSTANT | cv::BORDER_ISOLATED, cv::Scalar::all(kNeverLarger64f));
            band.rowRange(first - top, end - top).copyTo(maxima.rowRange(first, end));
        }
    });
    detail::throwIfStopRequested(run);
}

}  // namespace

void windowMinimum(int h, cv::Mat& dst, const cv::Mat& src8u) {
    checkRadius("windowMinimum", h);
    checkType("windowMinimum", src8u, CV_8UC1, "CV_8UC1");
    cv::Mat minima(src8u.rows, src8u.cols, CV_8UC1);
    if (!isEmpty(src8u))
        cv::erode(src8u, minima, windowShape(h, src8u.size()), cv::Point(-1, -1), 1,
                  cv::BORDER_CONSTANT | cv::BORDER_ISOLATED, cv::Scalar::all(kNeverSmaller8u));
    dst = minima;
}

void windowMaximum(int h, cv::Mat& dst, const cv::Mat& src64f) {
    checkRadius("windowMaximum", h);
    checkType("windowMaximum", src64f, CV_64FC1, "CV_64FC1");
    cv::Mat maxima(src64f.rows, src64f.cols, CV_64FC1);
    if (!isEmpty(src64f)) dilateInRowBands(src64f, windowShape(h, src64f.size()), maxima);
    dst = maxima;
}

}  // namespace nightdehaze::detail
