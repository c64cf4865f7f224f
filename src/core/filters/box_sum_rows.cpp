#include "core/filters/box_sum_rows.hpp"
#include "core/runtime/run_report.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze::detail {

namespace {

// The additive identity of IEEE doubles: -0.0 + x is x bit for bit (+0.0 + -0.0
// would turn a column of -0.0 into +0.0), so an empty running sum starts here.
constexpr double kEmptySum = -0.0;

// Fewer rows than this per band and the band's start-up outweighs its share.
constexpr int kMinBandRows = 8;

// Width of the column bands that compute the bands' starting sums: the running
// sums of all planes of one band stay in the first-level cache.
constexpr int kStartColumns = 128;

// One row of every plane, stored plane after plane.
class PlaneRows {
public:
    PlaneRows(int planes, int cols)
        : cols_(cols), values_(static_cast<size_t>(planes) * cols, kEmptySum), rows_(planes) {
        for (int k = 0; k < planes; ++k) rows_[k] = values_.data() + static_cast<size_t>(k) * cols;
    }
    PlaneRows(const PlaneRows&) = delete;  // rows_ points into values_
    PlaneRows(PlaneRows&&) = default;      // moving values_ keeps its storage
    PlaneRows& operator=(const PlaneRows&) = delete;

    double* const* rows() { return rows_.data(); }
    const double* const* rows() const { return rows_.data(); }
    double* data() { return values_.data(); }
    const double* data() const { return values_.data(); }
    size_t size() const { return values_.size(); }
    int planes() const { return static_cast<int>(rows_.size()); }
    int cols() const { return cols_; }

private:
    int cols_;
    std::vector<double> values_;
    std::vector<double*> rows_;
};

struct RowBand {
    int first, end;
};

// Where a band's sweep starts: the vertical running sums (down the columns from
// row 0) at the last row of its first window and at the row just above it.
struct BandStart {
    int leadRow, trailRow;  // trailRow < 0: no row above, the trail is empty
    PlaneRows lead, trail;
};

std::vector<RowBand> rowBands(int rows) {
    const int count = std::max(1, std::min(cv::getNumThreads(), rows / kMinBandRows));
    std::vector<RowBand> bands(count);
    for (int t = 0; t < count; ++t)
        bands[t] = {static_cast<int>(static_cast<long long>(rows) * t / count),
                    static_cast<int>(static_cast<long long>(rows) * (t + 1) / count)};
    return bands;
}

std::vector<BandStart> emptyBandStarts(const std::vector<RowBand>& bands, int r, int planes,
                                       cv::Size size) {
    std::vector<BandStart> starts;
    starts.reserve(bands.size());
    for (const RowBand& band : bands)
        starts.push_back({std::min(band.first + r, size.height - 1), band.first - r - 1,
                          PlaneRows(planes, size.width), PlaneRows(planes, size.width)});
    return starts;
}

void copyColumns(const PlaneRows& from, int c0, PlaneRows& to) {
    for (int k = 0; k < from.planes(); ++k)
        std::copy_n(from.rows()[k], from.cols(), to.rows()[k] + c0);
}

// Running sums down the columns [c0, c1) from row 0, kept at the rows where the
// bands start.
void runningSumsAtBandStarts(const PlaneRowAdder& addPlaneRows, int c0, int c1,
                             std::vector<BandStart>& starts) {
    int lastRow = 0;
    for (const BandStart& s : starts) lastRow = std::max(lastRow, s.leadRow);
    PlaneRows running(starts.front().lead.planes(), c1 - c0);
    for (int row = 0; row <= lastRow; ++row) {
        addPlaneRows(row, c0, c1, running.rows());
        for (BandStart& s : starts) {
            if (s.leadRow == row) copyColumns(running, c0, s.lead);
            if (s.trailRow == row) copyColumns(running, c0, s.trail);
        }
    }
}

// Window sums down the columns of every plane: the vertical running sums at the
// window's last row, minus those just above its first row when that row is
// inside the image.
NIGHTDEHAZE_KERNEL_INLINE void verticalWindowSums(const BandStart& s, bool trailInside, PlaneRows& out) {
    const double* lead = s.lead.data();
    const double* trail = s.trail.data();
    double* o = out.data();
    const size_t n = out.size();
    if (!trailInside) {
        std::copy_n(lead, n, o);
        return;
    }
    for (size_t x = 0; x < n; ++x) o[x] = lead[x] - trail[x];
}

// In place: row[j] = row[j] + row[j-1] for N planes at once, so that N
// independent chains of additions overlap.
template <int N>
NIGHTDEHAZE_KERNEL_INLINE void runningSumsOfPlanes(double* const* row, int cols) {
    double sum[N];
    for (int k = 0; k < N; ++k) sum[k] = row[k][0];
    for (int j = 1; j < cols; ++j) {
        for (int k = 0; k < N; ++k) {
            sum[k] = row[k][j] + sum[k];
            row[k][j] = sum[k];
        }
    }
}

// Running sums along the row of every plane, in groups of four to eight
// planes: a plane left to itself would wait on each addition in turn.
NIGHTDEHAZE_KERNEL_INLINE void runningSumsAlongRows(PlaneRows& rows) {
    const int cols = rows.cols();
    double* const* row = rows.rows();
    int remaining = rows.planes();
    for (; remaining > 8; remaining -= 4, row += 4) runningSumsOfPlanes<4>(row, cols);
    switch (remaining) {
        case 8: runningSumsOfPlanes<8>(row, cols); break;
        case 7: runningSumsOfPlanes<7>(row, cols); break;
        case 6: runningSumsOfPlanes<6>(row, cols); break;
        case 5: runningSumsOfPlanes<5>(row, cols); break;
        case 4: runningSumsOfPlanes<4>(row, cols); break;
        case 3: runningSumsOfPlanes<3>(row, cols); break;
        case 2: runningSumsOfPlanes<2>(row, cols); break;
        case 1: runningSumsOfPlanes<1>(row, cols); break;
        default: break;
    }
}

// Difference of running sums over the clipped window [j-r, j+r]: the running sum
// at min(j+r, cols-1), minus the one at j-r-1 where that column exists.
NIGHTDEHAZE_KERNEL_INLINE void windowSumsAlongRow(const double* running, int r, int cols, double* out) {
    const int head = std::min(cols, r + 1);
    const int middleEnd = std::max(head, cols - r);
    for (int j = 0; j < head; ++j) out[j] = running[std::min(j + r, cols - 1)];
    for (int j = head; j < middleEnd; ++j) out[j] = running[j + r] - running[j - r - 1];
    for (int j = middleEnd; j < cols; ++j) out[j] = running[cols - 1] - running[j - r - 1];
}

// The window sums of one row of every plane from the band's running sums down
// the columns, through `running` into `windowSums`.
NIGHTDEHAZE_KERNEL_INLINE void rowWindowSums(const BandStart& start, bool trailInside, int r,
                                             PlaneRows& running, PlaneRows& windowSums) {
    verticalWindowSums(start, trailInside, running);
    runningSumsAlongRows(running);
    for (int k = 0; k < running.planes(); ++k)
        windowSumsAlongRow(running.rows()[k], r, running.cols(), windowSums.rows()[k]);
}

NIGHTDEHAZE_AVX2_TARGET void rowWindowSumsAvx2(const BandStart& start, bool trailInside, int r,
                                               PlaneRows& running, PlaneRows& windowSums) {
    rowWindowSums(start, trailInside, r, running, windowSums);
}

void rowWindowSumsBaseline(const BandStart& start, bool trailInside, int r, PlaneRows& running,
                           PlaneRows& windowSums) {
    rowWindowSums(start, trailInside, r, running, windowSums);
}

void sweepBand(const PlaneRowAdder& addPlaneRows, const BoxSumRowConsumer& consumeRow, int r,
               cv::Size size, RowBand band, BandStart& start) {
    const int planes = start.lead.planes(), cols = size.width;
    PlaneRows running(planes, cols), windowSums(planes, cols);
    const auto windowSumsOfRow = avx2Kernels() ? rowWindowSumsAvx2 : rowWindowSumsBaseline;
    for (int i = band.first; i < band.end; ++i) {
        windowSumsOfRow(start, i - r - 1 >= 0, r, running, windowSums);
        consumeRow(i, windowSums.rows());
        if (i + 1 == band.end) break;
        if (i + 1 + r < size.height) addPlaneRows(i + 1 + r, 0, cols, start.lead.rows());
        if (i - r >= 0) addPlaneRows(i - r, 0, cols, start.trail.rows());
    }
}

}  // namespace

void streamBoxSums(int r, cv::Size size, int planes, const PlaneRowAdder& addPlaneRows,
                   const BoxSumRowConsumer& consumeRow) {
    if (r < 0) throw std::invalid_argument("streamBoxSums: negative radius " + std::to_string(r));
    if (planes < 1) throw std::invalid_argument("streamBoxSums: no planes to sum");
    if (size.height <= 0 || size.width <= 0) return;
    const std::vector<RowBand> bands = rowBands(size.height);
    std::vector<BandStart> starts = emptyBandStarts(bands, r, planes, size);
    // A band's running sums depend on every row above it: one pass down the
    // columns, split into column bands, finds them for all bands; then every row
    // band sweeps its own rows.
    const RunReport* run = currentRun();
    const int columnBands = (size.width + kStartColumns - 1) / kStartColumns;
    cv::parallel_for_(cv::Range(0, columnBands), [&](const cv::Range& range) {
        for (int c = range.start; c < range.end && !stopRequested(run); ++c)
            runningSumsAtBandStarts(addPlaneRows, c * kStartColumns,
                                    std::min(size.width, (c + 1) * kStartColumns), starts);
    });
    cv::parallel_for_(cv::Range(0, static_cast<int>(bands.size())), [&](const cv::Range& range) {
        for (int t = range.start; t < range.end && !stopRequested(run); ++t)
            sweepBand(addPlaneRows, consumeRow, r, size, bands[t], starts[t]);
    });
    throwIfStopRequested(run);
}

std::vector<double> windowCounts(int n, int r) {
    std::vector<double> counts(n);
    for (int i = 0; i < n; ++i) counts[i] = std::min(i + r, n - 1) - std::max(i - r, 0) + 1;
    return counts;
}

namespace {

NIGHTDEHAZE_AVX2_TARGET void addRowAvx2(const double* __restrict values, int n,
                                        double* __restrict acc) {
    for (int x = 0; x < n; ++x) acc[x] = values[x] + acc[x];
}

void addRowBaseline(const double* __restrict values, int n, double* __restrict acc) {
    for (int x = 0; x < n; ++x) acc[x] = values[x] + acc[x];
}

NIGHTDEHAZE_AVX2_TARGET void addProductRowAvx2(const double* __restrict a,
                                               const double* __restrict b, int n,
                                               double* __restrict acc) {
    for (int x = 0; x < n; ++x) acc[x] = a[x] * b[x] + acc[x];
}

void addProductRowBaseline(const double* __restrict a, const double* __restrict b, int n,
                           double* __restrict acc) {
    for (int x = 0; x < n; ++x) acc[x] = a[x] * b[x] + acc[x];
}

}  // namespace

void addRow(const double* __restrict values, int n, double* __restrict acc) {
    (avx2Kernels() ? addRowAvx2 : addRowBaseline)(values, n, acc);
}

void addProductRow(const double* __restrict a, const double* __restrict b, int n,
                   double* __restrict acc) {
    (avx2Kernels() ? addProductRowAvx2 : addProductRowBaseline)(a, b, n, acc);
}

cv::Mat inDouble(const cv::Mat& m) {
    if (m.depth() == CV_64F) return m;
    cv::Mat converted;
    m.convertTo(converted, CV_64F);
    return converted;
}

}  // namespace nightdehaze::detail
