#pragma once
#include <opencv2/core.hpp>

#include <functional>

// Window sums of several planes at once, handed out row by row, each value
// bit-identical to cumBoxFilter of that plane (same radius, same clipped
// windows, same running sums down the columns and then along the rows). The
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
