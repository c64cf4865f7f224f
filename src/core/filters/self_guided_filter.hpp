#pragma once
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

// The guided filter of a plane under itself with a regularisation of its own
// for every window: over the window of radius r centred on k, with mean m_k
// and variance v_k, a_k = v_k / (v_k + eps(k)) and b_k = m_k - a_k m_k; the
// result is the window mean of a times the plane plus the window mean of b.
// Variations well below sqrt(eps(k)) are flattened to the window mean, larger
// ones kept, linear ramps kept exactly. Windows are clipped at the border.
// plane and eps are CV_64FC1 of one size, eps >= 0 (a window of constant
// plane with eps 0 gets a = 0). Returns a new CV_64FC1 matrix; the values do
// not depend on the number of threads.
cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const cv::Mat& eps);

// The same with one eps >= 0 for every window.
cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, double eps);

// A regularisation that fades with the window's mean: eps where the mean is
// at most fullBelow, 0 from noneAbove on, linear in between (fullBelow <
// noneAbove, in the plane's units).
struct FadingEps {
    double eps, fullBelow, noneAbove;
    double at(double mean) const;
};

// The same with eps(k) = eps.at(m_k).
cv::Mat selfGuidedFilter(int r, const cv::Mat& plane, const FadingEps& eps);

}  // namespace nightdehaze::detail
