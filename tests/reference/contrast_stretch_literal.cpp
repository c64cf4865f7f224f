#include "reference/contrast_stretch_literal.hpp"

#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

using namespace nightdehaze;

namespace literal {

void contrastStretch(cv::Mat& dst, cv::Mat src) {
    const testing_support::DispatchOff dispatchOff;
    std::vector<cv::Mat> planes;
    cv::split(src, planes);
    for (int i = 0; i < 3; ++i) {
        cv::Mat plane = planes.at(i);
        const int N = plane.rows * plane.cols;
        cv::Mat flat = plane.clone().reshape(0, 1);
        cv::Mat order = cv::Mat::zeros(1, N, CV_32SC1);
        cv::sortIdx(flat, order, cv::SORT_EVERY_ROW + cv::SORT_ASCENDING);
        int lo = static_cast<int>(std::floor(static_cast<double>(N) * 0.01 + 0.5));
        int hi = static_cast<int>(std::floor(static_cast<double>(N) * 0.99 + 0.5));
        lo = std::max(lo, 1);       // guard: the dark tail holds at least one pixel
        hi = std::min(hi, N - 1);   // guard: the bright tail holds at least one pixel
        const double mLow = sumAtIndices(flat, order(cv::Range::all(), cv::Range(0, lo)), CV_8U) / lo;
        const double mHigh = sumAtIndices(flat, order(cv::Range::all(), cv::Range(hi, N)), CV_8U) / (N - hi);
        if (mHigh == mLow) continue;  // guard: nothing to stretch
        plane.convertTo(plane, CV_64F);
        plane = (plane - cv::Scalar(mLow)) / (mHigh - mLow) * 255.0;
        plane.convertTo(plane, CV_8U);
        planes.at(i) = plane;
    }
    cv::merge(planes, dst);
}

}  // namespace literal

double sumAtIndices(cv::Mat values, cv::Mat positions, int depth) {
    const int* index = positions.ptr<int>(0);
    const uchar* base = values.data;
    double sum = 0.0;
    for (int k = 0; k < positions.cols; ++k) {
        switch (depth) {
            case CV_8U: sum += reinterpret_cast<const uchar*>(base)[index[k]]; break;
            case CV_32S: sum += reinterpret_cast<const int*>(base)[index[k]]; break;
            case CV_32F: sum += reinterpret_cast<const float*>(base)[index[k]]; break;
            case CV_64F: sum += reinterpret_cast<const double*>(base)[index[k]]; break;
            default: throw std::invalid_argument("sumAtIndices: unsupported depth");
        }
    }
    return sum;
}
