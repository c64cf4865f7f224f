#include "nightdehaze/nightdehaze.hpp"

#include "core/filters/box_sum_rows.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nightdehaze {

using namespace detail;

// The running sums of the streamed box sums, for one plane gathered into a
// matrix: down the columns, then along the rows, each window the difference of
// two running sums.

void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src) {
    if (r < 0) throw std::invalid_argument("cumBoxFilter: negative radius " + std::to_string(r));
    if (src.channels() != 1)
        throw std::invalid_argument("cumBoxFilter: source must have one channel");
    src = inDouble(src);
    cv::Mat sums(src.rows, src.cols, CV_64FC1);
    streamBoxSums(
        r, src.size(), 1,
        [&](int row, int c0, int c1, double* const* acc) {
            addRow(src.ptr<double>(row) + c0, c1 - c0, acc[0]);
        },
        [&](int row, const double* const* rowSums) {
            std::copy_n(rowSums[0], src.cols, sums.ptr<double>(row));
        });
    dst = sums;
}

}  // namespace nightdehaze
