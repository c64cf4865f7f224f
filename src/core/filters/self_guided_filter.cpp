#include "core/filters/self_guided_filter.hpp"

#include "core/filters/box_sum_rows.hpp"

#include <vector>

namespace nightdehaze::detail {

namespace {

enum Stat { kSum, kSquares, kStats };
enum Coefficient { kA, kB, kCoefficients };

// eps of window j of a row, of mean m: from a row of the plane of eps, or
// from the window's mean.
struct EpsRow {
    const double* values;
    FadingEps fading;
    double at(int j, double mean) const { return values ? values[j] : fading.at(mean); }
};

cv::Mat filtered(int r, const cv::Mat& plane, const cv::Mat* epsPlane, const FadingEps& fading) {
    const cv::Size size = plane.size();
    cv::Mat result(size, CV_64FC1);
    if (plane.empty()) return result;
    const std::vector<double> rowCounts = windowCounts(size.height, r);
    const std::vector<double> colCounts = windowCounts(size.width, r);
    cv::Mat coefficients[kCoefficients];
    for (cv::Mat& c : coefficients) c.create(size, CV_64FC1);

    streamBoxSums(
        r, size, kStats,
        [&](int row, int c0, int c1, double* const* acc) {
            const double* v = plane.ptr<double>(row) + c0;
            addRow(v, c1 - c0, acc[kSum]);
            addProductRow(v, v, c1 - c0, acc[kSquares]);
        },
        [&](int row, const double* const* sums) {
            const EpsRow eps{epsPlane ? epsPlane->ptr<double>(row) : nullptr, fading};
            double* a = coefficients[kA].ptr<double>(row);
            double* b = coefficients[kB].ptr<double>(row);
            for (int j = 0; j < size.width; ++j) {
                const double n = rowCounts[row] * colCounts[j];
                const double mean = sums[kSum][j] / n;
                const double variance = sums[kSquares][j] / n - mean * mean;
                const double denominator = variance + eps.at(j, mean);
                a[j] = denominator != 0.0 ? variance / denominator : 0.0;
                b[j] = mean - a[j] * mean;
            }
        });

    streamBoxSums(
        r, size, kCoefficients,
        [&](int row, int c0, int c1, double* const* acc) {
            for (int k = 0; k < kCoefficients; ++k)
                addRow(coefficients[k].ptr<double>(row) + c0, c1 - c0, acc[k]);
        },
        [&](int row, const double* const* sums) {
            const double* p = plane.ptr<double>(row);
            double* q = result.ptr<double>(row);
            for (int j = 0; j < size.width; ++j) {
                const double n = rowCounts[row] * colCounts[j];
                q[j] = (sums[kA][j] / n) * p[j] + sums[kB][j] / n;
            }
        });
    return result;
}

// Beyond every mean a plane can have: the same eps for all windows.
constexpr double kNever = 1e300;

}  // namespace

double FadingEps::at(double mean) const {
    if (mean <= fullBelow) return eps;
    if (mean >= noneAbove) return 0.0;
    return eps * ((noneAbove - mean) / (noneAbove - fullBelow));
}

cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const cv::Mat& eps) {
    return filtered(r, plane, &eps, FadingEps{0.0, 0.0, 1.0});
}

cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, double eps) {
    return filtered(r, plane, nullptr, FadingEps{eps, kNever, 2.0 * kNever});
}

cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const FadingEps& eps) {
    return filtered(r, plane, nullptr, eps);
}

}  // namespace nightdehaze::detail
