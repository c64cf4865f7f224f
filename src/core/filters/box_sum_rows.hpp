#pragma once
#include <opencv2/core.hpp>

#include <functional>
#include <vector>

namespace nightdehaze::detail {

// Window sums of several planes at once, handed out row by row: running sums
// down the columns from row 0, then along the rows, each clipped window the
// difference of two running sums (cumBoxFilter is this for one plane). The
// planes are never materialised: they are produced a row at a time by
// addPlaneRows, so products of images can be summed without forming them.

// Adds row `row`, columns [c0, c1), of every plane k to acc[k][0 .. c1-c0):
// acc[k][x] = value(k, row, c0 + x) + acc[k][x].
using PlaneRowAdder = std::function<void(int row, int c0, int c1, double* const* acc)>;

// Receives the window sums of row `row` of every plane k in sums[k][0 .. cols).
using BoxSumRowConsumer = std::function<void(int row, const double* const* sums)>;

// Calls consumeRow once for every row of a plane of the given size. Rows are
// split into bands run on cv::parallel_for_ threads (rows in increasing order
// within a band), so consumeRow must be safe to call concurrently for different
// rows, and addPlaneRows for different rows or column ranges. The values do not
// depend on the number of threads.
// Throws std::invalid_argument when r < 0 or planes < 1.
void streamBoxSums(int r, cv::Size size, int planes, const PlaneRowAdder& addPlaneRows,
                   const BoxSumRowConsumer& consumeRow);

// Helpers for the row adders and consumers of streamBoxSums.

// Pixel count of each index's clipped window [i-r, i+r] on a line of n. The
// count N of a window, the box sum of an all-ones image, is exactly
// rowCounts[i] * colCounts[j]: every running sum of ones is a small integer,
// so cumBoxFilter forms that product without rounding.
std::vector<double> windowCounts(int n, int r);

// acc[x] = values[x] + acc[x], the order of the running sums.
void addRow(const double* __restrict values, int n, double* __restrict acc);

// acc[x] = a[x] * b[x] + acc[x]: the running sum of a product image.
void addProductRow(const double* __restrict a, const double* __restrict b, int n,
                   double* __restrict acc);

// The matrix itself when it already holds doubles (it is only read), else a
// copy converted with scale 1 and offset 0.
cv::Mat inDouble(const cv::Mat& m);

}  // namespace nightdehaze::detail
