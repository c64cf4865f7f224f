#include "core/filters/non_local_accumulation.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <algorithm>
#include <cstring>

namespace nightdehaze::detail::nonlocal {

namespace {

// Weighted sums of one pixel are updated in blocks of this many values held in
// registers, the last block of a pixel possibly narrower.
constexpr int kSumBlock = 16;

#if defined(__GNUC__)
// Four doubles added and multiplied lane by lane, each lane the plain IEEE
// operation; loaded and stored at any address.
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));

// Lanes pass by reference: an AVX vector by value would change the calling
// convention between the builds of the hot loops.
NIGHTDEHAZE_KERNEL_INLINE const Lanes& loadLanes(const double* p, Lanes& v) {
    std::memcpy(&v, p, sizeof v);
    return v;
}

NIGHTDEHAZE_KERNEL_INLINE void storeLanes(double* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }
#endif

// Adds w * features of the window pixels in `row` (one image row of feature
// vectors, stride values a pixel), slots [block, block + Width), to the sums
// of the pixel at column j (first), and of its neighbour j + 1 when pair is
// set (the same window columns): their sums are independent, so the additions
// of one overlap those of the other. weights[dx * kWeightPlane + j] is the
// weight of pixel j's window pixel at offset dx.
template <int Width>
NIGHTDEHAZE_KERNEL_INLINE void accumulateBlock(const double* row, const double* weights, int stride, int j,
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

NIGHTDEHAZE_KERNEL_INLINE void accumulateFeaturesBody(const FilterData& data, const Tile& tile, int i, int k,
                                                      TileScratch& scratch) {
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

NIGHTDEHAZE_KERNEL_INLINE void accumulateModelsBody(const FilterData& data, const std::vector<cv::Mat>& models,
                                                    const Tile& tile, int i, int k, TileScratch& scratch) {
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

NIGHTDEHAZE_AVX2_TARGET void accumulateFeaturesAvx2(const FilterData& data, const Tile& tile, int i, int k,
                                                    TileScratch& scratch) {
    accumulateFeaturesBody(data, tile, i, k, scratch);
}

void accumulateFeaturesBaseline(const FilterData& data, const Tile& tile, int i, int k, TileScratch& scratch) {
    accumulateFeaturesBody(data, tile, i, k, scratch);
}

NIGHTDEHAZE_AVX2_TARGET void accumulateModelsAvx2(const FilterData& data, const std::vector<cv::Mat>& models,
                                                  const Tile& tile, int i, int k, TileScratch& scratch) {
    accumulateModelsBody(data, models, tile, i, k, scratch);
}

void accumulateModelsBaseline(const FilterData& data, const std::vector<cv::Mat>& models, const Tile& tile,
                              int i, int k, TileScratch& scratch) {
    accumulateModelsBody(data, models, tile, i, k, scratch);
}

}  // namespace

// Adds w * features of the window pixels in image row k, column by column, to
// the weighted sums of the tile pixels of row i: full blocks of kSumBlock
// slots, then the remaining slots in one narrower block.
void accumulateFeatures(const FilterData& data, const Tile& tile, int i, int k, TileScratch& scratch) {
    (avx2Kernels() ? accumulateFeaturesAvx2 : accumulateFeaturesBaseline)(data, tile, i, k, scratch);
}

// Adds w * model output of the window pixels in image row k to the sums of the
// tile pixels of row i; sums hold one value per pixel and input, input-major.
void accumulateModels(const FilterData& data, const std::vector<cv::Mat>& models, const Tile& tile, int i,
                      int k, TileScratch& scratch) {
    (avx2Kernels() ? accumulateModelsAvx2 : accumulateModelsBaseline)(data, models, tile, i, k, scratch);
}

}  // namespace nightdehaze::detail::nonlocal
