#include "reference/guided_filter_gray_literal.hpp"

#include "nightdehaze/nightdehaze.hpp"

using namespace nightdehaze;

namespace literal {

cv::Mat divideOrZero(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat q = a / b;
    q.setTo(0.0, b == 0.0);
    return q;
}

void guidedFilterGray(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps) {
    I.convertTo(I, CV_64F);
    p.convertTo(p, CV_64F);
    auto box = [r](const cv::Mat& x) { cv::Mat s; ::cumBoxFilter(r, s, x); return s; };
    cv::Mat N = box(cv::Mat::ones(p.rows, p.cols, CV_64F));
    cv::Mat mean_I = box(I) / N;
    cv::Mat mean_p = box(p) / N;
    cv::Mat Ip = I.mul(p);
    cv::Mat mean_Ip = box(Ip) / N;
    cv::Mat cov_Ip = mean_Ip - mean_I.mul(mean_p);
    cv::Mat II = I.mul(I);
    cv::Mat mean_II = box(II) / N;
    cv::Mat var_I = mean_II - mean_I.mul(mean_I);
    cv::Mat denominator = var_I + cv::Scalar(eps);
    cv::Mat a = divideOrZero(cov_Ip, denominator);
    cv::Mat b = mean_p - a.mul(mean_I);
    cv::Mat mean_a = box(a) / N;
    cv::Mat mean_b = box(b) / N;
    q = mean_a.mul(I) + mean_b;
}

}  // namespace literal
