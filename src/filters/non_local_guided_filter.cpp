#include "filters/non_local_guided_filter.hpp"
#include "util/run_report.hpp"

#include "nightdehaze/nightdehaze.hpp"
#include "filters/solve3x3.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze {

using namespace detail;

// How the filter is made fast without changing a single bit of its values:
// - The padded guide holds whole grey levels, so every patch distance is an
//   integer whatever the order of summation, and the weight is a function of
//   that integer alone: 1 up to the noise floor, beyond it looked up in a
//   table filled on first use.
// - The image is cut into tiles of a few rows and columns. For each search
//   offset the squared guide differences of a tile are computed once and
//   turned into patch distances by running sums over rows and columns, in
//   float or double, whichever holds every sum exactly.
// - Every pixel still adds its window pixels in row-major order: search rows
//   (dy) outer, columns (dx) inner, skipping the offsets outside the image.
// - The thirteen weighted sums of a pixel are kept side by side (the weight sum
//   as weight times 1.0, which is exact) so that they stay in registers while
//   a row of search offsets is added.
// - The second sweep reads the weights of the first back from a log (weights
//   other than 1 with their positions, within a memory budget) and reuses the
//   first sweep's weight sums as its divisors: the same weights, summed in the
//   same order. Tiles whose log did not fit compute their weights again. A
//   band of tiles is smoothed as soon as the rows its windows reach are
//   modelled and its log is then recycled, so the log holds a few bands only.
// - A pair of neighbouring pixels with the same window offsets is summed
//   together, each window column loaded once for both.
// The hot loops are compiled twice, for AVX2 and for the baseline; both do the
// same IEEE operations lane by lane, and nothing is fused into multiply-adds.

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define NIGHTDEHAZE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define NIGHTDEHAZE_ALWAYS_INLINE __attribute__((always_inline))
#else
#define NIGHTDEHAZE_VECTOR_CLONES
#define NIGHTDEHAZE_ALWAYS_INLINE
#endif

namespace {

// h = 0.4 sigma; the square of 0.4 is the double product 0.4 * 0.4, one unit in
// the last place above 0.16.
constexpr double kBandwidthFactorSquared = 0.4 * 0.4;

// Patch distances are summed in float while every sum is below 2^24, where
// float holds whole numbers exactly; above that they are summed in double.
constexpr std::int64_t kFloatExactLimit = std::int64_t(1) << 24;

// Largest weight table (entries); beyond it weights are computed directly.
// Memory is committed only for the chunks that are actually filled.
constexpr std::int64_t kMaxTableEntries = std::int64_t(1) << 25;
constexpr int kTableChunkBits = 9;

// Memory for the weights kept between the sweeps: enough for a photograph,
// whose patches mostly match within the noise (a few hundred bytes a pixel);
// a picture full of texture recomputes the weights of the tiles that do not fit.
constexpr std::int64_t kWeightLogBytesPerPixel = 512;
constexpr std::int64_t kWeightLogMinBytes = std::int64_t(64) << 20;
constexpr std::int64_t kWeightLogMaxBytes = std::int64_t(512) << 20;

// Table entries requested ahead of their use, enough to keep the memory
// system busy without overflowing its queue of outstanding loads.
constexpr int kLookAhead = 40;

// A tile: the rows and columns whose weights, weighted sums and feature rows
// stay in the core's cache while all search offsets are visited.
constexpr int kTileRows = 8;
constexpr int kTileWidth = 64;

// Tile bands modelled together before the bands they complete are smoothed:
// at least this many, and this many per thread so that every thread has work.
constexpr int kBandsPerGroup = 4;

// Weighted sums of one pixel are updated in blocks of this many values held in
// registers, the last block of a pixel possibly narrower; the feature vector of
// a pixel is padded to a multiple of kSlotAlign (one vector register).
constexpr int kSumBlock = 16;
constexpr int kSlotAlign = 4;

// Slots of a pixel's feature vector: guide values and guide products, the
// constant 1 whose weighted sum is the weight sum, then four slots per input.
enum GuideSlot { kG2, kG1, kG0, kG22, kG21, kG20, kG11, kG10, kG00, kOne, kGuideSlots };
enum InputSlot { kP, kG2P, kG1P, kG0P, kInputSlots };

struct PatchWeightRule {
    double patchArea;   // (2r+1)^2 samples per channel
    double noiseFloor;  // 2 sigma^2: expected squared difference of two noisy samples
    double bandwidth2;  // h^2

    double operator()(double distance) const {
        double d = distance / patchArea / 3.0 - noiseFloor;
        if (d < 0) d = 0;
        return std::exp(-d / bandwidth2);
    }

    // Largest distance whose mean squared difference does not exceed the
    // noise floor: its weight and that of every smaller distance is exactly 1.
    std::int64_t lastUnitDistance() const {
        std::int64_t lo = 0, hi = std::int64_t(1) << 62;
        while (hi - lo > 1) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            (static_cast<double>(mid) / patchArea / 3.0 - noiseFloor <= 0 ? lo : hi) = mid;
        }
        return lo;
    }
};

// Weight of every integer patch distance up to a bound: 1 up to the noise
// floor, beyond it computed on first use in chunks; any thread may fill a
// chunk, every thread reads the same values.
class PatchWeights {
public:
    PatchWeights(const PatchWeightRule& rule, std::int64_t maxDistance)
        : rule_(rule), lastUnit_(std::min(rule.lastUnitDistance(), maxDistance)) {
        if (maxDistance >= kMaxTableEntries || maxDistance <= lastUnit_) return;
        const std::int64_t chunks = (maxDistance >> kTableChunkBits) + 1;
        values_.reset(new double[chunks << kTableChunkBits]);
        ready_.reset(new std::atomic<bool>[chunks]);
        for (std::int64_t c = 0; c < chunks; ++c) ready_[c].store(false, std::memory_order_relaxed);
    }

    // Distances up to this one weigh exactly 1; it never exceeds the largest
    // distance, so float and double hold it exactly.
    std::int64_t lastUnitDistance() const { return lastUnit_; }

    double operator()(std::int64_t distance) const {
        if (distance <= lastUnit_) return 1.0;
        if (!values_) return rule_(static_cast<double>(distance));
        const std::int64_t chunk = distance >> kTableChunkBits;
        if (!ready_[chunk].load(std::memory_order_acquire)) fill(chunk);
        return values_[distance];
    }

    // Starts loading the table entry of a distance above the noise floor, so
    // that look-ups wait for memory together rather than one after another.
    void prefetch(std::int64_t distance) const {
        if (values_) __builtin_prefetch(values_.get() + distance);
    }

private:
    void fill(std::int64_t chunk) const {
        std::lock_guard<std::mutex> lock(fillMutex_);
        if (ready_[chunk].load(std::memory_order_relaxed)) return;
        const std::int64_t first = chunk << kTableChunkBits;
        for (std::int64_t d = first; d < first + (1 << kTableChunkBits); ++d)
            values_[d] = rule_(static_cast<double>(d));
        ready_[chunk].store(true, std::memory_order_release);
    }

    PatchWeightRule rule_;
    std::int64_t lastUnit_;
    std::unique_ptr<double[]> values_;
    std::unique_ptr<std::atomic<bool>[]> ready_;
    mutable std::mutex fillMutex_;
};

struct SearchGeometry {
    int rows, cols;
    int patchRadius, searchRadius;
    int span() const { return 2 * searchRadius + 1; }
    int firstDx(int j) const { return std::max(-searchRadius, -j); }
    int lastDx(int j) const { return std::min(searchRadius, cols - 1 - j); }
};

// Everything that depends on the guide and the inputs, laid out for the sweeps.
struct FilterData {
    SearchGeometry geometry;
    std::array<cv::Mat, 3> guide;        // G0, G1, G2 as CV_64F
    std::array<cv::Mat, 3> paddedGuide;  // padded G0, G1, G2, CV_32F or CV_64F
    bool floatDistances = true;
    int inputCount = 0;
    int featureStride = 0;               // doubles per pixel in features
    cv::Mat features;                    // rows x (cols x featureStride), CV_64F
    double eps = 0;
    const RunReport* run = nullptr;      // stop requests of the caller
};

// Output pixels [i0, i1) x [j0, j1).
struct Tile {
    int i0, i1, j0, j1;
    int index;  // position in row-major tile order
};

// Per-thread buffers of one tile.
struct TileScratch {
    int squaresStride;
    std::vector<double> weights;  // span planes of kTileRows x kTileWidth, by dx, row, column
    std::vector<double> sums;     // kTileRows x kTileWidth x sums per pixel
    std::vector<float> squaresF, columnF, distanceF;
    std::vector<double> squaresD, columnD, distanceD;
    std::vector<std::uint8_t> overFloor;  // per distance: 1 when above the noise floor
    std::array<int, kTileRows> above{};   // per tile row, how many of them
    std::vector<int> pending;             // the distances whose weight needs a look-up
    std::vector<std::uint16_t> loggedPositions;  // their tile positions, row * kTileWidth + column
    std::vector<double> loggedWeights;           // and their weights
    std::vector<std::uint8_t> unitPlane;  // second sweep, per dx: every weight is 1

    TileScratch(const SearchGeometry& g, int sumsPerPixel, bool floatDistances)
        : squaresStride(kTileWidth + 2 * g.patchRadius),
          weights(static_cast<size_t>(g.span()) * kWeightPlane),
          sums(static_cast<size_t>(kTileRows) * kTileWidth * sumsPerPixel),
          overFloor(kTileRows * kTileWidth),
          pending(kTileRows * kTileWidth),
          loggedPositions(kTileRows * kTileWidth),
          loggedWeights(kTileRows * kTileWidth),
          unitPlane(g.span()) {
        const size_t squares = static_cast<size_t>(kTileRows + 2 * g.patchRadius) * squaresStride;
        if (floatDistances) {
            squaresF.resize(squares), columnF.resize(squaresStride), distanceF.resize(kTileRows * kTileWidth);
        } else {
            squaresD.resize(squares), columnD.resize(squaresStride), distanceD.resize(kTileRows * kTileWidth);
        }
    }

    // A pixel reads its weights across the planes of all dx; one spare cache
    // line per plane keeps those reads out of a single cache set.
    static constexpr std::ptrdiff_t kWeightPlane = kTileRows * kTileWidth + 8;

    double* weightRow(int dx, int s, int tileRow) {
        return weights.data() + static_cast<size_t>(dx + s) * kWeightPlane + static_cast<size_t>(tileRow) * kTileWidth;
    }
    template <typename Dist> Dist* squares();
    template <typename Dist> Dist* columns();
    template <typename Dist> Dist* distances();
};
template <> float* TileScratch::squares<float>() { return squaresF.data(); }
template <> double* TileScratch::squares<double>() { return squaresD.data(); }
template <> float* TileScratch::columns<float>() { return columnF.data(); }
template <> double* TileScratch::columns<double>() { return columnD.data(); }
template <> float* TileScratch::distances<float>() { return distanceF.data(); }
template <> double* TileScratch::distances<double>() { return distanceD.data(); }

// squares[x] = sum over the three channels of (centre[c][x] - other[c][x])^2.
template <typename Dist>
inline void channelSquares(const Dist* const centre[3], const Dist* const other[3], int length,
                           Dist* __restrict squares) {
    for (int x = 0; x < length; ++x) {
        const Dist d0 = centre[0][x] - other[0][x];
        const Dist d1 = centre[1][x] - other[1][x];
        const Dist d2 = centre[2][x] - other[2][x];
        squares[x] = d0 * d0 + d1 * d1 + d2 * d2;
    }
}

template <typename Dist>
inline void addRow(Dist* __restrict sum, const Dist* __restrict row, int length) {
    for (int x = 0; x < length; ++x) sum[x] += row[x];
}

// distance[j] = column[j] + ... + column[j + side - 1], in one pass for the
// usual 3x3 patch.
template <typename Dist>
inline void patchSums(const Dist* __restrict column, int side, int width, Dist* __restrict distance) {
    if (side == 3) {
        for (int j = 0; j < width; ++j) distance[j] = column[j] + column[j + 1] + column[j + 2];
        return;
    }
    std::copy_n(column, width, distance);
    for (int b = 1; b < side; ++b) addRow<Dist>(distance, column + b, width);
}

// Patch distances of the tile pixels in rows [iLo, iHi) and columns [lo, hi)
// to their window pixels at offset (dy, dx), into
// distances[(i-iLo)*kTileWidth + j-lo]: squared differences once per tile,
// then running sums down the columns and window sums along the rows. Sets the
// weights of these pixels to 1 and counts, per row, the distances above unit
// whose weights are still to be looked up.
template <typename Dist>
NIGHTDEHAZE_VECTOR_CLONES void offsetDistances(const FilterData& data, const Tile& tile, int dy, int dx,
                                               int iLo, int iHi, int lo, int hi, Dist unit,
                                               TileScratch& scratch) {
    const int r = data.geometry.patchRadius, side = 2 * r + 1;
    const int width = hi - lo, paddedWidth = width + 2 * r;
    const int stride = scratch.squaresStride;
    Dist* __restrict squares = scratch.squares<Dist>();
    for (int y = iLo; y < iHi + 2 * r; ++y) {
        const Dist* centre[3];
        const Dist* other[3];
        for (int c = 0; c < 3; ++c) {
            centre[c] = data.paddedGuide[c].ptr<Dist>(y) + lo;
            other[c] = data.paddedGuide[c].ptr<Dist>(y + dy) + lo + dx;
        }
        channelSquares<Dist>(centre, other, paddedWidth, squares + static_cast<size_t>(y - iLo) * stride);
    }
    Dist* __restrict column = scratch.columns<Dist>();
    std::copy_n(squares, paddedWidth, column);
    for (int a = 1; a < side; ++a) addRow<Dist>(column, squares + static_cast<size_t>(a) * stride, paddedWidth);
    for (int i = iLo; i < iHi; ++i) {
        if (i > iLo) {
            const Dist* entering = squares + static_cast<size_t>(i - iLo + 2 * r) * stride;
            const Dist* leaving = squares + static_cast<size_t>(i - iLo - 1) * stride;
            for (int x = 0; x < paddedWidth; ++x) column[x] = column[x] + entering[x] - leaving[x];
        }
        Dist* __restrict distance = scratch.distances<Dist>() + static_cast<size_t>(i - iLo) * kTileWidth;
        patchSums<Dist>(column, side, width, distance);
        double* __restrict w = scratch.weightRow(dx, data.geometry.searchRadius, i - tile.i0) + (lo - tile.j0);
        std::uint8_t* __restrict over = scratch.overFloor.data() + static_cast<size_t>(i - iLo) * kTileWidth;
        int above = 0;
        for (int j = 0; j < width; ++j) {
            w[j] = 1.0;
            over[j] = distance[j] > unit;
            above += over[j];
        }
        scratch.above[i - iLo] = above;
    }
}

// Weights of the tile pixels in rows [iLo, iHi) and columns [lo, hi) to their
// window pixels at offset (dy, dx), into scratch.weightRow(dx, ...). Most
// distances of a photograph are below the noise floor and weigh 1; the others
// are gathered and their table entries loaded together.
template <typename Dist>
int offsetWeights(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, int dy, int dx,
                  int iLo, int iHi, int lo, int hi, TileScratch& scratch, std::uint16_t* __restrict loggedPositions,
                  double* __restrict loggedWeights) {
    const Dist unit = static_cast<Dist>(weightOf.lastUnitDistance());
    offsetDistances<Dist>(data, tile, dy, dx, iLo, iHi, lo, hi, unit, scratch);
    const int width = hi - lo, s = data.geometry.searchRadius;
    const Dist* distances = scratch.distances<Dist>();
    int* pending = scratch.pending.data();
    int count = 0;
    for (int i = iLo; i < iHi; ++i) {
        if (scratch.above[i - iLo] == 0) continue;
        const int rowStart = (i - iLo) * kTileWidth;
        for (int j0 = 0; j0 < width; j0 += 8) {
            // Eight flags (bytes 0 or 1) at a time; each set bit is one distance.
            std::uint64_t flags;
            std::memcpy(&flags, scratch.overFloor.data() + rowStart + j0, sizeof flags);
            if (width - j0 < 8) flags &= (std::uint64_t(1) << (8 * (width - j0))) - 1;
            for (; flags != 0; flags &= flags - 1) pending[count++] = rowStart + j0 + __builtin_ctzll(flags) / 8;
        }
    }
    for (int k = 0; k < std::min(count, kLookAhead); ++k)
        weightOf.prefetch(static_cast<std::int64_t>(distances[pending[k]]));
    for (int k = 0; k < count; ++k) {
        if (k + kLookAhead < count)
            weightOf.prefetch(static_cast<std::int64_t>(distances[pending[k + kLookAhead]]));
        const int at = pending[k];
        const int row = iLo + at / kTileWidth - tile.i0, column = lo - tile.j0 + at % kTileWidth;
        const double w = weightOf(static_cast<std::int64_t>(distances[at]));
        scratch.weightRow(dx, s, row)[column] = w;
        loggedPositions[k] = static_cast<std::uint16_t>(row * kTileWidth + column);
        loggedWeights[k] = w;
    }
    return count;
}

// Weights of the first sweep that the second sweep reads back instead of
// computing them again. For every tile and search offset it counts the weights
// other than 1; for the tiles that fit in the memory budget it also keeps
// their positions and values, in sweep order. Each tile is written by one
// thread; only the budget is shared.
class SweepLog {
public:
    SweepLog(size_t tiles, size_t offsetsPerTile, std::int64_t budgetBytes)
        : offsetsPerTile_(offsetsPerTile), budget_(budgetBytes), counts_(tiles * offsetsPerTile, 0),
          logs_(tiles) {}

    std::uint16_t* counts(int tile) { return counts_.data() + tile * offsetsPerTile_; }

    // Makes room for count more entries at the end of a tile's log; false
    // when the tile is not logged, its log not having fitted the budget.
    bool reserve(int tile, int count) {
        TileLog& log = logs_[tile];
        if (!log.complete) return false;
        if (log.weights.empty()) reuseReleased(log);
        const size_t needed = log.size + count;
        if (needed <= log.weights.size()) return true;
        const size_t room = std::max(needed, 2 * log.weights.size());
        const std::int64_t extra = static_cast<std::int64_t>(room - log.weights.size()) * kEntryBytes;
        if (used_.fetch_add(extra) + extra > budget_) {
            used_.fetch_sub(extra);
            drop(log);
            return false;
        }
        log.positions.resize(room);
        log.weights.resize(room);
        return true;
    }

    // Where the next entries of a reserved tile log go, and how many were written.
    std::uint16_t* nextPositions(int tile) { return logs_[tile].positions.data() + logs_[tile].size; }
    double* nextWeights(int tile) { return logs_[tile].weights.data() + logs_[tile].size; }
    void commit(int tile, int count) { logs_[tile].size += count; }

    // The first size entries of positions and weights are the log; the rest
    // is room for more.
    struct TileLog {
        std::vector<std::uint16_t> positions;
        std::vector<double> weights;
        size_t size = 0;
        bool complete = true;
    };
    const TileLog& log(int tile) const { return logs_[tile]; }

    // Empties the log of a tile once the second sweep has read it. Its memory
    // goes to the tiles logged next (still counted in the budget), which saves
    // them growing fresh buffers: the copies and the page faults.
    void release(int tile) {
        TileLog& log = logs_[tile];
        log.complete = true;
        log.size = 0;
        if (log.weights.empty()) return;
        std::lock_guard<std::mutex> lock(releasedMutex_);
        released_.push_back(std::move(log));
        log = TileLog();
    }

private:
    static constexpr std::int64_t kEntryBytes = sizeof(std::uint16_t) + sizeof(double);

    void reuseReleased(TileLog& log) {
        std::lock_guard<std::mutex> lock(releasedMutex_);
        if (released_.empty()) return;
        log = std::move(released_.back());
        released_.pop_back();
    }

    void drop(TileLog& log) {
        used_.fetch_sub(static_cast<std::int64_t>(log.weights.size()) * kEntryBytes);
        log = TileLog();
        log.complete = false;
    }

    size_t offsetsPerTile_;
    std::int64_t budget_;
    std::atomic<std::int64_t> used_{0};
    std::vector<std::uint16_t> counts_;
    std::vector<TileLog> logs_;
    std::vector<TileLog> released_;
    std::mutex releasedMutex_;
};

// Where the weights of a search row come from in each sweep.
struct WeightSource {
    SweepLog& log;
    bool firstSweep;
    size_t logCursor = 0;  // second sweep: next logged weight of the tile
};

// Weights of every tile pixel in rows [iLo, iHi) to its window pixels in
// search row dy, for every dx that stays inside the image. The first sweep
// computes them and logs them; the second marks the offsets where every
// weight is 1 (scratch.unitPlane), reads the others back from the log, and
// computes them again only for tiles whose log did not fit.
void searchRowWeights(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, int dy,
                      int iLo, int iHi, WeightSource& source, TileScratch& scratch) {
    const SearchGeometry& g = data.geometry;
    std::uint16_t* counts = source.log.counts(tile.index) + static_cast<size_t>(dy + g.searchRadius) * g.span();
    const SweepLog::TileLog& log = source.log.log(tile.index);
    for (int dx = -g.searchRadius; dx <= g.searchRadius; ++dx) {
        const int lo = std::max(tile.j0, -dx), hi = std::min(tile.j1, g.cols - dx);
        if (lo >= hi) continue;
        std::uint16_t& count = counts[dx + g.searchRadius];
        scratch.unitPlane[dx + g.searchRadius] = !source.firstSweep && count == 0;
        if (scratch.unitPlane[dx + g.searchRadius]) continue;
        if (!source.firstSweep && log.complete) {
            for (int i = iLo; i < iHi; ++i)
                std::fill_n(scratch.weightRow(dx, g.searchRadius, i - tile.i0) + (lo - tile.j0), hi - lo, 1.0);
            for (int k = 0; k < count; ++k, ++source.logCursor) {
                const int position = log.positions[source.logCursor];
                scratch.weightRow(dx, g.searchRadius, position / kTileWidth)[position % kTileWidth] =
                    log.weights[source.logCursor];
            }
            continue;
        }
        // The first sweep writes the weights straight into the tile's log when
        // it has room; otherwise, and in the second sweep, into scratch space.
        const bool logged = source.firstSweep && source.log.reserve(tile.index, (iHi - iLo) * (hi - lo));
        std::uint16_t* positions =
            logged ? source.log.nextPositions(tile.index) : scratch.loggedPositions.data();
        double* weights = logged ? source.log.nextWeights(tile.index) : scratch.loggedWeights.data();
        const int computed =
            data.floatDistances
                ? offsetWeights<float>(data, weightOf, tile, dy, dx, iLo, iHi, lo, hi, scratch, positions, weights)
                : offsetWeights<double>(data, weightOf, tile, dy, dx, iLo, iHi, lo, hi, scratch, positions, weights);
        if (source.firstSweep) {
            count = static_cast<std::uint16_t>(computed);
            if (logged) source.log.commit(tile.index, computed);
        }
    }
}

// Rows of the tile whose window reaches search row dy, as [iLo, iHi).
bool rowsReaching(const Tile& tile, int dy, int rows, int& iLo, int& iHi) {
    iLo = std::max(tile.i0, -dy);
    iHi = std::min(tile.i1, rows - dy);
    return iLo < iHi;
}

#if defined(__GNUC__)
// Four doubles added and multiplied lane by lane, each lane the plain IEEE
// operation; loaded and stored at any address.
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));

// Lanes pass by reference: an AVX vector by value would change the calling
// convention between the builds of the hot loops.
inline const Lanes& loadLanes(const double* p, Lanes& v) {
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storeLanes(double* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }
#endif

// Adds w * features of the window pixels in image row k, slots [block,
// block + Width), to the sums of the pixel at column j, and of its neighbour
// j + 1 when pair is set (the same window columns): their sums are
// independent, so the additions of one overlap those of the other.
template <int Width>
NIGHTDEHAZE_ALWAYS_INLINE inline void accumulateBlock(const double* row, const double* weights, int stride, int j,
                                                      int dxFirst, int dxLast, bool pair, int block,
                                                      double* first) {
    const std::ptrdiff_t dxStep = TileScratch::kWeightPlane;
#if defined(__GNUC__)
    constexpr int kLanes = 4, kVectors = Width / kLanes;
    static_assert(Width % kLanes == 0, "blocks are whole vectors");
    Lanes s0[kVectors], s1[kVectors], x0;
    for (int v = 0; v < kVectors; ++v) s0[v] = loadLanes(first + block + kLanes * v, x0);
    if (pair) {
        // Pixel j + 1 at offset dx - 1 reads the column pixel j reads at dx:
        // each column is loaded once for both.
        for (int v = 0; v < kVectors; ++v) s1[v] = loadLanes(first + stride + block + kLanes * v, x0);
        const double* x = row + static_cast<size_t>(j + dxFirst) * stride + block;
        const double w = weights[dxFirst * dxStep + j];
        for (int v = 0; v < kVectors; ++v) s0[v] += w * loadLanes(x + kLanes * v, x0);
        for (int dx = dxFirst + 1; dx <= dxLast; ++dx) {
            x += stride;
            const double w0 = weights[dx * dxStep + j], w1 = weights[(dx - 1) * dxStep + j + 1];
            for (int v = 0; v < kVectors; ++v) {
                const Lanes column = loadLanes(x + kLanes * v, x0);
                s0[v] += w0 * column;
                s1[v] += w1 * column;
            }
        }
        x += stride;
        const double wLast = weights[dxLast * dxStep + j + 1];
        for (int v = 0; v < kVectors; ++v) s1[v] += wLast * loadLanes(x + kLanes * v, x0);
        for (int v = 0; v < kVectors; ++v) storeLanes(first + stride + block + kLanes * v, s1[v]);
    } else {
        for (int dx = dxFirst; dx <= dxLast; ++dx) {
            const double w = weights[dx * dxStep + j];
            const double* x = row + static_cast<size_t>(j + dx) * stride + block;
            for (int v = 0; v < kVectors; ++v) s0[v] += w * loadLanes(x + kLanes * v, x0);
        }
    }
    for (int v = 0; v < kVectors; ++v) storeLanes(first + block + kLanes * v, s0[v]);
#else
    double s0[Width], s1[Width];
    for (int m = 0; m < Width; ++m) s0[m] = first[block + m];
    if (pair) {
        for (int m = 0; m < Width; ++m) s1[m] = first[stride + block + m];
        for (int dx = dxFirst; dx <= dxLast; ++dx) {
            const double w0 = weights[dx * dxStep + j], w1 = weights[dx * dxStep + j + 1];
            const double* x0 = row + static_cast<size_t>(j + dx) * stride + block;
            const double* x1 = x0 + stride;
            for (int m = 0; m < Width; ++m) {
                s0[m] += w0 * x0[m];
                s1[m] += w1 * x1[m];
            }
        }
        for (int m = 0; m < Width; ++m) first[stride + block + m] = s1[m];
    } else {
        for (int dx = dxFirst; dx <= dxLast; ++dx) {
            const double w = weights[dx * dxStep + j];
            const double* x = row + static_cast<size_t>(j + dx) * stride + block;
            for (int m = 0; m < Width; ++m) s0[m] += w * x[m];
        }
    }
    for (int m = 0; m < Width; ++m) first[block + m] = s0[m];
#endif
}

// Adds w * features of the window pixels in image row k, column by column, to
// the weighted sums of the tile pixels of row i: full blocks of kSumBlock
// slots, then the remaining slots in one narrower block.
NIGHTDEHAZE_VECTOR_CLONES
void accumulateFeatures(const FilterData& data, const Tile& tile, int i, int k, TileScratch& scratch) {
    const SearchGeometry& g = data.geometry;
    const int stride = data.featureStride;
    const double* row = data.features.ptr<double>(k);
    const double* weights = scratch.weightRow(0, g.searchRadius, i - tile.i0) - tile.j0;
    double* sums = scratch.sums.data() + static_cast<size_t>(i - tile.i0) * kTileWidth * stride;
    for (int j = tile.j0; j < tile.j1;) {
        const int dxFirst = g.firstDx(j), dxLast = g.lastDx(j);
        const bool pair = j + 1 < tile.j1 && g.firstDx(j + 1) == dxFirst && g.lastDx(j + 1) == dxLast;
        double* first = sums + static_cast<size_t>(j - tile.j0) * stride;
        int block = 0;
        for (; block + kSumBlock <= stride; block += kSumBlock)
            accumulateBlock<kSumBlock>(row, weights, stride, j, dxFirst, dxLast, pair, block, first);
        static_assert(kSumBlock == 4 * kSlotAlign, "the narrower blocks below cover every remainder");
        switch (stride - block) {
            case 3 * kSlotAlign:
                accumulateBlock<3 * kSlotAlign>(row, weights, stride, j, dxFirst, dxLast, pair, block, first);
                break;
            case 2 * kSlotAlign:
                accumulateBlock<2 * kSlotAlign>(row, weights, stride, j, dxFirst, dxLast, pair, block, first);
                break;
            case kSlotAlign:
                accumulateBlock<kSlotAlign>(row, weights, stride, j, dxFirst, dxLast, pair, block, first);
                break;
            default:
                break;
        }
        j += pair ? 2 : 1;
    }
}

// Adds w * model output of the window pixels in image row k to the sums of the
// tile pixels of row i; sums hold one value per pixel and input, input-major.
NIGHTDEHAZE_VECTOR_CLONES
void accumulateModels(const FilterData& data, const std::vector<cv::Mat>& models, const Tile& tile, int i,
                      int k, TileScratch& scratch) {
    const SearchGeometry& g = data.geometry;
    for (int t = 0; t < data.inputCount; ++t) {
        const double* row = models[t].ptr<double>(k);
        double* __restrict sums =
            scratch.sums.data() + (static_cast<size_t>(t) * kTileRows + (i - tile.i0)) * kTileWidth;
        for (int dx = -g.searchRadius; dx <= g.searchRadius; ++dx) {
            const int lo = std::max(tile.j0, -dx), hi = std::min(tile.j1, g.cols - dx);
            const double* __restrict w = scratch.weightRow(dx, g.searchRadius, i - tile.i0) - tile.j0;
            const double* __restrict x = row + dx;
            double* __restrict s = sums - tile.j0;
            if (scratch.unitPlane[dx + g.searchRadius]) {
                for (int j = lo; j < hi; ++j) s[j] += x[j];  // w * x with w = 1
            } else {
                for (int j = lo; j < hi; ++j) s[j] += w[j] * x[j];
            }
        }
    }
}

// The 3x3 guide system of a pixel, inverted once for all inputs.
struct GuideSystem {
    double mean2, mean1, mean0;
    double inverse[9];
};

GuideSystem guideSystem(const double* sums, double weightSum, double eps) {
    GuideSystem sys;
    sys.mean2 = sums[kG2] / weightSum;
    sys.mean1 = sums[kG1] / weightSum;
    sys.mean0 = sums[kG0] / weightSum;
    const double c22 = sums[kG22] / weightSum - sys.mean2 * sys.mean2;
    const double c21 = sums[kG21] / weightSum - sys.mean2 * sys.mean1;
    const double c20 = sums[kG20] / weightSum - sys.mean2 * sys.mean0;
    const double c11 = sums[kG11] / weightSum - sys.mean1 * sys.mean1;
    const double c10 = sums[kG10] / weightSum - sys.mean1 * sys.mean0;
    const double c00 = sums[kG00] / weightSum - sys.mean0 * sys.mean0;
    const double system[9] = {c22 + eps, c21, c20, c21, c11 + eps, c10, c20, c10, c00 + eps};
    luInverse3x3(system, sys.inverse);
    return sys;
}

// Model output a2*G2 + a1*G1 + a0*G0 + b of one input at one pixel.
double pixelModel(const GuideSystem& sys, const double* inputSums, double weightSum,
                  const double* guideValues) {
    const double meanP = inputSums[kP] / weightSum;
    const double u[3] = {inputSums[kG2P] / weightSum - sys.mean2 * meanP,
                         inputSums[kG1P] / weightSum - sys.mean1 * meanP,
                         inputSums[kG0P] / weightSum - sys.mean0 * meanP};
    double a[3];
    rowTimesMatrix3x3(u, sys.inverse, a);
    const double b = ((meanP - a[0] * sys.mean2) - a[1] * sys.mean1) - a[2] * sys.mean0;
    return ((a[0] * guideValues[kG2] + a[1] * guideValues[kG1]) + a[2] * guideValues[kG0]) + b;
}

// First sweep over one tile: weighted sums of every feature, then each pixel's
// model outputs and its weight sum.
void modelTile(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, TileScratch& scratch,
               SweepLog& log, std::vector<cv::Mat>& models, cv::Mat& weightSums) {
    const SearchGeometry& g = data.geometry;
    const int stride = data.featureStride;
    std::fill(scratch.sums.begin(), scratch.sums.end(), 0.0);
    WeightSource source{log, true};
    for (int dy = -g.searchRadius; dy <= g.searchRadius; ++dy) {
        int iLo, iHi;
        if (!rowsReaching(tile, dy, g.rows, iLo, iHi)) continue;
        searchRowWeights(data, weightOf, tile, dy, iLo, iHi, source, scratch);
        for (int i = iLo; i < iHi; ++i) accumulateFeatures(data, tile, i, i + dy, scratch);
    }
    for (int i = tile.i0; i < tile.i1; ++i) {
        for (int j = tile.j0; j < tile.j1; ++j) {
            const double* sums =
                scratch.sums.data() + (static_cast<size_t>(i - tile.i0) * kTileWidth + (j - tile.j0)) * stride;
            const double weightSum = sums[kOne];
            const double* guideValues = data.features.ptr<double>(i) + static_cast<size_t>(j) * stride;
            const GuideSystem sys = guideSystem(sums, weightSum, data.eps);
            for (int t = 0; t < data.inputCount; ++t)
                models[t].at<double>(i, j) =
                    pixelModel(sys, sums + kGuideSlots + t * kInputSlots, weightSum, guideValues);
            weightSums.at<double>(i, j) = weightSum;
        }
    }
}

// Second sweep over one tile: the weighted mean of the model outputs over each
// window, with the weights of the first sweep.
void smoothTile(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, TileScratch& scratch,
                SweepLog& log, const std::vector<cv::Mat>& models, const cv::Mat& weightSums,
                std::vector<cv::Mat>& results) {
    const SearchGeometry& g = data.geometry;
    std::fill(scratch.sums.begin(), scratch.sums.end(), 0.0);
    WeightSource source{log, false};
    for (int dy = -g.searchRadius; dy <= g.searchRadius; ++dy) {
        int iLo, iHi;
        if (!rowsReaching(tile, dy, g.rows, iLo, iHi)) continue;
        searchRowWeights(data, weightOf, tile, dy, iLo, iHi, source, scratch);
        for (int i = iLo; i < iHi; ++i) accumulateModels(data, models, tile, i, i + dy, scratch);
    }
    for (int t = 0; t < data.inputCount; ++t)
        for (int i = tile.i0; i < tile.i1; ++i) {
            const double* sums =
                scratch.sums.data() + (static_cast<size_t>(t) * kTileRows + (i - tile.i0)) * kTileWidth;
            for (int j = tile.j0; j < tile.j1; ++j)
                results[t].at<double>(i, j) = sums[j - tile.j0] / weightSums.at<double>(i, j);
        }
}

// Runs a tile sweep over the tile bands [first, last), shared among the
// threads; every tile is computed the same way whichever thread takes it.
template <typename TileSweep>
void forEachTile(const FilterData& data, int sumsPerPixel, int first, int last, const TileSweep& sweep) {
    const SearchGeometry& g = data.geometry;
    const int tilesPerBand = (g.cols + kTileWidth - 1) / kTileWidth;
    cv::parallel_for_(cv::Range(first, last), [&](const cv::Range& range) {
        TileScratch scratch(g, sumsPerPixel, data.floatDistances);
        for (int band = range.start; band < range.end; ++band) {
            for (int column = 0; column < tilesPerBand; ++column) {
                if (stopRequested(data.run)) return;
                const int j0 = column * kTileWidth;
                const Tile tile{band * kTileRows, std::min(g.rows, (band + 1) * kTileRows), j0,
                                std::min(g.cols, j0 + kTileWidth), band * tilesPerBand + column};
                sweep(tile, scratch);
            }
        }
    });
}

// Tile bands whose second sweep can run once the first sweep has covered the
// bands before modelledBands: every row their windows reach has its models.
int smoothableBands(const SearchGeometry& g, int bands, int modelledBands) {
    const int modelledRows = std::min(g.rows, modelledBands * kTileRows);
    int ready = 0;
    while (ready < bands && std::min(g.rows, (ready + 1) * kTileRows + g.searchRadius) <= modelledRows) ++ready;
    return ready;
}

void checkArguments(int r, int s, const cv::Mat& I, const std::vector<cv::Mat>& inputs, double sigma) {
    const std::string name = "nonLocalGuidedFilter: ";
    if (r < 1) throw std::invalid_argument(name + "patch radius must be at least 1, got " + std::to_string(r));
    if (s < 0) throw std::invalid_argument(name + "search radius must not be negative, got " + std::to_string(s));
    if (!(sigma > 0)) throw std::invalid_argument(name + "noise level sigma must be positive");
    if (I.empty()) throw std::invalid_argument(name + "guide image is empty");
    if (I.channels() != 3)
        throw std::invalid_argument(name + "guide must have three channels, got " + std::to_string(I.channels()));
    for (const cv::Mat& p : inputs) {
        if (p.channels() != 1)
            throw std::invalid_argument(name + "input must have one channel, got " + std::to_string(p.channels()));
        if (p.size() != I.size()) throw std::invalid_argument(name + "input and guide differ in size");
    }
}

// Pads the guide planes and returns the largest patch distance they allow.
std::int64_t padGuide(FilterData& data) {
    const int r = data.geometry.patchRadius;
    const std::int64_t area = static_cast<std::int64_t>(2 * r + 1) * (2 * r + 1);
    std::array<cv::Mat, 3> grey;
    std::int64_t maxDistance = 0;
    for (int c = 0; c < 3; ++c) {
        padSymmetric(r, grey[c], data.guide[c]);
        double lo = 0, hi = 0;
        cv::minMaxLoc(grey[c], &lo, &hi);
        const std::int64_t range = static_cast<std::int64_t>(hi - lo);
        maxDistance += area * range * range;
    }
    data.floatDistances = maxDistance < kFloatExactLimit;
    for (int c = 0; c < 3; ++c) grey[c].convertTo(data.paddedGuide[c], data.floatDistances ? CV_32F : CV_64F);
    return maxDistance;
}

// Feature vectors: guide values, guide products, 1, then per input P and the
// guide-times-P products, each product formed as one double multiplication.
void buildFeatures(FilterData& data, const std::vector<cv::Mat>& inputs) {
    const SearchGeometry& g = data.geometry;
    std::vector<cv::Mat> planes(inputs.size());
    for (size_t t = 0; t < inputs.size(); ++t) inputs[t].convertTo(planes[t], CV_64F);
    const int stride = data.featureStride;
    data.features = cv::Mat::zeros(g.rows, g.cols * stride, CV_64F);
    cv::parallel_for_(cv::Range(0, g.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end && !stopRequested(data.run); ++i) {
            const double* g0 = data.guide[0].ptr<double>(i);
            const double* g1 = data.guide[1].ptr<double>(i);
            const double* g2 = data.guide[2].ptr<double>(i);
            for (int j = 0; j < g.cols; ++j) {
                double* f = data.features.ptr<double>(i) + static_cast<size_t>(j) * stride;
                f[kG2] = g2[j]; f[kG1] = g1[j]; f[kG0] = g0[j];
                f[kG22] = g2[j] * g2[j]; f[kG21] = g2[j] * g1[j]; f[kG20] = g2[j] * g0[j];
                f[kG11] = g1[j] * g1[j]; f[kG10] = g1[j] * g0[j]; f[kG00] = g0[j] * g0[j];
                f[kOne] = 1.0;
                for (size_t t = 0; t < planes.size(); ++t) {
                    const double p = planes[t].ptr<double>(i)[j];
                    double* in = f + kGuideSlots + t * kInputSlots;
                    in[kP] = p; in[kG2P] = g2[j] * p; in[kG1P] = g1[j] * p; in[kG0P] = g0[j] * p;
                }
            }
        }
    });
}

// Guide planes, padded guide and feature vectors; returns the largest patch
// distance the guide allows.
std::int64_t prepare(FilterData& data, int r, int s, const cv::Mat& I, const std::vector<cv::Mat>& inputs,
                     double eps) {
    data.geometry = {I.rows, I.cols, r, s};
    data.eps = eps;
    data.inputCount = static_cast<int>(inputs.size());
    const int slots = kGuideSlots + kInputSlots * data.inputCount;
    data.featureStride = (slots + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
    std::vector<cv::Mat> channels;
    cv::split(I, channels);
    for (int c = 0; c < 3; ++c) channels[c].convertTo(data.guide[c], CV_64F);
    const std::int64_t maxDistance = padGuide(data);
    buildFeatures(data, inputs);
    return maxDistance;
}

}  // namespace

void detail::nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps,
                              std::int64_t weightLogBytes) {
    checkArguments(r, s, I, inputs, sigma);
    FilterData data;
    RunReport* run = currentRun();
    data.run = run;
    const std::int64_t maxDistance = prepare(data, r, s, I, inputs, eps);
    throwIfStopRequested(run);
    const double sigma2 = sigma * sigma;
    const PatchWeightRule rule{static_cast<double>((2 * r + 1) * (2 * r + 1)), 2 * sigma2,
                               sigma2 * kBandwidthFactorSquared};
    const PatchWeights weightOf(rule, maxDistance);

    const SearchGeometry& g = data.geometry;
    std::vector<cv::Mat> models(inputs.size());
    for (cv::Mat& model : models) model.create(g.rows, g.cols, CV_64FC1);
    cv::Mat weightSums(g.rows, g.cols, CV_64FC1);
    const size_t offsetsPerTile = static_cast<size_t>(g.span()) * g.span();
    const size_t tiles = static_cast<size_t>((g.rows + kTileRows - 1) / kTileRows) *
                         ((g.cols + kTileWidth - 1) / kTileWidth);
    SweepLog log(tiles, offsetsPerTile, weightLogBytes);
    std::vector<cv::Mat> results(inputs.size());
    for (cv::Mat& result : results) result.create(g.rows, g.cols, CV_64FC1);

    // The bands are modelled a group at a time, and each band is smoothed as
    // soon as its window rows are modelled, so that the log holds the weights
    // of a few bands only and fits its budget.
    const int bands = (g.rows + kTileRows - 1) / kTileRows;
    const int group = kBandsPerGroup * std::max(1, cv::getNumThreads());
    int modelled = 0, smoothed = 0;
    while (smoothed < bands) {
        const int next = std::min(bands, modelled + group);
        forEachTile(data, data.featureStride, modelled, next, [&](const Tile& tile, TileScratch& scratch) {
            modelTile(data, weightOf, tile, scratch, log, models, weightSums);
        });
        modelled = next;
        if (modelled == bands) {
            data.features.release();
        }
        const int ready = smoothableBands(g, bands, modelled);
        forEachTile(data, data.inputCount, smoothed, ready, [&](const Tile& tile, TileScratch& scratch) {
            smoothTile(data, weightOf, tile, scratch, log, models, weightSums, results);
            log.release(tile.index);
        });
        throwIfStopRequested(run);
        smoothed = ready;
        if (run) run->advanceStep(static_cast<double>(smoothed) / bands);
    }
    outputs = results;
}

void detail::nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps) {
    const std::int64_t pixels = static_cast<std::int64_t>(I.rows) * I.cols;
    const std::int64_t budget =
        std::clamp(kWeightLogBytesPerPixel * pixels, kWeightLogMinBytes, kWeightLogMaxBytes);
    nonLocalGuidedFilterMany(r, s, outputs, I, inputs, sigma, eps, budget);
}

void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p, double sigma, double eps) {
    std::vector<cv::Mat> outputs;
    nonLocalGuidedFilterMany(r, s, outputs, I, {p}, sigma, eps);
    q = outputs[0];
}

}  // namespace nightdehaze
