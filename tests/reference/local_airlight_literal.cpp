#include "reference/local_airlight_literal.hpp"

#include <algorithm>
#include <cmath>

namespace literal {

namespace {

cv::Mat rowCopy(const cv::Mat& m, const cv::Range& rows, const cv::Range& cols) {
    return m(rows, cols).clone().reshape(0, 1);
}

}  // namespace

void localAirlight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark, cv::Mat& S0,
                   cv::Mat& S1, cv::Mat& S2, cv::Mat& N, const cv::Mat* V, cv::Mat* B) {
    const int H = dark.rows, W = dark.cols;
    cv::Mat zero = cv::Mat::zeros(H, W, CV_64F);
    cv::Mat s0 = zero.clone(), s1 = zero.clone(), s2 = zero.clone(), n1 = zero.clone();
    cv::Mat bright = zero.clone();
    const int kTop = (int)std::floor((2 * r + 1) * (2 * r + 1) * 0.05);
    for (int i = 0; i < H; i += r) {
        for (int j = 0; j < W; j += r) {
            cv::Range rows(std::max(i - r, 0), std::min(i + r + 1, H));
            cv::Range cols(std::max(j - r, 0), std::min(j + r + 1, W));
            cv::Mat y0 = rowCopy(planes.at(0), rows, cols);
            cv::Mat y1 = rowCopy(planes.at(1), rows, cols);
            cv::Mat y2 = rowCopy(planes.at(2), rows, cols);
            cv::Mat d = rowCopy(dark, rows, cols);
            const int n = d.cols;
            cv::Mat order = cv::Mat::zeros(1, n, CV_32S);
            cv::sortIdx(d, order, cv::SORT_EVERY_ROW + cv::SORT_DESCENDING);

            // Guard: a window of at most kTop pixels has no rank kTop; its last
            // rank takes that role.
            const int boundary = n > kTop ? kTop : n - 1;
            int k = kTop;
            for (int m = 0;; ++m) {
                if (m >= n - 1) {
                    k = n - 1;
                    break;
                }
                if (d.at<double>(order.at<int>(boundary)) > d.at<double>(order.at<int>(m))) {
                    k = m - 1;
                    break;
                }
            }
            // Guard: at least one candidate, so the mean is never 0 / 0.
            if (k < 1) k = 1;

            cv::Mat q0(1, k, CV_64F), q1(1, k, CV_64F), q2(1, k, CV_64F);
            for (int m = 0; m < k; ++m) {
                q0.at<double>(m) = y0.at<uchar>(order.at<int>(m));
                q1.at<double>(m) = y1.at<uchar>(order.at<int>(m));
                q2.at<double>(m) = y2.at<uchar>(order.at<int>(m));
            }
            cv::Mat s = cv::Mat::zeros(1, k, CV_64F);
            cv::add(s, q0, s);
            cv::add(s, q1, s);
            cv::add(s, q2, s);
            s.convertTo(s, -1, 1.0 / 3, 0);
            cv::Mat order2 = cv::Mat::zeros(1, k, CV_32S);
            cv::sortIdx(s, order2, cv::SORT_EVERY_ROW + cv::SORT_DESCENDING);

            const int mAvg = std::min(k, r);
            double A0 = 0, A1 = 0, A2 = 0;
            for (int m = 0; m < mAvg; ++m) {
                A0 += q0.at<double>(order2.at<int>(m));
                A1 += q1.at<double>(order2.at<int>(m));
                A2 += q2.at<double>(order2.at<int>(m));
            }
            A0 /= mAvg;
            A1 /= mAvg;
            A2 /= mAvg;

            cv::Mat w0 = s0(rows, cols), w1 = s1(rows, cols), w2 = s2(rows, cols);
            cv::add(w0, cv::Scalar(A0), w0);
            cv::add(w1, cv::Scalar(A1), w1);
            cv::add(w2, cv::Scalar(A2), w2);
            cv::Mat wn = n1(rows, cols);
            cv::add(wn, cv::Scalar(1.0), wn);
            if (V) {
                double vmax = 0;
                cv::minMaxLoc((*V)(rows, cols), nullptr, &vmax);
                cv::Mat wb = bright(rows, cols);
                cv::add(wb, cv::Scalar(vmax), wb);
            }
        }
    }
    S0 = s0.clone();
    S1 = s1.clone();
    S2 = s2.clone();
    N = n1.clone();
    if (B) *B = bright.clone();
}

}  // namespace literal
