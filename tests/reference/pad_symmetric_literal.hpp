#pragma once
#include <opencv2/core.hpp>

namespace literal {

// Mirror padding built the slow, obvious way: a zero matrix, the centre, the
// top and bottom bands flipped from the source, then the left and right bands
// flipped from the padded matrix itself. Borders wider than the image are
// filled by repeated reflection of the source instead.
void padSymmetric(int r, cv::Mat& dst, cv::Mat src);

}  // namespace literal
