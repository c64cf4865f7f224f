#pragma once
// Slow, literal JPEG grid deblocking, written pixel by pixel from its rule.
#include "core/stages/clean_deblock.hpp"

#include <opencv2/core.hpp>

namespace literal {

nightdehaze::detail::BlockGrid findBlockGrid(const cv::Mat& bgr8);
// threshold(y, x, c): the fixed dither of the fast version.
double ditherThreshold(int y, int x, int c);
cv::Mat deblockGrid(const cv::Mat& bgr8, const nightdehaze::detail::BlockGrid& grid,
                    double thresholdFactor);

}  // namespace literal
