#pragma once
#include <opencv2/core.hpp>

// Pads a single-channel image by r on every side, mirroring across each edge
// with the edge itself repeated (c b a | a b c d | d c b). The result is always
// CV_8UC1: other depths are rounded and saturated to 0..255 on the way in.
// A border wider than the image keeps reflecting (b b a | a b | b a a), so an
// image smaller than a patch still pads. dst becomes a new (R+2r) x (C+2r)
// matrix, never sharing storage with src (dst may be the same object as src).
// Throws std::invalid_argument unless src is non-empty with one channel and 1 <= r.
void padSymmetric(int r, cv::Mat& dst, cv::Mat src);
