#include "core/filters/non_local_offset_weights.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <algorithm>
#include <cstring>

namespace nightdehaze::detail::nonlocal {

namespace {

// Table entries requested ahead of their use, enough to keep the memory
// system busy without overflowing its queue of outstanding loads.
constexpr int kLookAhead = 40;

// squares[x] = sum over the three channels of (centre[c][x] - other[c][x])^2.
template <typename Dist>
NIGHTDEHAZE_KERNEL_INLINE void channelSquares(const Dist* const centre[3], const Dist* const other[3], int length,
                           Dist* __restrict squares) {
    for (int x = 0; x < length; ++x) {
        const Dist d0 = centre[0][x] - other[0][x];
        const Dist d1 = centre[1][x] - other[1][x];
        const Dist d2 = centre[2][x] - other[2][x];
        squares[x] = d0 * d0 + d1 * d1 + d2 * d2;
    }
}

// sum[x] += row[x].
template <typename Dist>
NIGHTDEHAZE_KERNEL_INLINE void addInPlace(Dist* __restrict sum, const Dist* __restrict row, int length) {
    for (int x = 0; x < length; ++x) sum[x] += row[x];
}

// distance[j] = column[j] + ... + column[j + side - 1], in one pass for the
// usual 3x3 patch.
template <typename Dist>
NIGHTDEHAZE_KERNEL_INLINE void patchSums(const Dist* __restrict column, int side, int width, Dist* __restrict distance) {
    if (side == 3) {
        for (int j = 0; j < width; ++j) distance[j] = column[j] + column[j + 1] + column[j + 2];
        return;
    }
    std::copy_n(column, width, distance);
    for (int b = 1; b < side; ++b) addInPlace<Dist>(distance, column + b, width);
}

// Patch distances of the tile pixels in rows [iLo, iHi) and columns [lo, hi)
// to their window pixels at offset (dy, dx), into
// distances[(i-iLo)*kTileWidth + j-lo]: squared differences once per tile,
// then running sums down the columns and window sums along the rows. Sets the
// weights of these pixels to 1 and counts, per row, the distances above unit
// whose weights are still to be looked up.
template <typename Dist>
NIGHTDEHAZE_KERNEL_INLINE void offsetDistancesBody(const FilterData& data, const Tile& tile, int dy, int dx,
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
    for (int a = 1; a < side; ++a) addInPlace<Dist>(column, squares + static_cast<size_t>(a) * stride, paddedWidth);
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

template <typename Dist>
NIGHTDEHAZE_AVX2_TARGET void offsetDistancesAvx2(const FilterData& data, const Tile& tile, int dy, int dx,
                                                 int iLo, int iHi, int lo, int hi, Dist unit,
                                                 TileScratch& scratch) {
    offsetDistancesBody<Dist>(data, tile, dy, dx, iLo, iHi, lo, hi, unit, scratch);
}

template <typename Dist>
void offsetDistancesBaseline(const FilterData& data, const Tile& tile, int dy, int dx, int iLo, int iHi,
                             int lo, int hi, Dist unit, TileScratch& scratch) {
    offsetDistancesBody<Dist>(data, tile, dy, dx, iLo, iHi, lo, hi, unit, scratch);
}

template <typename Dist>
void offsetDistances(const FilterData& data, const Tile& tile, int dy, int dx, int iLo, int iHi, int lo,
                     int hi, Dist unit, TileScratch& scratch) {
    (avx2Kernels() ? offsetDistancesAvx2<Dist> : offsetDistancesBaseline<Dist>)(data, tile, dy, dx, iLo, iHi,
                                                                                lo, hi, unit, scratch);
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

}  // namespace

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

}  // namespace nightdehaze::detail::nonlocal
