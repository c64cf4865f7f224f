#include "core/fast/fast_guided_filter.hpp"

#include "core/fast/fast_box_sums.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>

namespace nightdehaze::detail {

namespace {

void windowMeans(int r, cv::Mat& plane) { fastWindowMeans(r, plane, plane); }

template <typename T>
void fitSelfGuided(const cv::Mat& mean, const cv::Mat& meanSquare, T eps, cv::Mat& a, cv::Mat& b) {
    cv::parallel_for_(cv::Range(0, mean.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const T* m = mean.ptr<T>(y);
            const T* mm = meanSquare.ptr<T>(y);
            T* ay = a.ptr<T>(y);
            T* by = b.ptr<T>(y);
            for (int x = 0; x < mean.cols; ++x) {
                const T variance = mm[x] - m[x] * m[x];
                const T denominator = variance + eps;
                const T ax = denominator != T(0) ? variance / denominator : T(0);
                ay[x] = ax;
                by[x] = m[x] - ax * m[x];
            }
        }
    });
}

cv::Mat product(const cv::Mat& x, const cv::Mat& y) { return x.mul(y); }

// The symmetric inverse of the 3x3 matrix (s00 s01 s02; s01 s11 s12; s02 s12 s22)
// by cofactors; zero where it is singular.
void symmetricInverse(const double s[6], double inverse[6]) {
    const double c00 = s[3] * s[5] - s[4] * s[4];
    const double c01 = s[2] * s[4] - s[1] * s[5];
    const double c02 = s[1] * s[4] - s[2] * s[3];
    const double c11 = s[0] * s[5] - s[2] * s[2];
    const double c12 = s[1] * s[2] - s[0] * s[4];
    const double c22 = s[0] * s[3] - s[1] * s[1];
    const double det = (s[0] * c00 + s[1] * c01) + s[2] * c02;
    const double d = det != 0.0 ? 1.0 / det : 0.0;
    inverse[0] = c00 * d, inverse[1] = c01 * d, inverse[2] = c02 * d;
    inverse[3] = c11 * d, inverse[4] = c12 * d, inverse[5] = c22 * d;
}

}  // namespace

void selfGuidedCoefficients(int r, const cv::Mat& plane, double eps, cv::Mat& meanA, cv::Mat& meanB) {
    if (r < 0 || plane.channels() != 1 || (plane.depth() != CV_32F && plane.depth() != CV_64F))
        throw std::invalid_argument("selfGuidedCoefficients: expected a CV_32FC1 or CV_64FC1 plane and r >= 0");
    cv::Mat mean = plane.clone(), meanSquare = product(plane, plane);
    windowMeans(r, mean);
    windowMeans(r, meanSquare);
    cv::Mat a(plane.size(), plane.type()), b(plane.size(), plane.type());
    if (plane.depth() == CV_32F)
        fitSelfGuided<float>(mean, meanSquare, static_cast<float>(eps), a, b);
    else
        fitSelfGuided<double>(mean, meanSquare, eps, a, b);
    mean.release();
    meanSquare.release();
    windowMeans(r, a);
    windowMeans(r, b);
    meanA = a;
    meanB = b;
}

ColorGuideStats colorGuideStats(int r, const cv::Mat guide[3], double eps) {
    const cv::Size size = guide[0].size();
    cv::Mat means[3], products[6];
    for (int c = 0; c < 3; ++c) {
        means[c] = guide[c].clone();
        windowMeans(r, means[c]);
    }
    const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int k = 0; k < 6; ++k) {
        products[k] = product(guide[pairs[k][0]], guide[pairs[k][1]]);
        windowMeans(r, products[k]);
    }
    // The inverse is written over the window means of the products it comes from.
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y)
            for (int x = 0; x < size.width; ++x) {
                double m[3], s[6], inverse[6];
                for (int c = 0; c < 3; ++c) m[c] = means[c].ptr<float>(y)[x];
                for (int k = 0; k < 6; ++k) {
                    const double covariance = products[k].ptr<float>(y)[x] - m[pairs[k][0]] * m[pairs[k][1]];
                    s[k] = pairs[k][0] == pairs[k][1] ? covariance + eps : covariance;
                }
                symmetricInverse(s, inverse);
                for (int k = 0; k < 6; ++k) products[k].ptr<float>(y)[x] = static_cast<float>(inverse[k]);
            }
    });
    ColorGuideStats stats;
    stats.r = r;
    for (int c = 0; c < 3; ++c) stats.mean[c] = means[c];
    for (int k = 0; k < 6; ++k) stats.inverse[k] = products[k];
    return stats;
}

ColorCoefficients colorCoefficients(const ColorGuideStats& stats, const cv::Mat guide[3], const cv::Mat& p) {
    const cv::Size size = p.size();
    if (p.type() != CV_32FC1 || size != stats.mean[0].size())
        throw std::invalid_argument("colorCoefficients: expected a CV_32FC1 plane of the guide's size");
    const int r = stats.r;
    cv::Mat meanP = p.clone(), meanGP[3];
    windowMeans(r, meanP);
    for (int c = 0; c < 3; ++c) {
        meanGP[c] = product(guide[c], p);
        windowMeans(r, meanGP[c]);
    }
    // a = inverse * u, b = mp - a . m, written over the input sums.
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y)
            for (int x = 0; x < size.width; ++x) {
                const double mp = meanP.ptr<float>(y)[x];
                double m[3], u[3], inv[6];
                for (int c = 0; c < 3; ++c) {
                    m[c] = stats.mean[c].ptr<float>(y)[x];
                    u[c] = meanGP[c].ptr<float>(y)[x] - m[c] * mp;
                }
                for (int k = 0; k < 6; ++k) inv[k] = stats.inverse[k].ptr<float>(y)[x];
                const double a0 = (inv[0] * u[0] + inv[1] * u[1]) + inv[2] * u[2];
                const double a1 = (inv[1] * u[0] + inv[3] * u[1]) + inv[4] * u[2];
                const double a2 = (inv[2] * u[0] + inv[4] * u[1]) + inv[5] * u[2];
                meanGP[0].ptr<float>(y)[x] = static_cast<float>(a0);
                meanGP[1].ptr<float>(y)[x] = static_cast<float>(a1);
                meanGP[2].ptr<float>(y)[x] = static_cast<float>(a2);
                meanP.ptr<float>(y)[x] = static_cast<float>(((mp - a0 * m[0]) - a1 * m[1]) - a2 * m[2]);
            }
    });
    ColorCoefficients result;
    for (int c = 0; c < 3; ++c) {
        windowMeans(r, meanGP[c]);
        result.a[c] = meanGP[c];
    }
    windowMeans(r, meanP);
    result.b = meanP;
    return result;
}

ColorFilterRows::ColorFilterRows(const ColorCoefficients& coefficients, const UpsampledRows& upsampling,
                                 const cv::Mat& bgr8, float scale)
    : a_{{upsampling, coefficients.a[0]}, {upsampling, coefficients.a[1]}, {upsampling, coefficients.a[2]}},
      b_(upsampling, coefficients.b),
      bgr8_(bgr8),
      scale_(scale),
      coefficient_(bgr8.cols),
      sum_(bgr8.cols) {}

void ColorFilterRows::row(int y, float* out) {
    const int n = bgr8_.cols;
    float* coefficient = coefficient_.data();
    float* sum = sum_.data();
    const uchar* guide = bgr8_.ptr<uchar>(y);
    a_[0].row(y, coefficient);
    for (int x = 0; x < n; ++x) sum[x] = coefficient[x] * (guide[3 * x] * scale_);
    for (int c = 1; c < 3; ++c) {
        a_[c].row(y, coefficient);
        for (int x = 0; x < n; ++x) sum[x] = sum[x] + coefficient[x] * (guide[3 * x + c] * scale_);
    }
    b_.row(y, coefficient);
    for (int x = 0; x < n; ++x) out[x] = sum[x] + coefficient[x];
}

}  // namespace nightdehaze::detail

namespace nightdehaze::detail {

namespace {

constexpr double kUnitStep = 1.0 / 255.0;  // the guide's bytes on the 0..1 scale

}  // namespace

int coarseRadius(int r, int s) { return r == 0 ? 0 : std::max(1, r / s); }

FastColorFilter::FastColorFilter(const cv::Mat& bgr8, int r, int s, double eps)
    : bgr8_(bgr8),
      s_(s),
      guide_{blockMeansOfChannel(bgr8, 0, s, kUnitStep), blockMeansOfChannel(bgr8, 1, s, kUnitStep),
             blockMeansOfChannel(bgr8, 2, s, kUnitStep)},
      stats_(colorGuideStats(coarseRadius(r, s), guide_, eps)),
      upsampling_(bgr8.size(), guide_[0].size(), s) {}

ColorCoefficients FastColorFilter::fit(const cv::Mat& plane) const {
    return fitCoarse(blockMeans(plane, s_));
}

ColorCoefficients FastColorFilter::fitCoarse(const cv::Mat& coarsePlane) const {
    return colorCoefficients(stats_, guide_, coarsePlane);
}

cv::Mat FastColorFilter::coarseResult(const ColorCoefficients& coefficients) const {
    const cv::Size size = coarse();
    cv::Mat result(size, CV_32FC1);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            float* out = result.ptr<float>(y);
            for (int x = 0; x < size.width; ++x) {
                float sum = coefficients.a[0].ptr<float>(y)[x] * guide_[0].ptr<float>(y)[x];
                for (int c = 1; c < 3; ++c)
                    sum = sum + coefficients.a[c].ptr<float>(y)[x] * guide_[c].ptr<float>(y)[x];
                out[x] = sum + coefficients.b.ptr<float>(y)[x];
            }
        }
    });
    return result;
}

ColorFilterRows FastColorFilter::rows(const ColorCoefficients& coefficients) const {
    return ColorFilterRows(coefficients, upsampling_, bgr8_, static_cast<float>(kUnitStep));
}

}  // namespace nightdehaze::detail
