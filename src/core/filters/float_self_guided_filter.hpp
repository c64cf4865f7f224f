#pragma once
// The self-guided filter of each channel of an 8-bit picture in single
// precision, streamed row by row: the fast counterpart of selfGuidedFilter.
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// The regularisation of the windows of one row of one channel: eps[x] for the
// window centred on (y, x), given the window means mean[x] (0..255 levels).
class WindowEps {
public:
    virtual ~WindowEps() = default;
    virtual void row(int channel, int y, const float* mean, int cols, float* eps) const = 0;
};

// Every channel c of bgr8 (CV_8UC3) guided-filtered by itself over windows of
// radius r clipped at the border, a_k = v_k / (v_k + eps_k), b_k = m_k - a_k
// m_k, the result mean(a) * plane + mean(b) rounded to bytes and saturated.
// Window sums slide down bands of rows set by the height alone, so the bytes
// do not depend on the number of threads; from selfGuidedFilter in double
// they differ by the rounding of floats (values centred on 128 before
// squaring) and of halves (rounded up). Returns a new CV_8UC3 image. Throws
// std::invalid_argument for r < 0.
cv::Mat floatSelfGuidedFilter(int r, const cv::Mat& bgr8, const WindowEps& eps);

}  // namespace nightdehaze::detail
