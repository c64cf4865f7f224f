#pragma once
#include "core/runtime/run_report.hpp"

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The data of the non-local guided filter as its sweeps see it: the geometry of
// the search, the guide and feature planes, tiles and the per-thread buffers
// of a tile. Shared by the weight, accumulation and schedule code.

namespace nightdehaze::detail::nonlocal {

// A tile: the rows and columns whose weights, weighted sums and feature rows
// stay in the core's cache while all search offsets are visited.
constexpr int kTileRows = 8;
constexpr int kTileWidth = 64;

// The feature vector of a pixel is padded to a multiple of kSlotAlign values
// (one vector register).
constexpr int kSlotAlign = 4;

// Slots of a pixel's feature vector: guide values and guide products, the
// constant 1 whose weighted sum is the weight sum, then four slots per input.
enum GuideSlot { kG2, kG1, kG0, kG22, kG21, kG20, kG11, kG10, kG00, kOne, kGuideSlots };
enum InputSlot { kP, kG2P, kG1P, kG0P, kInputSlots };

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
template <> inline float* TileScratch::squares<float>() { return squaresF.data(); }
template <> inline double* TileScratch::squares<double>() { return squaresD.data(); }
template <> inline float* TileScratch::columns<float>() { return columnF.data(); }
template <> inline double* TileScratch::columns<double>() { return columnD.data(); }
template <> inline float* TileScratch::distances<float>() { return distanceF.data(); }
template <> inline double* TileScratch::distances<double>() { return distanceD.data(); }

}  // namespace nightdehaze::detail::nonlocal
