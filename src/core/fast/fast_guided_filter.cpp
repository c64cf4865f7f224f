#include "core/fast/fast_guided_filter.hpp"

#include "core/fast/fast_box_sums.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_pixel_rows.hpp"
#include "core/fast/fast_streamed_filter.hpp"
#include "core/filters/guide_system.hpp"
#include "core/filters/solve3x3.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>

namespace nightdehaze::detail {

namespace {

// One row of the guide statistics: from the window means of the guide
// (m0..m2) and of its products (s0..s5), the inverse of the covariance plus
// eps on the diagonal, written over s0..s5.
NIGHTDEHAZE_KERNEL_INLINE void inverseRowOf(const float* __restrict m0r, const float* __restrict m1r,
                                            const float* __restrict m2r, float* __restrict s0, float* __restrict s1,
                                            float* __restrict s2, float* __restrict s3, float* __restrict s4,
                                            float* __restrict s5, double eps, int n) {
    for (int x = 0; x < n; ++x) {
        const double m0 = m0r[x], m1 = m1r[x], m2 = m2r[x];
        const double covariance[6] = {(s0[x] - m0 * m0) + eps, s1[x] - m0 * m1, s2[x] - m0 * m2,
                                      (s3[x] - m1 * m1) + eps, s4[x] - m1 * m2, (s5[x] - m2 * m2) + eps};
        double inverse[6];
        symmetricInverse3x3(covariance, inverse);
        s0[x] = static_cast<float>(inverse[0]);
        s1[x] = static_cast<float>(inverse[1]);
        s2[x] = static_cast<float>(inverse[2]);
        s3[x] = static_cast<float>(inverse[3]);
        s4[x] = static_cast<float>(inverse[4]);
        s5[x] = static_cast<float>(inverse[5]);
    }
}

// The rows given as arrays, as the callers hold them.
NIGHTDEHAZE_KERNEL_INLINE void inverseRow(const float* const m[3], float* const s[6], double eps, int n) {
    inverseRowOf(m[0], m[1], m[2], s[0], s[1], s[2], s[3], s[4], s[5], eps, n);
}

void inverseRowBaseline(const float* const m[3], float* const s[6], double eps, int n) { inverseRow(m, s, eps, n); }
NIGHTDEHAZE_AVX2_TARGET void inverseRowAvx2(const float* const m[3], float* const s[6], double eps, int n) {
    inverseRow(m, s, eps, n);
}

// One row of the coefficients: from the window means of p (mp) and of the
// guide times p (u0..u2), a = inverse * (u - m * mp) written over u and
// b = mp - a . m over mp.
NIGHTDEHAZE_KERNEL_INLINE void coefficientRowOf(const float* __restrict m0r, const float* __restrict m1r,
                                                const float* __restrict m2r, const float* __restrict i0r,
                                                const float* __restrict i1r, const float* __restrict i2r,
                                                const float* __restrict i3r, const float* __restrict i4r,
                                                const float* __restrict i5r, float* __restrict mp,
                                                float* __restrict u0r, float* __restrict u1r, float* __restrict u2r,
                                                int n) {
    for (int x = 0; x < n; ++x) {
        const double p = mp[x];
        const double m[3] = {m0r[x], m1r[x], m2r[x]};
        const double u[3] = {u0r[x] - m[0] * p, u1r[x] - m[1] * p, u2r[x] - m[2] * p};
        const double inverse[6] = {i0r[x], i1r[x], i2r[x], i3r[x], i4r[x], i5r[x]};
        double a[3];
        rowTimesSymmetric3x3(u, inverse, a);
        u0r[x] = static_cast<float>(a[0]);
        u1r[x] = static_cast<float>(a[1]);
        u2r[x] = static_cast<float>(a[2]);
        mp[x] = static_cast<float>(modelOffset(p, a, m));
    }
}

NIGHTDEHAZE_KERNEL_INLINE void coefficientRow(const float* const m[3], const float* const inverse[6], float* mp,
                                              float* const u[3], int n) {
    coefficientRowOf(m[0], m[1], m[2], inverse[0], inverse[1], inverse[2], inverse[3], inverse[4], inverse[5], mp,
                     u[0], u[1], u[2], n);
}

void coefficientRowBaseline(const float* const m[3], const float* const inverse[6], float* mp, float* const u[3],
                            int n) {
    coefficientRow(m, inverse, mp, u, n);
}
NIGHTDEHAZE_AVX2_TARGET void coefficientRowAvx2(const float* const m[3], const float* const inverse[6], float* mp,
                                                float* const u[3], int n) {
    coefficientRow(m, inverse, mp, u, n);
}

}  // namespace

ColorGuideStats colorGuideStats(int r, const cv::Mat guide[3], double eps) {
    ColorGuideStats stats;
    stats.r = r;
    for (int c = 0; c < 3; ++c) fastWindowMeans(r, guide[c], stats.mean[c]);
    const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int k = 0; k < 6; ++k) fastWindowMeansOfProducts(r, guide[pairs[k][0]], guide[pairs[k][1]], stats.inverse[k]);
    // The inverse is written over the window means of the products it comes from.
    const auto row = avx2Kernels() ? inverseRowAvx2 : inverseRowBaseline;
    cv::parallel_for_(cv::Range(0, guide[0].rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const float* m[3];
            float* s[6];
            for (int c = 0; c < 3; ++c) m[c] = stats.mean[c].ptr<float>(y);
            for (int k = 0; k < 6; ++k) s[k] = stats.inverse[k].ptr<float>(y);
            row(m, s, eps, guide[0].cols);
        }
    });
    return stats;
}

ColorCoefficients colorCoefficients(const ColorGuideStats& stats, const cv::Mat guide[3], const cv::Mat& p) {
    if (p.type() != CV_32FC1 || p.size() != stats.mean[0].size())
        throw std::invalid_argument("colorCoefficients: expected a CV_32FC1 plane of the guide's size");
    const int r = stats.r;
    ColorCoefficients result;
    fastWindowMeans(r, p, result.b);
    for (int c = 0; c < 3; ++c) fastWindowMeansOfProducts(r, guide[c], p, result.a[c]);
    // a = inverse * u, b = mp - a . m, written over the window means.
    const auto row = avx2Kernels() ? coefficientRowAvx2 : coefficientRowBaseline;
    cv::parallel_for_(cv::Range(0, p.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const float* m[3];
            const float* inverse[6];
            float* u[3];
            for (int c = 0; c < 3; ++c) m[c] = stats.mean[c].ptr<float>(y), u[c] = result.a[c].ptr<float>(y);
            for (int k = 0; k < 6; ++k) inverse[k] = stats.inverse[k].ptr<float>(y);
            row(m, inverse, result.b.ptr<float>(y), u, p.cols);
        }
    });
    for (int c = 0; c < 3; ++c) fastWindowMeans(r, result.a[c], result.a[c]);
    fastWindowMeans(r, result.b, result.b);
    return result;
}

ColorFilterRows::ColorFilterRows(const ColorCoefficients& coefficients, const UpsampledRows& upsampling,
                                 const cv::Mat& bgr8, float scale)
    : a_{{upsampling, coefficients.a[0]}, {upsampling, coefficients.a[1]}, {upsampling, coefficients.a[2]}},
      b_(upsampling, coefficients.b),
      bgr8_(bgr8),
      scale_(scale),
      identity_(upsampling.identity()),
      guide_{std::vector<float>(bgr8.cols), std::vector<float>(bgr8.cols), std::vector<float>(bgr8.cols)} {}

namespace {

// A coefficient at x: interpolated between its rows along y, or (identity)
// the lower row's value as it is.
template <bool identity>
NIGHTDEHAZE_KERNEL_INLINE float coefficientAt(const UpsampledPlaneRows::Around& k, int x) {
    if (identity) return k.lower[x];
    return k.lower[x] + (k.upper[x] - k.lower[x]) * k.weight;
}

// out = ((a0*G0 + a1*G1) + a2*G2) + b along a row, the guide rows already
// scaled.
template <bool identity>
NIGHTDEHAZE_KERNEL_INLINE void appliedRow(const UpsampledPlaneRows::Around (&k)[4], const float* __restrict g0,
                                          const float* __restrict g1, const float* __restrict g2, int n,
                                          float* __restrict out) {
    for (int x = 0; x < n; ++x) {
        const float sum = (coefficientAt<identity>(k[0], x) * g0[x] + coefficientAt<identity>(k[1], x) * g1[x]) +
                          coefficientAt<identity>(k[2], x) * g2[x];
        out[x] = sum + coefficientAt<identity>(k[3], x);
    }
}

NIGHTDEHAZE_KERNEL_INLINE void scaledRow(float* __restrict row, float scale, int n) {
    for (int x = 0; x < n; ++x) row[x] = row[x] * scale;
}

}  // namespace

void ColorFilterRows::row(int y, float* out) {
    const int n = bgr8_.cols;
    const UpsampledPlaneRows::Around k[4] = {a_[0].around(y), a_[1].around(y), a_[2].around(y), b_.around(y)};
    float* g[3] = {guide_[0].data(), guide_[1].data(), guide_[2].data()};
    withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
        splitChannels(bgr8_.ptr<uchar>(y), n, g[0], g[1], g[2]);
        for (float* row : g) scaledRow(row, scale_, n);
        if (identity_)
            appliedRow<true>(k, g[0], g[1], g[2], n, out);
        else
            appliedRow<false>(k, g[0], g[1], g[2], n, out);
    });
}

}  // namespace nightdehaze::detail

namespace nightdehaze::detail {

namespace {

constexpr double kUnitStep = 1.0 / 255.0;  // the guide's bytes on the 0..1 scale

}  // namespace

int coarseRadius(int r, int s) { return r == 0 ? 0 : std::max(1, r / s); }

CoarseGuide::CoarseGuide(const cv::Mat& bgr8, int s)
    : bgr8_(bgr8),
      s_(s),
      means_{blockMeansOfChannel(bgr8, 0, s, kUnitStep), blockMeansOfChannel(bgr8, 1, s, kUnitStep),
             blockMeansOfChannel(bgr8, 2, s, kUnitStep)},
      upsampling_(bgr8.size(), means_[0].size(), s) {}

ColorFilterRows CoarseGuide::rows(const ColorCoefficients& coefficients) const {
    return ColorFilterRows(coefficients, upsampling_, bgr8_, static_cast<float>(kUnitStep));
}

ColorCoefficients CoarseGuide::fitStreamed(const cv::Mat& coarsePlane, int r, double eps) const {
    cv::Mat out[4];
    streamedColorCoefficients(means_, coarsePlane, coarseRadius(r, s_), eps, out);
    return ColorCoefficients{{out[0], out[1], out[2]}, out[3]};
}

FastColorFilter::FastColorFilter(const CoarseGuide& guide, int r, double eps)
    : guide_(guide), stats_(colorGuideStats(coarseRadius(r, guide.factor()), guide.means(), eps)) {}

ColorCoefficients FastColorFilter::fit(const cv::Mat& plane) const {
    return fitCoarse(blockMeans(plane, guide_.factor()));
}

ColorCoefficients FastColorFilter::fitCoarse(const cv::Mat& coarsePlane) const {
    return colorCoefficients(stats_, guide_.means(), coarsePlane);
}

cv::Mat FastColorFilter::coarseResult(const ColorCoefficients& coefficients, float scale) const {
    const cv::Size size = guide_.coarse();
    const cv::Mat* guide = guide_.means();
    cv::Mat result(size, CV_32FC1);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            float* out = result.ptr<float>(y);
            for (int x = 0; x < size.width; ++x) {
                float sum = coefficients.a[0].ptr<float>(y)[x] * guide[0].ptr<float>(y)[x];
                for (int c = 1; c < 3; ++c)
                    sum = sum + coefficients.a[c].ptr<float>(y)[x] * guide[c].ptr<float>(y)[x];
                out[x] = (sum + coefficients.b.ptr<float>(y)[x]) * scale;
            }
        }
    });
    return result;
}

}  // namespace nightdehaze::detail
