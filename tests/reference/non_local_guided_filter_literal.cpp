#include "reference/non_local_guided_filter_literal.hpp"

#include "reference/pad_symmetric_literal.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace literal {
namespace {

struct Patches {
    std::vector<cv::Mat> Q;
    int r;
    double A, h2, T;

    double weight(int i, int j, int k, int l) const {
        double D = 0;
        for (int a = 0; a <= 2 * r; ++a)
            for (int b = 0; b <= 2 * r; ++b)
                for (int c = 0; c < 3; ++c) {
                    const double diff = Q[c].at<double>(i + a, j + b) - Q[c].at<double>(k + a, l + b);
                    D += diff * diff;
                }
        double d = D / A / 3.0 - T;
        if (d < 0) d = 0;
        return std::exp(-d / h2);
    }
};

}  // namespace

void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p, double sigma, double eps) {
    std::vector<cv::Mat> G;
    cv::split(I, G);
    for (cv::Mat& plane : G) plane.convertTo(plane, CV_64F);
    const int H = G[0].rows, W = G[0].cols;
    cv::Mat P;
    p.convertTo(P, CV_64F);

    std::vector<cv::Mat> X = {G[2], G[1], G[0], P,
                              G[2].mul(P), G[1].mul(P), G[0].mul(P),
                              G[2].mul(G[2]), G[2].mul(G[1]), G[2].mul(G[0]),
                              G[1].mul(G[1]), G[1].mul(G[0]), G[0].mul(G[0])};

    Patches patches;
    patches.r = r;
    const int n = 2 * r + 1;
    const int area = n * n;
    patches.A = area;
    patches.h2 = (sigma * sigma) * 0.16000000000000003;
    patches.T = 2 * (sigma * sigma);
    patches.Q.resize(3);
    for (int c = 0; c < 3; ++c) {
        padSymmetric(r, patches.Q[c], G[c]);
        patches.Q[c].convertTo(patches.Q[c], CV_64F);
    }

    std::vector<cv::Mat> mean(X.size());
    for (cv::Mat& m : mean) m = cv::Mat::zeros(H, W, CV_64FC1);
    for (int i = 0; i < H; ++i)
        for (int j = 0; j < W; ++j) {
            double weightSum = 0.0;
            std::vector<double> sums(X.size(), 0.0);
            for (int k = std::max(i - s, 0); k <= std::min(i + s, H - 1); ++k)
                for (int l = std::max(j - s, 0); l <= std::min(j + s, W - 1); ++l) {
                    const double w = patches.weight(i, j, k, l);
                    weightSum += w;
                    for (size_t x = 0; x < X.size(); ++x) sums[x] += w * X[x].at<double>(k, l);
                }
            for (size_t x = 0; x < X.size(); ++x) mean[x].at<double>(i, j) = sums[x] / weightSum;
        }
    cv::Mat &mG2 = mean[0], &mG1 = mean[1], &mG0 = mean[2], &mP = mean[3];
    cv::Mat cov2 = mean[4] - mG2.mul(mP);
    cv::Mat cov1 = mean[5] - mG1.mul(mP);
    cv::Mat cov0 = mean[6] - mG0.mul(mP);
    mean[7] = mean[7] - mG2.mul(mG2);
    mean[8] = mean[8] - mG2.mul(mG1);
    mean[9] = mean[9] - mG2.mul(mG0);
    mean[10] = mean[10] - mG1.mul(mG1);
    mean[11] = mean[11] - mG1.mul(mG0);
    mean[12] = mean[12] - mG0.mul(mG0);
    const cv::Mat &C22 = mean[7], &C21 = mean[8], &C20 = mean[9], &C11 = mean[10], &C10 = mean[11],
                  &C00 = mean[12];

    cv::Mat a2 = cv::Mat::zeros(H, W, CV_64FC1), a1 = cv::Mat::zeros(H, W, CV_64FC1),
            a0 = cv::Mat::zeros(H, W, CV_64FC1);
    for (int i = 0; i < H; ++i)
        for (int j = 0; j < W; ++j) {
            cv::Mat S = (cv::Mat_<double>(3, 3) << C22.at<double>(i, j) + eps, C21.at<double>(i, j),
                         C20.at<double>(i, j), C21.at<double>(i, j), C11.at<double>(i, j) + eps,
                         C10.at<double>(i, j), C20.at<double>(i, j), C10.at<double>(i, j),
                         C00.at<double>(i, j) + eps);
            cv::Mat u = (cv::Mat_<double>(1, 3) << cov2.at<double>(i, j), cov1.at<double>(i, j),
                         cov0.at<double>(i, j));
            cv::Mat a = u * S.inv(cv::DECOMP_LU);
            a2.at<double>(i, j) = a.at<double>(0);
            a1.at<double>(i, j) = a.at<double>(1);
            a0.at<double>(i, j) = a.at<double>(2);
        }
    cv::Mat b = mP - a2.mul(mG2) - a1.mul(mG1) - a0.mul(mG0);
    cv::Mat q0 = a2.mul(G[2]) + a1.mul(G[1]) + a0.mul(G[0]) + b;

    cv::Mat result = cv::Mat::zeros(H, W, CV_64FC1);
    for (int i = 0; i < H; ++i)
        for (int j = 0; j < W; ++j) {
            double weightSum = 0.0, sum = 0.0;
            for (int k = std::max(i - s, 0); k <= std::min(i + s, H - 1); ++k)
                for (int l = std::max(j - s, 0); l <= std::min(j + s, W - 1); ++l) {
                    const double w = patches.weight(i, j, k, l);
                    weightSum += w;
                    sum += w * q0.at<double>(k, l);
                }
            result.at<double>(i, j) = sum / weightSum;
        }
    q = result.clone();
}

}  // namespace literal
