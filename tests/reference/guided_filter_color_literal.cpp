#include "reference/guided_filter_color_literal.hpp"

#include "nightdehaze/nightdehaze.hpp"

#include <vector>

using namespace nightdehaze;

namespace literal {

namespace {

cv::Mat box(int r, const cv::Mat& x) {
    cv::Mat sums;
    cumBoxFilter(r, sums, x);
    return sums;
}

}  // namespace

void guidedFilterColor(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps) {
    std::vector<cv::Mat> planes;
    cv::split(I, planes);
    cv::Mat G2 = planes.at(2), G1 = planes.at(1), G0 = planes.at(0);
    G2.convertTo(G2, CV_64F);
    G1.convertTo(G1, CV_64F);
    G0.convertTo(G0, CV_64F);
    p.convertTo(p, CV_64F);
    const int H = p.rows, W = p.cols;

    cv::Mat N = box(r, cv::Mat::ones(H, W, CV_64F));

    cv::Mat m2 = box(r, G2) / N;
    cv::Mat m1 = box(r, G1) / N;
    cv::Mat m0 = box(r, G0) / N;
    cv::Mat mp = box(r, p) / N;

    cv::Mat G2p = G2.mul(p), G1p = G1.mul(p), G0p = G0.mul(p);
    cv::Mat cov2 = box(r, G2p) / N - m2.mul(mp);
    cv::Mat cov1 = box(r, G1p) / N - m1.mul(mp);
    cv::Mat cov0 = box(r, G0p) / N - m0.mul(mp);

    cv::Mat G22 = G2.mul(G2), G21 = G2.mul(G1), G20 = G2.mul(G0);
    cv::Mat G11 = G1.mul(G1), G10 = G1.mul(G0), G00 = G0.mul(G0);
    cv::Mat C22 = box(r, G22) / N - m2.mul(m2);
    cv::Mat C21 = box(r, G21) / N - m2.mul(m1);
    cv::Mat C20 = box(r, G20) / N - m2.mul(m0);
    cv::Mat C11 = box(r, G11) / N - m1.mul(m1);
    cv::Mat C10 = box(r, G10) / N - m1.mul(m0);
    cv::Mat C00 = box(r, G00) / N - m0.mul(m0);

    cv::Mat a2 = cv::Mat::zeros(H, W, CV_64F);
    cv::Mat a1 = a2.clone(), a0 = a2.clone();
    for (int i = 0; i < H; ++i) {
        for (int j = 0; j < W; ++j) {
            cv::Mat S;
            S.create(3, 3, CV_64F);
            S.at<double>(0, 0) = C22.at<double>(i, j) + eps;
            S.at<double>(0, 1) = C21.at<double>(i, j);
            S.at<double>(0, 2) = C20.at<double>(i, j);
            S.at<double>(1, 0) = C21.at<double>(i, j);
            S.at<double>(1, 1) = C11.at<double>(i, j) + eps;
            S.at<double>(1, 2) = C10.at<double>(i, j);
            S.at<double>(2, 0) = C20.at<double>(i, j);
            S.at<double>(2, 1) = C10.at<double>(i, j);
            S.at<double>(2, 2) = C00.at<double>(i, j) + eps;
            cv::Mat u;
            u.create(1, 3, CV_64F);
            u.at<double>(0, 0) = cov2.at<double>(i, j);
            u.at<double>(0, 1) = cov1.at<double>(i, j);
            u.at<double>(0, 2) = cov0.at<double>(i, j);
            cv::Mat Sinv = S.inv(cv::DECOMP_LU);
            cv::Mat a = u * Sinv;
            a2.at<double>(i, j) = a.at<double>(0, 0);
            a1.at<double>(i, j) = a.at<double>(0, 1);
            a0.at<double>(i, j) = a.at<double>(0, 2);
        }
    }

    cv::Mat b = mp - a2.mul(m2) - a1.mul(m1) - a0.mul(m0);

    cv::Mat A2 = box(r, a2), A1 = box(r, a1), A0 = box(r, a0), B = box(r, b);
    cv::Mat sum = A2.mul(G2) + A1.mul(G1) + A0.mul(G0) + B;
    q = sum / N;
}

}  // namespace literal
