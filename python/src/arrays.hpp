#pragma once
// numpy arrays and cv::Mat, without copies where the layout allows.
#include <opencv2/core.hpp>
#include <pybind11/numpy.h>

namespace nightdehaze_python {

// A cv::Mat header over a C-contiguous uint8 or float64 array of shape (H, W)
// or (H, W, C): no copy, and no ownership, so the array must outlive it.
// Throws ValueError/TypeError naming `what` for any other array.
cv::Mat matView(const pybind11::array& array, const char* what);

// A numpy array of shape (H, W) for one channel, (H, W, C) otherwise, that
// keeps the matrix's pixels alive. A matrix that does not own its pixels (a
// header over a caller's array) is copied first.
pybind11::array arrayOf(cv::Mat matrix);

}  // namespace nightdehaze_python
