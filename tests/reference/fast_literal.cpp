#include "reference/fast_literal.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace literal {

namespace {

double valueAt(const cv::Mat& plane, int y, int x) {
    return plane.depth() == CV_32F ? plane.at<float>(y, x) : plane.at<double>(y, x);
}

// Interpolation position of full index i on a coarse line of n samples.
void axisAt(int i, int n, int s, int& lower, float& weight) {
    const double u = (i + 0.5) / s - 0.5;
    lower = static_cast<int>(std::floor(u));
    weight = static_cast<float>(u - lower);
    if (u <= 0.0 || n == 1) lower = 0, weight = 0.0f;
    if (lower >= n - 1) lower = n - 1, weight = 0.0f;
}

}  // namespace

double windowSumAt(int r, const cv::Mat& plane, int y, int x, double* absoluteSum) {
    double sum = 0.0, absolute = 0.0;
    for (int v = std::max(0, y - r); v <= std::min(plane.rows - 1, y + r); ++v)
        for (int u = std::max(0, x - r); u <= std::min(plane.cols - 1, x + r); ++u) {
            sum += valueAt(plane, v, u);
            absolute += std::abs(valueAt(plane, v, u));
        }
    if (absoluteSum) *absoluteSum = absolute;
    return sum;
}

cv::Mat fastWindowSums(int r, const cv::Mat& plane, bool means) {
    cv::Mat out(plane.size(), CV_64FC1);
    for (int y = 0; y < plane.rows; ++y)
        for (int x = 0; x < plane.cols; ++x) {
            const double count = (std::min(plane.rows - 1, y + r) - std::max(0, y - r) + 1.0) *
                                 (std::min(plane.cols - 1, x + r) - std::max(0, x - r) + 1.0);
            const double sum = windowSumAt(r, plane, y, x);
            out.at<double>(y, x) = means ? sum / count : sum;
        }
    return out;
}

cv::Mat blockMeans(const cv::Mat& plane, int s) {
    cv::Mat out((plane.rows + s - 1) / s, (plane.cols + s - 1) / s, CV_32FC1);
    for (int cy = 0; cy < out.rows; ++cy)
        for (int cx = 0; cx < out.cols; ++cx) {
            double sum = 0.0;
            int count = 0;
            for (int y = cy * s; y < std::min(plane.rows, cy * s + s); ++y)
                for (int x = cx * s; x < std::min(plane.cols, cx * s + s); ++x, ++count) sum += valueAt(plane, y, x);
            out.at<float>(cy, cx) = static_cast<float>(sum / count);
        }
    return out;
}

cv::Mat upsampled(const cv::Mat& coarse, cv::Size full, int s) {
    cv::Mat out(full, CV_32FC1);
    for (int y = 0; y < full.height; ++y)
        for (int x = 0; x < full.width; ++x) {
            int y0, x0;
            float wy, wx;
            axisAt(y, coarse.rows, s, y0, wy);
            axisAt(x, coarse.cols, s, x0, wx);
            const int y1 = std::min(y0 + 1, coarse.rows - 1), x1 = std::min(x0 + 1, coarse.cols - 1);
            const auto alongX = [&](int row) {
                const float a = coarse.at<float>(row, x0), b = coarse.at<float>(row, x1);
                return a + (b - a) * wx;
            };
            const float a = alongX(y0), b = alongX(y1);
            out.at<float>(y, x) = a + (b - a) * wy;
        }
    return out;
}

cv::Mat windowMaximum(int h, const cv::Mat& plane) {
    cv::Mat out(plane.size(), CV_32FC1);
    for (int y = 0; y < plane.rows; ++y)
        for (int x = 0; x < plane.cols; ++x) {
            float best = plane.at<float>(y, x);
            for (int v = std::max(0, y - h); v <= std::min(plane.rows - 1, y + h); ++v)
                for (int u = std::max(0, x - h); u <= std::min(plane.cols - 1, x + h); ++u)
                    best = std::max(best, plane.at<float>(v, u));
            out.at<float>(y, x) = best;
        }
    return out;
}

void fastWindowAirlight(int r, const cv::Mat& bgr8, const cv::Mat& dark8, cv::Mat values[3]) {
    const int gridRows = (bgr8.rows + r - 1) / r, gridCols = (bgr8.cols + r - 1) / r;
    const int top = static_cast<int>(std::floor((2.0 * r + 1) * (2.0 * r + 1) * 0.05));
    for (int c = 0; c < 3; ++c) values[c].create(gridRows, gridCols, CV_64FC1);
    for (int gr = 0; gr < gridRows; ++gr)
        for (int gc = 0; gc < gridCols; ++gc) {
            std::vector<cv::Point> pixels;  // row-major
            for (int y = std::max(0, gr * r - r); y <= std::min(bgr8.rows - 1, gr * r + r); ++y)
                for (int x = std::max(0, gc * r - r); x <= std::min(bgr8.cols - 1, gc * r + r); ++x)
                    pixels.push_back({x, y});
            const int n = static_cast<int>(pixels.size());
            std::vector<int> darkValues;
            for (const cv::Point& p : pixels) darkValues.push_back(dark8.at<uchar>(p));
            std::sort(darkValues.rbegin(), darkValues.rend());
            const int boundary = darkValues[std::min(top, n - 1)];
            const int atOrAbove = static_cast<int>(std::count_if(darkValues.begin(), darkValues.end(),
                                                                 [&](int v) { return v >= boundary; }));
            const int k = std::max(atOrAbove <= n - 2 ? atOrAbove - 1 : n - 1, 1);
            const int above = static_cast<int>(std::count_if(darkValues.begin(), darkValues.end(),
                                                             [&](int v) { return v > boundary; }));
            int ties = k - above;  // the first pixels at the boundary, row-major
            std::vector<cv::Point> candidates;  // row-major, so that equal sums keep the earlier pixel
            for (const cv::Point& p : pixels) {
                const int d = dark8.at<uchar>(p);
                if (d > boundary || (d == boundary && ties-- > 0)) candidates.push_back(p);
            }
            const auto channelSum = [&](const cv::Point& p) {
                const cv::Vec3b v = bgr8.at<cv::Vec3b>(p);
                return v[0] + v[1] + v[2];
            };
            std::stable_sort(candidates.begin(), candidates.end(),
                             [&](const cv::Point& a, const cv::Point& b) { return channelSum(a) > channelSum(b); });
            const int taken = std::min(k, r);
            for (int c = 0; c < 3; ++c) {
                double sum = 0.0;
                for (int m = 0; m < taken; ++m) sum += bgr8.at<cv::Vec3b>(candidates[m])[c];
                values[c].at<double>(gr, gc) = sum / taken;
            }
        }
}

cv::Mat gridWindowMaxima(int r, const cv::Mat& plane8u) {
    cv::Mat maxima((plane8u.rows + r - 1) / r, (plane8u.cols + r - 1) / r, CV_64FC1, cv::Scalar(0));
    for (int y = 0; y < plane8u.rows; ++y)
        for (int x = 0; x < plane8u.cols; ++x)
            for (int gr = 0; gr < maxima.rows; ++gr)
                for (int gc = 0; gc < maxima.cols; ++gc)
                    if (std::abs(y - gr * r) <= r && std::abs(x - gc * r) <= r)
                        maxima.at<double>(gr, gc) = std::max<double>(maxima.at<double>(gr, gc), plane8u.at<uchar>(y, x));
    return maxima;
}

cv::Mat gridWindowMeans(int r, const cv::Mat& values, cv::Size image) {
    cv::Mat means(image, CV_64FC1);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            double sum = 0.0;
            int count = 0;
            for (int gr = 0; gr < values.rows; ++gr)
                for (int gc = 0; gc < values.cols; ++gc)
                    if (std::abs(y - gr * r) <= r && std::abs(x - gc * r) <= r) sum += values.at<double>(gr, gc), ++count;
            means.at<double>(y, x) = sum / count;
        }
    return means;
}

}  // namespace literal
