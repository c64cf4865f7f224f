#include "reference/dark_channel_literal.hpp"

#include <algorithm>

#include "reference/window_extrema_literal.hpp"

namespace literal {

void darkChannel(int h, cv::Mat& dark, const std::vector<cv::Mat>& planes) {
    const int H = planes.at(0).rows, W = planes.at(0).cols;
    cv::Mat D = cv::Mat::zeros(H, W, CV_64F);
    for (int i = 0; i < H; ++i) {
        for (int j = 0; j < W; ++j) {
            double running = 255.0;
            for (int c = 0; c < 3; ++c) {
                double lowest = 0;
                cv::minMaxLoc(planes.at(c)(box(i, j, h, H, W)), &lowest);
                if (lowest < running) running = lowest;
            }
            D.at<double>(i, j) = running;
        }
    }
    dark = D.clone();
}

}  // namespace literal
