#include "core/filters/guided_filter_color.hpp"

#include "core/filters/box_sum_rows.hpp"
#include "core/filters/guide_system.hpp"
#include "core/filters/solve3x3.hpp"
#include "core/exact/exact_arithmetic.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze {

using namespace detail;

namespace {

// The guide (three interleaved channels: CV_64F, or CV_8U standing for the
// doubles byteValues gives) and the input (CV_64F). The guide is not split
// into planes: each row is de-interleaved into a per-thread buffer when it is
// read, which saves three image-sized planes.
struct FilterPlanes {
    cv::Mat guide, p;
    std::array<double, 256> byteValues{};  // an 8-bit guide's doubles, by byte
};

// Row `row`, columns [c0, c1), of the guide's channels 2, 1 and 0.
struct GuideRow {
    const double* g2;
    const double* g1;
    const double* g0;
};

template <typename T, typename ToDouble>
void deinterleave(const T* pixel, int n, const ToDouble& value, double* g2, double* g1, double* g0) {
    for (int x = 0; x < n; ++x) {
        g0[x] = value(pixel[3 * x]);
        g1[x] = value(pixel[3 * x + 1]);
        g2[x] = value(pixel[3 * x + 2]);
    }
}

GuideRow guideRow(const FilterPlanes& in, int row, int c0, int c1) {
    thread_local std::vector<double> buffer;
    const int n = c1 - c0;
    if (buffer.size() < 3 * static_cast<size_t>(n)) buffer.resize(3 * static_cast<size_t>(n));
    double* g2 = buffer.data();
    double* g1 = g2 + n;
    double* g0 = g1 + n;
    if (in.guide.depth() == CV_8U) {
        const double* byteValue = in.byteValues.data();
        const auto value = [byteValue](uchar v) { return byteValue[v]; };
        deinterleave(in.guide.ptr<uchar>(row) + 3 * c0, n, value, g2, g1, g0);
    } else {
        deinterleave(in.guide.ptr<double>(row) + 3 * c0, n, [](double v) { return v; }, g2, g1, g0);
    }
    return {g2, g1, g0};
}

// Window sums of the first sweep, one plane each: the guide planes, the input,
// the guide planes times the input, and the six distinct guide products.
enum GuideStat {
    kG2, kG1, kG0, kP,
    kG2P, kG1P, kG0P,
    kG22, kG21, kG20, kG11, kG10, kG00,
    kGuideStats
};

// Window sums of the second sweep: the coefficients and the offset.
enum Coefficient { kA2, kA1, kA0, kB, kCoefficients };

void checkArguments(int r, const cv::Mat& I, const cv::Mat& p) {
    if (r < 0)
        throw std::invalid_argument("guidedFilterColor: negative radius " + std::to_string(r));
    if (I.channels() != 3)
        throw std::invalid_argument("guidedFilterColor: guide must have 3 channels, not " +
                                    std::to_string(I.channels()));
    if (p.channels() != 1)
        throw std::invalid_argument("guidedFilterColor: input must have 1 channel, not " +
                                    std::to_string(p.channels()));
    if (I.size() != p.size())
        throw std::invalid_argument("guidedFilterColor: guide is " + std::to_string(I.cols) + "x" +
                                    std::to_string(I.rows) + " but input is " +
                                    std::to_string(p.cols) + "x" + std::to_string(p.rows));
}

FilterPlanes planesInDouble(const cv::Mat& I, const cv::Mat& p) {
    return {inDouble(I), inDouble(p)};
}

FilterPlanes planesOf(const ByteGuide& guide, const cv::Mat& p) {
    FilterPlanes planes{guide.image, p};
    for (int v = 0; v < 256; ++v) planes.byteValues[v] = scaled(v, guide.scale);
    return planes;
}

void addGuideStats(const FilterPlanes& in, int row, int c0, int c1, double* const* acc) {
    const GuideRow g = guideRow(in, row, c0, c1);
    const double *g2 = g.g2, *g1 = g.g1, *g0 = g.g0;
    const double* p = in.p.ptr<double>(row) + c0;
    const int n = c1 - c0;
    addRow(g2, n, acc[kG2]);
    addRow(g1, n, acc[kG1]);
    addRow(g0, n, acc[kG0]);
    addRow(p, n, acc[kP]);
    addProductRow(g2, p, n, acc[kG2P]);
    addProductRow(g1, p, n, acc[kG1P]);
    addProductRow(g0, p, n, acc[kG0P]);
    addProductRow(g2, g2, n, acc[kG22]);
    addProductRow(g2, g1, n, acc[kG21]);
    addProductRow(g2, g0, n, acc[kG20]);
    addProductRow(g1, g1, n, acc[kG11]);
    addProductRow(g1, g0, n, acc[kG10]);
    addProductRow(g0, g0, n, acc[kG00]);
}

void addCoefficients(const cv::Mat (&coefficients)[kCoefficients], int row, int c0, int c1,
                     double* const* acc) {
    for (int k = 0; k < kCoefficients; ++k)
        addRow(coefficients[k].ptr<double>(row) + c0, c1 - c0, acc[k]);
}

// Per pixel of one row: the window means and covariances, the least-squares
// coefficients a = u * inverse(S) and the offset b.
NIGHTDEHAZE_KERNEL_INLINE void fitCoefficientsRowBody(
    const double* const* sums, double rowCount, const double* colCounts, int cols, double eps,
    double* __restrict a2, double* __restrict a1, double* __restrict a0, double* __restrict b) {
    const double *__restrict s2 = sums[kG2], *__restrict s1 = sums[kG1];
    const double *__restrict s0 = sums[kG0], *__restrict sp = sums[kP];
    const double *__restrict s2p = sums[kG2P], *__restrict s1p = sums[kG1P];
    const double *__restrict s0p = sums[kG0P], *__restrict s22 = sums[kG22];
    const double *__restrict s21 = sums[kG21], *__restrict s20 = sums[kG20];
    const double *__restrict s11 = sums[kG11], *__restrict s10 = sums[kG10];
    const double* __restrict s00 = sums[kG00];
    for (int j = 0; j < cols; ++j) {
        const double n = rowCount * colCounts[j];
        const double m[3] = {s2[j] / n, s1[j] / n, s0[j] / n}, mp = sp[j] / n;
        const double guideProducts[6] = {s22[j], s21[j], s20[j], s11[j], s10[j], s00[j]};
        const double inputProducts[3] = {s2p[j], s1p[j], s0p[j]};
        double S[6], inverse[6], u[3], a[3];
        guideSystem3x3(m, guideProducts, n, eps, S);
        guideInputCovariance(m, mp, inputProducts, n, u);
        symmetricInverse3x3(S, inverse);
        rowTimesSymmetric3x3(u, inverse, a);
        a2[j] = a[0];
        a1[j] = a[1];
        a0[j] = a[2];
        b[j] = modelOffset(mp, a, m);
    }
}

NIGHTDEHAZE_AVX2_TARGET void fitCoefficientsRowAvx2(const double* const* sums, double rowCount,
                                                    const double* colCounts, int cols, double eps,
                                                    double* a2, double* a1, double* a0, double* b) {
    fitCoefficientsRowBody(sums, rowCount, colCounts, cols, eps, a2, a1, a0, b);
}

void fitCoefficientsRowBaseline(const double* const* sums, double rowCount,
                                const double* colCounts, int cols, double eps, double* a2,
                                double* a1, double* a0, double* b) {
    fitCoefficientsRowBody(sums, rowCount, colCounts, cols, eps, a2, a1, a0, b);
}

void fitCoefficientsRow(const double* const* sums, double rowCount, const double* colCounts,
                        int cols, double eps, double* a2, double* a1, double* a0, double* b) {
    (avx2Kernels() ? fitCoefficientsRowAvx2 : fitCoefficientsRowBaseline)(
        sums, rowCount, colCounts, cols, eps, a2, a1, a0, b);
}

// Per pixel of one row: the window sums of the coefficients applied to the
// guide, then divided by the window's pixel count.
void applyCoefficientsRow(const double* const* sums, const FilterPlanes& in, int row,
                          double rowCount, const double* colCounts, int cols,
                          double* __restrict q) {
    const double *__restrict A2 = sums[kA2], *__restrict A1 = sums[kA1];
    const double *__restrict A0 = sums[kA0], *__restrict B = sums[kB];
    const GuideRow g = guideRow(in, row, 0, cols);
    const double* __restrict g2 = g.g2;
    const double* __restrict g1 = g.g1;
    const double* __restrict g0 = g.g0;
    for (int j = 0; j < cols; ++j)
        q[j] = ((((A2[j] * g2[j]) + (A1[j] * g1[j])) + (A0[j] * g0[j])) + B[j]) /
               (rowCount * colCounts[j]);
}

// The filter of in.p into result (CV_64FC1 of p's size), which may hold
// in.p's own pixels: the input is read by the first sweep only.
void filterInto(int r, const FilterPlanes& in, double eps, cv::Mat& result) {
    const cv::Size size = in.p.size();
    const std::vector<double> rowCounts = windowCounts(size.height, r);
    const std::vector<double> colCounts = windowCounts(size.width, r);

    cv::Mat coefficients[kCoefficients];
    for (cv::Mat& c : coefficients) c.create(size, CV_64FC1);
    streamBoxSums(
        r, size, kGuideStats,
        [&](int row, int c0, int c1, double* const* acc) { addGuideStats(in, row, c0, c1, acc); },
        [&](int row, const double* const* sums) {
            fitCoefficientsRow(sums, rowCounts[row], colCounts.data(), size.width, eps,
                               coefficients[kA2].ptr<double>(row),
                               coefficients[kA1].ptr<double>(row),
                               coefficients[kA0].ptr<double>(row),
                               coefficients[kB].ptr<double>(row));
        });

    streamBoxSums(
        r, size, kCoefficients,
        [&](int row, int c0, int c1, double* const* acc) {
            addCoefficients(coefficients, row, c0, c1, acc);
        },
        [&](int row, const double* const* sums) {
            applyCoefficientsRow(sums, in, row, rowCounts[row], colCounts.data(), size.width,
                                 result.ptr<double>(row));
        });
}

bool overlaps(const cv::Mat& a, const cv::Mat& b) {
    return a.datastart < b.dataend && b.datastart < a.dataend;
}

}  // namespace

void guidedFilterColor(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps) {
    checkArguments(r, I, p);
    cv::Mat result(p.size(), CV_64FC1);
    if (!p.empty()) filterInto(r, planesInDouble(I, p), eps, result);
    q = result;
}

namespace {

void checkInPlace(const cv::Mat& plane, const cv::Mat& guide) {
    if (plane.type() != CV_64FC1)
        throw std::invalid_argument("guidedFilterColorInPlace: plane must be CV_64FC1");
    if (overlaps(plane, guide))
        throw std::invalid_argument("guidedFilterColorInPlace: plane and guide share pixels");
}

}  // namespace

void detail::guidedFilterColorInPlace(int r, cv::Mat& plane, const cv::Mat& I, double eps) {
    checkArguments(r, I, plane);
    checkInPlace(plane, I);
    if (!plane.empty()) filterInto(r, planesInDouble(I, plane), eps, plane);
}

void detail::guidedFilterColorInPlace(int r, cv::Mat& plane, const ByteGuide& guide, double eps) {
    checkArguments(r, guide.image, plane);
    if (guide.image.type() != CV_8UC3)
        throw std::invalid_argument("guidedFilterColorInPlace: a byte guide must be CV_8UC3");
    checkInPlace(plane, guide.image);
    if (!plane.empty()) filterInto(r, planesOf(guide, plane), eps, plane);
}

}  // namespace nightdehaze
