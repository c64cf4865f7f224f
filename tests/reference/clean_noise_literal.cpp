#include "reference/clean_noise_literal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace literal {

double estimateNoiseLevel(const cv::Mat& bgr8) {
    const int mask[3][3] = {{1, -2, 1}, {-2, 4, -2}, {1, -2, 1}};
    std::vector<double> responses;
    for (int c = 0; c < 3; ++c)
        for (int ty = 1; ty + 9 <= bgr8.rows; ty += 8)
            for (int tx = 1; tx + 9 <= bgr8.cols; tx += 8) {
                double sum = 0.0;
                bool clipped = false;
                for (int y = ty; y < ty + 8; ++y)
                    for (int x = tx; x < tx + 8; ++x) {
                        const int v = bgr8.at<cv::Vec3b>(y, x)[c];
                        clipped = clipped || v == 0 || v == 255;
                        int response = 0;
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx)
                                response += mask[dy + 1][dx + 1] * bgr8.at<cv::Vec3b>(y + dy, x + dx)[c];
                        sum += std::abs(response);
                    }
                if (!clipped) responses.push_back(sum / 64.0);
            }
    if (responses.empty()) return 0.0;
    std::sort(responses.begin(), responses.end());
    return responses[static_cast<size_t>(0.05 * (responses.size() - 1))] * (std::sqrt(M_PI / 2.0) / 6.0) * 1.25;
}

}  // namespace literal
