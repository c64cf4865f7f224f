#include "filters/non_local_guided_filter.hpp"

#include "filters/pad_symmetric.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

// How the filter is made fast without changing a single bit of its values:
// - The padded guide holds whole grey levels, so every patch distance is an
//   integer whatever the order of summation, and the weight is a function of
//   that integer alone: it is looked up in a table filled on first use.
// - Distances are computed per search offset and output row as column sums of
//   squared differences followed by a running patch sum, all in exact integer
//   arithmetic (float or double, chosen so that no sum can be rounded).
// - Every pixel still adds its window pixels in row-major order: search rows
//   (dy) outer, columns (dx) inner, skipping the offsets outside the image.
// - The thirteen weighted sums of a pixel are kept side by side (the weight sum
//   as weight times 1.0, which is exact) so that one pixel's sums stay in
//   registers while its row of search offsets is added.
// - The weight sum of the first sweep is reused as the divisor of the second:
//   it is the same sum of the same weights in the same order.

namespace {

// h = 0.4 sigma; the square of 0.4 is the double product 0.4 * 0.4, one unit in
// the last place above 0.16.
constexpr double kBandwidthFactorSquared = 0.4 * 0.4;

// Patch distances are summed in float while every sum is below 2^24, where
// float holds whole numbers exactly; above that they are summed in double.
constexpr std::int64_t kFloatExactLimit = std::int64_t(1) << 24;

// Largest weight table (entries); beyond it weights are computed directly.
// Pages are committed only for the chunks that are actually filled.
constexpr std::int64_t kMaxTableEntries = std::int64_t(1) << 25;
constexpr int kTableChunkBits = 9;

// Output columns handled together, so that the weights of a search row, the
// weighted sums and the feature rows they read stay in the core's cache.
constexpr int kTileWidth = 256;

// Weighted sums of one pixel are updated in blocks of this many values held in
// registers; the feature vector of a pixel is padded to a multiple of it.
constexpr int kSumBlock = 16;

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
};

// Weight of every integer patch distance up to a bound, computed on first use
// in chunks; any thread may fill a chunk, every thread reads the same values.
class PatchWeights {
public:
    PatchWeights(const PatchWeightRule& rule, std::int64_t maxDistance) : rule_(rule) {
        if (maxDistance >= kMaxTableEntries) return;
        const std::int64_t entries = maxDistance + 1;
        const std::int64_t chunks = (entries >> kTableChunkBits) + 1;
        values_.reset(new double[chunks << kTableChunkBits]);
        ready_.reset(new std::atomic<bool>[chunks]);
        for (std::int64_t c = 0; c < chunks; ++c) ready_[c].store(false, std::memory_order_relaxed);
    }

    double operator()(std::int64_t distance) const {
        if (!values_) return rule_(static_cast<double>(distance));
        const std::int64_t chunk = distance >> kTableChunkBits;
        if (!ready_[chunk].load(std::memory_order_acquire)) fill(chunk);
        return values_[distance];
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
    std::unique_ptr<double[]> values_;
    std::unique_ptr<std::atomic<bool>[]> ready_;
    mutable std::mutex fillMutex_;
};

struct SearchGeometry {
    int rows, cols;
    int patchRadius, searchRadius;
    int span() const { return 2 * searchRadius + 1; }
    int firstDy(int i) const { return std::max(-searchRadius, -i); }
    int lastDy(int i) const { return std::min(searchRadius, rows - 1 - i); }
    int firstDx(int j) const { return std::max(-searchRadius, -j); }
    int lastDx(int j) const { return std::min(searchRadius, cols - 1 - j); }
};

// Everything that depends on the guide and the inputs, laid out for the sweeps.
struct FilterData {
    SearchGeometry geometry;
    std::array<cv::Mat, 3> guide;       // G0, G1, G2 as CV_64F
    std::array<cv::Mat, 3> paddedGuide; // padded G0, G1, G2 in the distance type
    bool floatDistances = true;
    int inputCount = 0;
    int featureStride = 0;              // doubles per pixel in features
    std::vector<double> features;       // rows x cols x featureStride
    double eps = 0;
};

// Per-thread buffers of one tile.
struct TileScratch {
    std::vector<double> weights;  // span x kTileWidth, row dx+s holds offset dx
    std::vector<double> sums;     // kTileWidth x stride
    std::vector<double> columnD;  // column sums of squared differences
    std::vector<float> columnF;

    TileScratch(const SearchGeometry& g, int stride)
        : weights(static_cast<size_t>(g.span()) * kTileWidth),
          sums(static_cast<size_t>(kTileWidth) * stride),
          columnD(kTileWidth + 2 * g.patchRadius),
          columnF(kTileWidth + 2 * g.patchRadius) {}

    template <typename Dist> Dist* column();
};
template <> double* TileScratch::column<double>() { return columnD.data(); }
template <> float* TileScratch::column<float>() { return columnF.data(); }

// Weights of the search row i+dy for the output pixels [j0, j1) of row i:
// weights[(dx+s)*kTileWidth + j-j0] for every dx that stays inside the image.
template <typename Dist>
void searchRowWeights(const FilterData& data, const PatchWeights& weightOf, int i, int dy,
                      int j0, int j1, TileScratch& scratch) {
    const SearchGeometry& g = data.geometry;
    const int side = 2 * g.patchRadius + 1;
    Dist* column = scratch.column<Dist>();
    for (int dx = -g.searchRadius; dx <= g.searchRadius; ++dx) {
        const int lo = std::max(j0, -dx), hi = std::min(j1, g.cols - dx);
        if (lo >= hi) continue;
        const int length = hi - lo + side - 1;
        std::fill(column, column + length, Dist(0));
        for (int a = 0; a < side; ++a) {
            for (int c = 0; c < 3; ++c) {
                const Dist* centre = data.paddedGuide[c].ptr<Dist>(i + a) + lo;
                const Dist* other = data.paddedGuide[c].ptr<Dist>(i + dy + a) + lo + dx;
                for (int x = 0; x < length; ++x) {
                    const Dist diff = centre[x] - other[x];
                    column[x] += diff * diff;
                }
            }
        }
        double* w = scratch.weights.data() + static_cast<size_t>(dx + g.searchRadius) * kTileWidth - j0;
        for (int j = lo; j < hi; ++j) {
            Dist distance = 0;
            for (int b = 0; b < side; ++b) distance += column[j - lo + b];
            w[j] = weightOf(static_cast<std::int64_t>(distance));
        }
    }
}

void computeSearchRowWeights(const FilterData& data, const PatchWeights& weightOf, int i, int dy,
                             int j0, int j1, TileScratch& scratch) {
    if (data.floatDistances)
        searchRowWeights<float>(data, weightOf, i, dy, j0, j1, scratch);
    else
        searchRowWeights<double>(data, weightOf, i, dy, j0, j1, scratch);
}

// Adds, for every pixel of [j0, j1), w * feature of the window pixels of
// search row k, in column order, to the pixel's weighted sums.
void accumulateFeatureRow(const FilterData& data, int k, int j0, int j1, TileScratch& scratch) {
    const SearchGeometry& g = data.geometry;
    const int stride = data.featureStride;
    const double* row = data.features.data() + static_cast<size_t>(k) * g.cols * stride;
    const double* weights = scratch.weights.data() + static_cast<size_t>(g.searchRadius) * kTileWidth;
    for (int j = j0; j < j1; ++j) {
        const int dxFirst = g.firstDx(j), dxLast = g.lastDx(j);
        double* pixelSums = scratch.sums.data() + static_cast<size_t>(j - j0) * stride;
        for (int block = 0; block < stride; block += kSumBlock) {
            double s[kSumBlock];
            for (int m = 0; m < kSumBlock; ++m) s[m] = pixelSums[block + m];
            for (int dx = dxFirst; dx <= dxLast; ++dx) {
                const double w = weights[dx * kTileWidth + (j - j0)];
                const double* x = row + static_cast<size_t>(j + dx) * stride + block;
                for (int m = 0; m < kSumBlock; ++m) s[m] += w * x[m];
            }
            for (int m = 0; m < kSumBlock; ++m) pixelSums[block + m] = s[m];
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
    invert3x3(system, sys.inverse);
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

// First sweep over rows [rowBegin, rowEnd): weighted sums of every feature,
// then each pixel's model outputs (models: rows x cols x inputCount) and its
// weight sum.
void modelRows(const FilterData& data, const PatchWeights& weightOf, int rowBegin, int rowEnd,
               std::vector<double>& models, cv::Mat& weightSums) {
    const SearchGeometry& g = data.geometry;
    const int stride = data.featureStride;
    TileScratch scratch(g, stride);
    for (int i = rowBegin; i < rowEnd; ++i) {
        for (int j0 = 0; j0 < g.cols; j0 += kTileWidth) {
            const int j1 = std::min(g.cols, j0 + kTileWidth);
            std::fill(scratch.sums.begin(), scratch.sums.end(), 0.0);
            for (int dy = g.firstDy(i); dy <= g.lastDy(i); ++dy) {
                computeSearchRowWeights(data, weightOf, i, dy, j0, j1, scratch);
                accumulateFeatureRow(data, i + dy, j0, j1, scratch);
            }
            for (int j = j0; j < j1; ++j) {
                const double* sums = scratch.sums.data() + static_cast<size_t>(j - j0) * stride;
                const double weightSum = sums[kOne];
                const double* guideValues =
                    data.features.data() + (static_cast<size_t>(i) * g.cols + j) * stride;
                const GuideSystem sys = guideSystem(sums, weightSum, data.eps);
                double* out = models.data() + (static_cast<size_t>(i) * g.cols + j) * data.inputCount;
                for (int t = 0; t < data.inputCount; ++t)
                    out[t] = pixelModel(sys, sums + kGuideSlots + t * kInputSlots, weightSum, guideValues);
                weightSums.at<double>(i, j) = weightSum;
            }
        }
    }
}

// Second sweep over rows [rowBegin, rowEnd): the weighted mean of the model
// outputs over each window, with the weights of the first sweep recomputed.
void smoothRows(const FilterData& data, const PatchWeights& weightOf, int rowBegin, int rowEnd,
                const std::vector<double>& models, const cv::Mat& weightSums,
                std::vector<cv::Mat>& results) {
    const SearchGeometry& g = data.geometry;
    const int n = data.inputCount;
    TileScratch scratch(g, n);
    const double* centreWeights = scratch.weights.data() + static_cast<size_t>(g.searchRadius) * kTileWidth;
    for (int i = rowBegin; i < rowEnd; ++i) {
        for (int j0 = 0; j0 < g.cols; j0 += kTileWidth) {
            const int j1 = std::min(g.cols, j0 + kTileWidth);
            std::fill(scratch.sums.begin(), scratch.sums.end(), 0.0);
            for (int dy = g.firstDy(i); dy <= g.lastDy(i); ++dy) {
                computeSearchRowWeights(data, weightOf, i, dy, j0, j1, scratch);
                const double* row = models.data() + static_cast<size_t>(i + dy) * g.cols * n;
                for (int j = j0; j < j1; ++j) {
                    double* sums = scratch.sums.data() + static_cast<size_t>(j - j0) * n;
                    for (int dx = g.firstDx(j); dx <= g.lastDx(j); ++dx) {
                        const double w = centreWeights[dx * kTileWidth + (j - j0)];
                        const double* x = row + static_cast<size_t>(j + dx) * n;
                        for (int t = 0; t < n; ++t) sums[t] += w * x[t];
                    }
                }
            }
            for (int t = 0; t < n; ++t) {
                double* out = results[t].ptr<double>(i);
                for (int j = j0; j < j1; ++j)
                    out[j] = scratch.sums[static_cast<size_t>(j - j0) * n + t] / weightSums.at<double>(i, j);
            }
        }
    }
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
    data.features.assign(static_cast<size_t>(g.rows) * g.cols * stride, 0.0);
    cv::parallel_for_(cv::Range(0, g.rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const double* g0 = data.guide[0].ptr<double>(i);
            const double* g1 = data.guide[1].ptr<double>(i);
            const double* g2 = data.guide[2].ptr<double>(i);
            for (int j = 0; j < g.cols; ++j) {
                double* f = data.features.data() + (static_cast<size_t>(i) * g.cols + j) * stride;
                f[kG2] = g2[j]; f[kG1] = g1[j]; f[kG0] = g0[j];
                f[kG22] = g2[j] * g2[j]; f[kG21] = g2[j] * g1[j]; f[kG20] = g2[j] * g0[j];
                f[kG11] = g1[j] * g1[j]; f[kG10] = g1[j] * g0[j]; f[kG00] = g0[j] * g0[j];
                f[kOne] = 1.0;
                for (size_t t = 0; t < planes.size(); ++t) {
                    const double p = planes[t].at<double>(i, j);
                    double* in = f + kGuideSlots + t * kInputSlots;
                    in[kP] = p; in[kG2P] = g2[j] * p; in[kG1P] = g1[j] * p; in[kG0P] = g0[j] * p;
                }
            }
        }
    });
}

}  // namespace

void invert3x3(const double m[9], double inverse[9]) {
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (det == 0.0) {
        std::fill(inverse, inverse + 9, 0.0);
        return;
    }
    const double d = 1. / det;
    inverse[0] = (m[4] * m[8] - m[5] * m[7]) * d;
    inverse[1] = (m[2] * m[7] - m[1] * m[8]) * d;
    inverse[2] = (m[1] * m[5] - m[2] * m[4]) * d;
    inverse[3] = (m[5] * m[6] - m[3] * m[8]) * d;
    inverse[4] = (m[0] * m[8] - m[2] * m[6]) * d;
    inverse[5] = (m[2] * m[3] - m[0] * m[5]) * d;
    inverse[6] = (m[3] * m[7] - m[4] * m[6]) * d;
    inverse[7] = (m[1] * m[6] - m[0] * m[7]) * d;
    inverse[8] = (m[0] * m[4] - m[1] * m[3]) * d;
}

void rowTimesMatrix3x3(const double u[3], const double m[9], double a[3]) {
    for (int k = 0; k < 3; ++k) {
        double sum = 0.0;  // a sum of negative zeros comes out as +0, as OpenCV's does
        sum += u[0] * m[k];
        sum += u[1] * m[3 + k];
        sum += u[2] * m[6 + k];
        a[k] = sum;
    }
}

void nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps) {
    checkArguments(r, s, I, inputs, sigma);
    FilterData data;
    data.geometry = {I.rows, I.cols, r, s};
    data.eps = eps;
    data.inputCount = static_cast<int>(inputs.size());
    const int slots = kGuideSlots + kInputSlots * data.inputCount;
    data.featureStride = (slots + kSumBlock - 1) / kSumBlock * kSumBlock;

    std::vector<cv::Mat> channels;
    cv::split(I, channels);
    for (int c = 0; c < 3; ++c) channels[c].convertTo(data.guide[c], CV_64F);
    const std::int64_t maxDistance = padGuide(data);
    buildFeatures(data, inputs);

    const double sigma2 = sigma * sigma;
    const PatchWeightRule rule{static_cast<double>((2 * r + 1) * (2 * r + 1)), 2 * sigma2,
                               sigma2 * kBandwidthFactorSquared};
    const PatchWeights weightOf(rule, maxDistance);

    const SearchGeometry& g = data.geometry;
    std::vector<double> models(static_cast<size_t>(g.rows) * g.cols * data.inputCount);
    cv::Mat weightSums(g.rows, g.cols, CV_64FC1);
    cv::parallel_for_(cv::Range(0, g.rows), [&](const cv::Range& range) {
        modelRows(data, weightOf, range.start, range.end, models, weightSums);
    });
    data.features.clear();

    std::vector<cv::Mat> results(inputs.size());
    for (cv::Mat& result : results) result.create(g.rows, g.cols, CV_64FC1);
    cv::parallel_for_(cv::Range(0, g.rows), [&](const cv::Range& range) {
        smoothRows(data, weightOf, range.start, range.end, models, weightSums, results);
    });
    outputs = results;
}

void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p, double sigma, double eps) {
    std::vector<cv::Mat> outputs;
    nonLocalGuidedFilterMany(r, s, outputs, I, {p}, sigma, eps);
    q = outputs[0];
}
