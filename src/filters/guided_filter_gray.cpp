#include "filters/guided_filter_gray.hpp"

#include "filters/box_filter.hpp"

#include <opencv2/core/utility.hpp>

#include <stdexcept>

namespace {

// Calls fn(i) for every row i, rows split into bands over the worker threads.
template <typename RowFn>
void forEachRow(int rows, RowFn fn) {
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) fn(i);
    });
}

cv::Mat boxSum(int r, const cv::Mat& m) {
    cv::Mat sums;
    cumBoxFilter(r, sums, m);
    return sums;
}

cv::Mat product(const cv::Mat& a, const cv::Mat& b) {
    if (a.data == b.data) return a.mul(a);
    return a.mul(b);
}

void checkArguments(int r, const cv::Mat& I, const cv::Mat& p) {
    if (r < 0) throw std::invalid_argument("guidedFilterGray: negative radius");
    if (I.channels() != 1 || p.channels() != 1)
        throw std::invalid_argument("guidedFilterGray: guide and input must have one channel");
    if (I.size() != p.size())
        throw std::invalid_argument("guidedFilterGray: guide and input differ in size");
}

}  // namespace

void guidedFilterGray(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps) {
    checkArguments(r, I, p);
    const bool selfGuided = I.data == p.data && I.type() == p.type() && I.step == p.step;
    I.convertTo(I, CV_64F);
    p = selfGuided ? I : p;
    p.convertTo(p, CV_64F);
    const int rows = p.rows, cols = p.cols;

    const cv::Mat N = boxSum(r, cv::Mat::ones(rows, cols, CV_64F));
    const cv::Mat sumI = boxSum(r, I);
    // With the image as its own guide, the sums of p and I.*p are those of I
    // and I.*I: the same numbers, computed once.
    const cv::Mat sumII = boxSum(r, product(I, I));
    const cv::Mat sumP = selfGuided ? sumI : boxSum(r, p);
    const cv::Mat sumIP = selfGuided ? sumII : boxSum(r, product(I, p));

    cv::Mat a(rows, cols, CV_64F), b(rows, cols, CV_64F);
    forEachRow(rows, [&](int i) {
        const double *n = N.ptr<double>(i), *sI = sumI.ptr<double>(i), *sP = sumP.ptr<double>(i);
        const double *sIP = sumIP.ptr<double>(i), *sII = sumII.ptr<double>(i);
        double *ai = a.ptr<double>(i), *bi = b.ptr<double>(i);
        for (int j = 0; j < cols; ++j) {
            const double meanI = sI[j] / n[j];
            const double meanP = sP[j] / n[j];
            const double cov = sIP[j] / n[j] - meanI * meanP;
            const double var = sII[j] / n[j] - meanI * meanI;
            const double denominator = var + eps;
            // A window of constant guide with eps = 0 has nothing to fit: a = 0.
            ai[j] = denominator != 0.0 ? cov / denominator : 0.0;
            bi[j] = meanP - ai[j] * meanI;
        }
    });

    const cv::Mat sumA = boxSum(r, a), sumB = boxSum(r, b);
    cv::Mat result(rows, cols, CV_64F);
    forEachRow(rows, [&](int i) {
        const double *n = N.ptr<double>(i), *g = I.ptr<double>(i);
        const double *sA = sumA.ptr<double>(i), *sB = sumB.ptr<double>(i);
        double* out = result.ptr<double>(i);
        for (int j = 0; j < cols; ++j) out[j] = (sA[j] / n[j]) * g[j] + sB[j] / n[j];
    });
    q = result;
}
