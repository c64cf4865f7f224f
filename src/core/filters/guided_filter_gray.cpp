#include "nightdehaze/nightdehaze.hpp"

#include "core/filters/box_sum_rows.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nightdehaze {

using namespace detail;

// Two streamed sweeps, as in the colour filter: the first box-sums the
// statistics of guide and input row by row and fits a and b; the second
// box-sums a and b and applies them. Each box sum is bit-identical to
// cumBoxFilter, and the element-wise steps keep their order, so the result is
// exactly that of filtering with separate full-image box sums.

namespace {

// Window sums of the first sweep. With the image as its own guide, the sums of
// p and I.*p are those of I and I.*I: the same numbers, summed once.
enum Stat { kI, kII, kP, kIP, kStats };
enum Coefficient { kA, kB, kCoefficients };

void checkArguments(int r, const cv::Mat& I, const cv::Mat& p) {
    if (r < 0) throw std::invalid_argument("guidedFilterGray: negative radius");
    if (I.channels() != 1 || p.channels() != 1)
        throw std::invalid_argument("guidedFilterGray: guide and input must have one channel");
    if (I.size() != p.size())
        throw std::invalid_argument("guidedFilterGray: guide and input differ in size");
}

struct FitRow {
    const double *sumI, *sumII, *sumP, *sumIP;
};

void fitRow(const FitRow& s, double rowCount, const double* colCounts, int cols, double eps,
            double* __restrict a, double* __restrict b) {
    for (int j = 0; j < cols; ++j) {
        const double n = rowCount * colCounts[j];
        const double meanI = s.sumI[j] / n;
        const double meanP = s.sumP[j] / n;
        const double cov = s.sumIP[j] / n - meanI * meanP;
        const double var = s.sumII[j] / n - meanI * meanI;
        const double denominator = var + eps;
        // A window of constant guide with eps = 0 has nothing to fit: a = 0.
        const double aj = denominator != 0.0 ? cov / denominator : 0.0;
        a[j] = aj;
        b[j] = meanP - aj * meanI;
    }
}

void applyRow(const double* __restrict sumA, const double* __restrict sumB,
              const double* __restrict guide, double rowCount, const double* colCounts, int cols,
              double* __restrict q) {
    for (int j = 0; j < cols; ++j) {
        const double n = rowCount * colCounts[j];
        q[j] = (sumA[j] / n) * guide[j] + sumB[j] / n;
    }
}

}  // namespace

void guidedFilterGray(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps) {
    checkArguments(r, I, p);
    if (p.empty()) {
        q = cv::Mat(p.size(), CV_64FC1);
        return;
    }
    const bool selfGuided = I.data == p.data && I.type() == p.type() && I.step == p.step;
    const cv::Mat guide = inDouble(I);
    const cv::Mat input = selfGuided ? guide : inDouble(p);
    const cv::Size size = p.size();
    const std::vector<double> rowCounts = windowCounts(size.height, r);
    const std::vector<double> colCounts = windowCounts(size.width, r);

    cv::Mat coefficients[kCoefficients];
    for (cv::Mat& c : coefficients) c.create(size, CV_64FC1);
    streamBoxSums(
        r, size, selfGuided ? 2 : kStats,
        [&](int row, int c0, int c1, double* const* acc) {
            const double* g = guide.ptr<double>(row) + c0;
            addRow(g, c1 - c0, acc[kI]);
            addProductRow(g, g, c1 - c0, acc[kII]);
            if (selfGuided) return;
            const double* v = input.ptr<double>(row) + c0;
            addRow(v, c1 - c0, acc[kP]);
            addProductRow(g, v, c1 - c0, acc[kIP]);
        },
        [&](int row, const double* const* sums) {
            const FitRow s{sums[kI], sums[kII], selfGuided ? sums[kI] : sums[kP],
                           selfGuided ? sums[kII] : sums[kIP]};
            fitRow(s, rowCounts[row], colCounts.data(), size.width, eps,
                   coefficients[kA].ptr<double>(row), coefficients[kB].ptr<double>(row));
        });

    cv::Mat result(size, CV_64FC1);
    streamBoxSums(
        r, size, kCoefficients,
        [&](int row, int c0, int c1, double* const* acc) {
            for (int k = 0; k < kCoefficients; ++k)
                addRow(coefficients[k].ptr<double>(row) + c0, c1 - c0, acc[k]);
        },
        [&](int row, const double* const* sums) {
            applyRow(sums[kA], sums[kB], guide.ptr<double>(row), rowCounts[row], colCounts.data(),
                     size.width, result.ptr<double>(row));
        });
    q = result;
}

}  // namespace nightdehaze
