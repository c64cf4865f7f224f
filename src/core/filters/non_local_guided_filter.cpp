#include "core/filters/non_local_guided_filter.hpp"

#include "core/filters/guide_system.hpp"
#include "core/filters/non_local_accumulation.hpp"
#include "core/filters/non_local_layout.hpp"
#include "core/filters/non_local_offset_weights.hpp"
#include "core/filters/non_local_patch_weights.hpp"
#include "core/filters/solve3x3.hpp"
#include "core/filters/sweep_log.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "core/runtime/run_report.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze {

using namespace detail;
using namespace detail::nonlocal;

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
// Where each part lives: the weight rule and its table in
// non_local_patch_weights.hpp, distances and weights per search offset in
// non_local_offset_weights.cpp, the log between the sweeps in sweep_log.cpp,
// the accumulation loops in non_local_accumulation.cpp; this file holds the
// per-pixel model, the band schedule and the entry points.

namespace {

// h = 0.4 sigma; the square of 0.4 is the double product 0.4 * 0.4, one unit in
// the last place above 0.16.
constexpr double kBandwidthFactorSquared = 0.4 * 0.4;

// Patch distances are summed in float while every sum is below 2^24, where
// float holds whole numbers exactly; above that they are summed in double.
constexpr std::int64_t kFloatExactLimit = std::int64_t(1) << 24;

// Memory for the weights kept between the sweeps: enough for a photograph,
// whose patches mostly match within the noise (a few hundred bytes a pixel);
// a picture full of texture recomputes the weights of the tiles that do not fit.
constexpr std::int64_t kWeightLogBytesPerPixel = 512;
constexpr std::int64_t kWeightLogMinBytes = std::int64_t(64) << 20;
constexpr std::int64_t kWeightLogMaxBytes = std::int64_t(512) << 20;

// Tile bands modelled together before the bands they complete are smoothed:
// at least this many, and this many per thread so that every thread has work.
constexpr int kBandsPerGroup = 4;

// Rows of the tile whose window reaches search row dy, as [iLo, iHi).
bool rowsReaching(const Tile& tile, int dy, int rows, int& iLo, int& iHi) {
    iLo = std::max(tile.i0, -dy);
    iHi = std::min(tile.i1, rows - dy);
    return iLo < iHi;
}

// The 3x3 guide system of a pixel, inverted once for all inputs.
struct GuideSystem {
    double mean[3];  // guide channels 2, 1, 0
    double inverse[6];  // symmetric: 00, 01, 02, 11, 12, 22
};

GuideSystem guideSystem(const double* sums, double weightSum, double eps) {
    static_assert(kG1 == kG2 + 1 && kG0 == kG2 + 2, "guide means in the order 2, 1, 0");
    static_assert(kG00 == kG22 + 5, "guide products in the order 22, 21, 20, 11, 10, 00");
    GuideSystem sys;
    for (int c = 0; c < 3; ++c) sys.mean[c] = sums[kG2 + c] / weightSum;
    double system[6];
    guideSystem3x3(sys.mean, sums + kG22, weightSum, eps, system);
    symmetricInverse3x3(system, sys.inverse);
    return sys;
}

// Model output a2*G2 + a1*G1 + a0*G0 + b of one input at one pixel.
double pixelModel(const GuideSystem& sys, const double* inputSums, double weightSum,
                  const double* guideValues) {
    static_assert(kG1P == kG2P + 1 && kG0P == kG2P + 2, "guide-times-input in the order 2, 1, 0");
    const double meanP = inputSums[kP] / weightSum;
    double u[3], a[3];
    guideInputCovariance(sys.mean, meanP, inputSums + kG2P, weightSum, u);
    rowTimesSymmetric3x3(u, sys.inverse, a);
    const double b = modelOffset(meanP, a, sys.mean);
    return ((a[0] * guideValues[kG2] + a[1] * guideValues[kG1]) + a[2] * guideValues[kG0]) + b;
}

// The weighted sums of one sweep over a tile, from zero: for every search row
// dy in order, the weights of that row, then accumulateRow(i, i + dy) for
// every tile row i whose window reaches it.
template <typename AccumulateRow>
void sweepSearchRows(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, WeightSource source,
                     TileScratch& scratch, const AccumulateRow& accumulateRow) {
    const SearchGeometry& g = data.geometry;
    std::fill(scratch.sums.begin(), scratch.sums.end(), 0.0);
    for (int dy = -g.searchRadius; dy <= g.searchRadius; ++dy) {
        int iLo, iHi;
        if (!rowsReaching(tile, dy, g.rows, iLo, iHi)) continue;
        searchRowWeights(data, weightOf, tile, dy, iLo, iHi, source, scratch);
        for (int i = iLo; i < iHi; ++i) accumulateRow(i, i + dy);
    }
}

// First sweep over one tile: weighted sums of every feature, then each pixel's
// model outputs and its weight sum.
void modelTile(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, TileScratch& scratch,
               SweepLog& log, std::vector<cv::Mat>& models, cv::Mat& weightSums) {
    const int stride = data.featureStride;
    sweepSearchRows(data, weightOf, tile, WeightSource{log, true}, scratch,
                    [&](int i, int k) { accumulateFeatures(data, tile, i, k, scratch); });
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
    sweepSearchRows(data, weightOf, tile, WeightSource{log, false}, scratch,
                    [&](int i, int k) { accumulateModels(data, models, tile, i, k, scratch); });
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

