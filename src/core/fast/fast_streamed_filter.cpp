#include "core/fast/fast_streamed_filter.hpp"

#include "core/fast/fast_box_sums.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_pixel_rows.hpp"
#include "core/fast/fast_sliding_rows.hpp"
#include "core/filters/guide_system.hpp"
#include "core/filters/solve3x3.hpp"
#include "core/runtime/vector_kernels.hpp"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

namespace nightdehaze::detail {

namespace {

// The fit's window means, in this order: the guide (I0, I1, I2), its six
// products (00, 01, 02, 11, 12, 22), p, and the guide times p (0, 1, 2).
// Term k is source kFirst[k] times source kSecond[k], each in double, or
// source kFirst[k] alone where kSecond[k] is -1; sources 0..2 are the guide,
// 3 is p.
constexpr int kFitTerms = 13;
constexpr int kFirst[kFitTerms] = {0, 1, 2, 0, 0, 0, 1, 1, 2, 3, 0, 1, 2};
constexpr int kSecond[kFitTerms] = {-1, -1, -1, 0, 1, 2, 1, 2, 2, -1, 3, 3, 3};
// The coefficients a0, a1, a2 and b.
constexpr int kCoefficients = 4;

// Where a window's sliding sums stand: the next row they would give. The
// sums restart at every band (slidingBandRows), so a row's sums depend on
// its band alone, not on where a thread's work begins.
struct SlidePosition {
    int next = -1;
};

// Gives the window sums of rows from .. to - 1 of a plane of this many rows,
// radius r: clear() empties the column sums, slide(in, out) adds row in's
// terms and removes row out's (a negative row: none), emit(y) then uses the
// sums over y's window. A call continues from the last one's sums when it
// begins where that one ended; otherwise it starts at its band's first row
// and slides silently up to from.
template <typename Clear, typename Slide, typename Emit>
NIGHTDEHAZE_KERNEL_INLINE void slideRows(SlidePosition& at, int rows, int r, int from, int to, const Clear& clear,
                                         const Slide& slide, const Emit& emit) {
    const bool resume = at.next == from;
    const int band = slidingBandRows(rows);
    for (int y = resume ? from : from - from % band; y < to; ++y) {
        if (y % band == 0) {
            clear();
            for (int k = std::max(0, y - r); k < std::min(rows, y + r + 1); ++k) slide(k, -1);
        } else {
            slide(y + r < rows ? y + r : -1, y - r - 1);
        }
        if (y >= from) emit(y);
    }
    at.next = to;
}

// Column sums of Terms planes along one row, and their window means along
// the row: the sums of the columns x - r .. x + r (clipped) as differences
// of running sums in double, times the window's inverse pixel count. The
// running sums are held r beyond the row's start and r + 1 beyond its end
// (0 before it, the row's total after), so that the window sum at every x
// is high(k)[x] - low(k)[x].
template <int Terms>
class SlidingMeans {
public:
    SlidingMeans(int cols, int r)
        : n_(cols), r_(r), stride_(static_cast<size_t>(cols) + 2 * static_cast<size_t>(r) + 2),
          column_(Terms * static_cast<size_t>(cols)), running_(Terms * stride_), scale_(cols) {
        for (float count : fastWindowCounts(cols, r)) colInverse_.push_back(1.0 / count);
    }
    void clear() { std::fill(column_.begin(), column_.end(), 0.0); }
    SlidePosition& position() { return position_; }
    double* column(int k) { return column_.data() + k * static_cast<size_t>(n_); }

    // The running sums of the current row and scale()[x] = rowInverse *
    // (1 / cols(x)), the window's inverse pixel count.
    NIGHTDEHAZE_KERNEL_INLINE void computeSums(double rowInverse) {
        runningSums();
        const double* __restrict inverse = colInverse_.data();
        double* __restrict scale = scale_.data();
        for (int x = 0; x < n_; ++x) scale[x] = rowInverse * inverse[x];
    }
    const double* high(int k) const { return running_.data() + k * stride_ + 2 * r_ + 1; }
    const double* low(int k) const { return running_.data() + k * stride_; }
    const double* scale() const { return scale_.data(); }
    size_t stride() const { return stride_; }
    // Term k's window mean at x, (high(k)[x] - low(k)[x]) * scale()[x], is
    // formed by the kernels from these: term 0's low ends, the terms stride
    // doubles apart, each high end `reach` doubles after its low end.
    size_t reach() const { return static_cast<size_t>(2 * r_ + 1); }

private:
    // The running sums of up to four terms per pass: their chains are
    // independent, and four fit in registers.
    NIGHTDEHAZE_KERNEL_INLINE void runningSums() {
        for (int k = 0; k < Terms; k += 4) {
            if (Terms - k >= 4)
                runningSumsOf<4>(k);
            else
                runningSumsOf<(Terms % 4 == 0 ? 4 : Terms % 4)>(k);
        }
    }
    template <int Chains>
    NIGHTDEHAZE_KERNEL_INLINE void runningSumsOf(int first) {
        const size_t n = static_cast<size_t>(n_), r = static_cast<size_t>(r_);
        const double* __restrict column[Chains];
        double* __restrict running[Chains];  // running[c][x] = column[c][0] + ... + column[c][x - 1]
        double chain[Chains];
        for (int c = 0; c < Chains; ++c) {
            column[c] = column_.data() + (first + c) * n;
            running[c] = running_.data() + (first + c) * stride_ + r;
            chain[c] = 0.0;
        }
        for (size_t x = 0; x < n; ++x)
            for (int c = 0; c < Chains; ++c) running[c][x + 1] = chain[c] = chain[c] + column[c][x];
        for (int c = 0; c < Chains; ++c) {
            std::fill(running[c] - r, running[c] + 1, 0.0);
            std::fill(running[c] + n + 1, running[c] + n + r + 2, chain[c]);
        }
    }
    int n_, r_;
    size_t stride_;
    std::vector<double> column_, running_, scale_, colInverse_;
    SlidePosition position_;
};

// A term's row: a alone, or a * b formed in double; no row where a is null.
struct TermRow {
    const float* a = nullptr;
    const float* b = nullptr;
};

template <bool products>
NIGHTDEHAZE_KERNEL_INLINE void exchangeTermOf(double* column, TermRow in, TermRow out, int n) {
    if (in.a && out.a)
        exchangeRowTerms<float, products, true, true>(column, in.a, in.b, out.a, out.b, n);
    else if (in.a)
        exchangeRowTerms<float, products, true, false>(column, in.a, in.b, nullptr, nullptr, n);
    else if (out.a)
        exchangeRowTerms<float, products, false, true>(column, nullptr, nullptr, out.a, out.b, n);
}

// column = (column + the entering row's term) - the leaving row's, in one
// pass over the row.
NIGHTDEHAZE_KERNEL_INLINE void exchangeTerm(double* column, TermRow in, TermRow out, int n) {
    if ((in.a ? in.b : out.b) != nullptr)
        exchangeTermOf<true>(column, in, out, n);
    else
        exchangeTermOf<false>(column, in, out, n);
}

// The coefficient rows a band's application reads, Planes planes of them:
// image row y in slot y modulo the ring's height. Applying a band reads the
// rows from r above it to r below it, and those are the last fitted, so
// 2r + a band's rows always suffice; never more than the picture's.
template <int Planes>
class CoefficientRing {
public:
    CoefficientRing(int rows, int cols, int r)
        : cols_(cols), height_(static_cast<int>(std::min<long long>(rows, 2LL * r + slidingBandRows(rows)))) {
        for (std::vector<float>& plane : planes_) plane.resize(static_cast<size_t>(height_) * cols);
    }
    float* row(int k, int y) { return planes_[k].data() + static_cast<size_t>(y % height_) * cols_; }
    int cols() const { return cols_; }

private:
    int cols_, height_;
    std::array<std::vector<float>, Planes> planes_;
};

// Adds row in of each coefficient plane to the window's column sums and
// removes row out (a negative row: none).
template <int Terms>
NIGHTDEHAZE_KERNEL_INLINE void slideCoefficientRows(CoefficientRing<Terms>& ring, int in, int out,
                                                    SlidingMeans<Terms>& window) {
    for (int k = 0; k < Terms; ++k)
        exchangeTerm(window.column(k), TermRow{in < 0 ? nullptr : ring.row(k, in)},
                     TermRow{out < 0 ? nullptr : ring.row(k, out)}, ring.cols());
}

// What both passes read: the guide's three CV_32FC1 planes and p of their
// size.
struct Filter {
    const cv::Mat* planes;
    const cv::Mat& p;
    int r;
    double eps;
    std::vector<float> rowCounts;

    NIGHTDEHAZE_KERNEL_INLINE void guideRow(int y, float* const guide[3]) const {
        for (int c = 0; c < 3; ++c) std::copy_n(planes[c].ptr<float>(y), p.cols, guide[c]);
    }
};

// Per thread: the guide rows entering and leaving the window, and the
// sliding sums.
struct FitScratch {
    std::vector<float> guide[2][3];
    SlidingMeans<kFitTerms> window;
    FitScratch(int cols, int r) : window(cols, r) {
        for (auto& rows : guide)
            for (std::vector<float>& row : rows) row.resize(cols);
    }
};

// The rows of the thirteen terms of row y (none for a negative y), its
// guide rows made into slot.
NIGHTDEHAZE_KERNEL_INLINE void fitTermRows(const Filter& f, int y, std::vector<float> (&slot)[3],
                                           TermRow rows[kFitTerms]) {
    if (y < 0) {
        for (int k = 0; k < kFitTerms; ++k) rows[k] = TermRow{};
        return;
    }
    float* guide[3] = {slot[0].data(), slot[1].data(), slot[2].data()};
    f.guideRow(y, guide);
    const float* source[4] = {guide[0], guide[1], guide[2], f.p.ptr<float>(y)};
    for (int k = 0; k < kFitTerms; ++k) rows[k] = TermRow{source[kFirst[k]], kSecond[k] < 0 ? nullptr : source[kSecond[k]]};
}

NIGHTDEHAZE_KERNEL_INLINE void slideFitRows(const Filter& f, int in, int out, FitScratch& s) {
    TermRow entering[kFitTerms], leaving[kFitTerms];
    fitTermRows(f, in, s.guide[0], entering);
    fitTermRows(f, out, s.guide[1], leaving);
    for (int k = 0; k < kFitTerms; ++k) exchangeTerm(s.window.column(k), entering[k], leaving[k], f.p.cols);
}

// One row of coefficients from the window means: a = inverse(covariance +
// eps) * (mean of I p - mean of I * mean of p), b = mean of p - a . mean of I.
// Each mean is formed where it is used, from the running sums (low: term 0's
// lower ends, the terms stride apart, the upper ends high doubles further).
NIGHTDEHAZE_KERNEL_INLINE void coefficientRowOf(const double* __restrict low, size_t stride, size_t high,
                                                const double* __restrict scale, double eps, int n,
                                                float* __restrict a0,
                                                float* __restrict a1, float* __restrict a2, float* __restrict b) {
    for (int x = 0; x < n; ++x) {
        const double* sums = low + x;
        const auto mean = [&](int k) NIGHTDEHAZE_LAMBDA_INLINE {
            return (sums[k * stride + high] - sums[k * stride]) * scale[x];
        };
        const double m0 = mean(0), m1 = mean(1), m2 = mean(2), mp = mean(9);
        const double covariance[6] = {(mean(3) - m0 * m0) + eps, mean(4) - m0 * m1, mean(5) - m0 * m2,
                                      (mean(6) - m1 * m1) + eps, mean(7) - m1 * m2, (mean(8) - m2 * m2) + eps};
        double inverse[6], c[3];
        symmetricInverse3x3(covariance, inverse);  // zero where singular: a = 0, b = the mean of p
        const double u[3] = {mean(10) - m0 * mp, mean(11) - m1 * mp, mean(12) - m2 * mp};
        rowTimesSymmetric3x3(u, inverse, c);
        const double m[3] = {m0, m1, m2};
        a0[x] = static_cast<float>(c[0]);
        a1[x] = static_cast<float>(c[1]);
        a2[x] = static_cast<float>(c[2]);
        b[x] = static_cast<float>(modelOffset(mp, c, m));
    }
}

NIGHTDEHAZE_KERNEL_INLINE void coefficientRow(const SlidingMeans<kFitTerms>& w, double eps, int n,
                                              float* const out[kCoefficients]) {
    coefficientRowOf(w.low(0), w.stride(), w.reach(), w.scale(), eps, n, out[0], out[1], out[2], out[3]);
}

using ColorRing = CoefficientRing<kCoefficients>;

// The coefficients of rows y0 .. y1 - 1 into the ring.
NIGHTDEHAZE_KERNEL_INLINE void fitBand(const Filter& f, int y0, int y1, FitScratch& s, ColorRing& ring) {
    slideRows(
        s.window.position(), f.p.rows, f.r, y0, y1, [&] { s.window.clear(); },
        [&](int in, int out) NIGHTDEHAZE_LAMBDA_INLINE { slideFitRows(f, in, out, s); },
        [&](int y) NIGHTDEHAZE_LAMBDA_INLINE {
            s.window.computeSums(1.0 / f.rowCounts[y]);
            float* out[kCoefficients];
            for (int k = 0; k < kCoefficients; ++k) out[k] = ring.row(k, y);
            coefficientRow(s.window, f.eps, f.p.cols, out);
        });
}

void fitBandBaseline(const Filter& f, int y0, int y1, FitScratch& s, ColorRing& ring) {
    fitBand(f, y0, y1, s, ring);
}
NIGHTDEHAZE_AVX2_TARGET void fitBandAvx2(const Filter& f, int y0, int y1, FitScratch& s, ColorRing& ring) {
    fitBand(f, y0, y1, s, ring);
}

// Per thread: the sliding sums of the coefficients.
struct ApplyScratch {
    SlidingMeans<kCoefficients> window;
    ApplyScratch(int cols, int r) : window(cols, r) {}
};

// Fits and applies a filter band by band: each thread takes a run of whole
// bands, fits the coefficient rows their application reads (its own and r
// on each side, which its neighbours fit as well) into a ring, and applies
// each band once the rows r below it are fitted. fit(from, to, fitScratch,
// ring) fits rows from .. to - 1, continuing where its last call ended;
// apply(y0, y1, applyScratch, ring) applies the band of rows y0 .. y1 - 1.
template <typename Ring, typename FitScratch, typename ApplyScratch, typename Fit, typename Apply>
void streamBands(int rows, int cols, int r, const Fit& fit, const Apply& apply) {
    const int height = slidingBandRows(rows), bands = (rows + height - 1) / height;
    const int runs = std::min(bands, std::max(1, cv::getNumThreads()));
    const auto bandStart = [rows, height](int band) { return std::min(rows, band * height); };
    cv::parallel_for_(cv::Range(0, runs), [&](const cv::Range& range) {
        Ring ring(rows, cols, r);
        FitScratch fitScratch(cols, r);
        ApplyScratch applyScratch(cols, r);
        for (int run = range.start; run < range.end; ++run) {
            const int first = static_cast<int>(1LL * bands * run / runs);
            const int end = static_cast<int>(1LL * bands * (run + 1) / runs);
            int fitted = std::max(0, bandStart(first) - r);  // the rows the run needs begin here
            for (int band = first; band < end; ++band) {
                const int needed = std::min(rows, bandStart(band + 1) + r);
                fit(fitted, needed, fitScratch, ring);
                fitted = needed;
                apply(bandStart(band), bandStart(band + 1), applyScratch, ring);
            }
        }
    }, runs);
}

// The window means of the coefficients (formed as in coefficientRowOf), as
// rows of four planes: a0, a1, a2, b.
NIGHTDEHAZE_KERNEL_INLINE void coefficientMeansRowOf(const double* __restrict low, size_t stride, size_t high,
                                                     const double* __restrict scale, int n, float* __restrict a0,
                                                     float* __restrict a1, float* __restrict a2,
                                                     float* __restrict b) {
    for (int x = 0; x < n; ++x) {
        const double* sums = low + x;
        a0[x] = static_cast<float>((sums[high] - sums[0]) * scale[x]);
        a1[x] = static_cast<float>((sums[stride + high] - sums[stride]) * scale[x]);
        a2[x] = static_cast<float>((sums[2 * stride + high] - sums[2 * stride]) * scale[x]);
        b[x] = static_cast<float>((sums[3 * stride + high] - sums[3 * stride]) * scale[x]);
    }
}

NIGHTDEHAZE_KERNEL_INLINE void coefficientMeansBand(const Filter& f, int y0, int y1, ApplyScratch& s,
                                                    ColorRing& ring, cv::Mat out[kCoefficients]) {
    slideRows(
        s.window.position(), f.p.rows, f.r, y0, y1, [&] { s.window.clear(); },
        [&](int in, int leaving) NIGHTDEHAZE_LAMBDA_INLINE { slideCoefficientRows(ring, in, leaving, s.window); },
        [&](int y) NIGHTDEHAZE_LAMBDA_INLINE {
            const SlidingMeans<kCoefficients>& w = s.window;
            s.window.computeSums(1.0 / f.rowCounts[y]);
            coefficientMeansRowOf(w.low(0), w.stride(), w.reach(), w.scale(), f.p.cols, out[0].ptr<float>(y),
                                  out[1].ptr<float>(y), out[2].ptr<float>(y), out[3].ptr<float>(y));
        });
}

void coefficientMeansBandBaseline(const Filter& f, int y0, int y1, ApplyScratch& s, ColorRing& ring,
                                  cv::Mat out[kCoefficients]) {
    coefficientMeansBand(f, y0, y1, s, ring, out);
}
NIGHTDEHAZE_AVX2_TARGET void coefficientMeansBandAvx2(const Filter& f, int y0, int y1, ApplyScratch& s,
                                                      ColorRing& ring, cv::Mat out[kCoefficients]) {
    coefficientMeansBand(f, y0, y1, s, ring, out);
}

// The grey filter with the plane as its own guide: the window means of p
// and p * p give a = var / (var + eps) and b = mean - a * mean.
struct SelfGuided {
    const cv::Mat& p;
    int r;
    double eps;
    std::vector<float> rowCounts;
};

using SelfRing = CoefficientRing<2>;

struct SelfFitScratch {
    std::vector<double> denominator;
    SlidingMeans<2> window;
    SelfFitScratch(int cols, int r) : denominator(cols), window(cols, r) {}
};

// One row of a and b from the window means of p and p * p (formed as in
// coefficientRowOf); a = 0 where var + eps is 0 (set after the loop, which
// then has no branch and vectorises).
NIGHTDEHAZE_KERNEL_INLINE void selfCoefficientRowOf(const double* __restrict low, size_t stride, size_t high,
                                                    const double* __restrict scale, double eps, int n,
                                                    double* __restrict denominator, float* __restrict a,
                                                    float* __restrict b) {
    for (int x = 0; x < n; ++x) {
        const double mean = (low[x + high] - low[x]) * scale[x];
        const double meanSquare = (low[stride + x + high] - low[stride + x]) * scale[x];
        const double variance = meanSquare - mean * mean;
        denominator[x] = variance + eps;
        const double ax = variance / denominator[x];
        a[x] = static_cast<float>(ax);
        b[x] = static_cast<float>(mean - ax * mean);
    }
    for (int x = 0; x < n; ++x)
        if (denominator[x] == 0.0) a[x] = 0.0f, b[x] = static_cast<float>((low[x + high] - low[x]) * scale[x]);
}

NIGHTDEHAZE_KERNEL_INLINE void selfFitBand(const SelfGuided& f, int y0, int y1, SelfFitScratch& s, SelfRing& ring) {
    const int n = f.p.cols;
    slideRows(
        s.window.position(), f.p.rows, f.r, y0, y1, [&] { s.window.clear(); },
        [&](int in, int out) NIGHTDEHAZE_LAMBDA_INLINE {
            const float* entering = in < 0 ? nullptr : f.p.ptr<float>(in);
            const float* leaving = out < 0 ? nullptr : f.p.ptr<float>(out);
            exchangeTerm(s.window.column(0), TermRow{entering}, TermRow{leaving}, n);
            exchangeTerm(s.window.column(1), TermRow{entering, entering}, TermRow{leaving, leaving}, n);
        },
        [&](int y) NIGHTDEHAZE_LAMBDA_INLINE {
            const SlidingMeans<2>& w = s.window;
            s.window.computeSums(1.0 / f.rowCounts[y]);
            selfCoefficientRowOf(w.low(0), w.stride(), w.reach(), w.scale(), f.eps, n, s.denominator.data(),
                                 ring.row(0, y), ring.row(1, y));
        });
}

void selfFitBandBaseline(const SelfGuided& f, int y0, int y1, SelfFitScratch& s, SelfRing& ring) {
    selfFitBand(f, y0, y1, s, ring);
}
NIGHTDEHAZE_AVX2_TARGET void selfFitBandAvx2(const SelfGuided& f, int y0, int y1, SelfFitScratch& s,
                                             SelfRing& ring) {
    selfFitBand(f, y0, y1, s, ring);
}

// The window means of a and b (formed as in coefficientRowOf) applied to p:
// a * p + b.
NIGHTDEHAZE_KERNEL_INLINE void selfAppliedRowOf(const double* __restrict low, size_t stride, size_t high,
                                                const double* __restrict scale, const float* __restrict p, int n,
                                                float* __restrict out) {
    for (int x = 0; x < n; ++x) {
        const float a = static_cast<float>((low[x + high] - low[x]) * scale[x]);
        const float b = static_cast<float>((low[stride + x + high] - low[stride + x]) * scale[x]);
        out[x] = a * p[x] + b;
    }
}

struct SelfApplyScratch {
    std::vector<float> out;
    SlidingMeans<2> window;
    SelfApplyScratch(int cols, int r) : out(cols), window(cols, r) {}
};

NIGHTDEHAZE_KERNEL_INLINE void selfApplyBand(const SelfGuided& f, int y0, int y1, SelfApplyScratch& s,
                                             SelfRing& ring, const FilteredRowSink& sink) {
    const int n = f.p.cols;
    slideRows(
        s.window.position(), f.p.rows, f.r, y0, y1, [&] { s.window.clear(); },
        [&](int in, int out) NIGHTDEHAZE_LAMBDA_INLINE { slideCoefficientRows(ring, in, out, s.window); },
        [&](int y) NIGHTDEHAZE_LAMBDA_INLINE {
            const SlidingMeans<2>& w = s.window;
            s.window.computeSums(1.0 / f.rowCounts[y]);
            selfAppliedRowOf(w.low(0), w.stride(), w.reach(), w.scale(), f.p.ptr<float>(y), n, s.out.data());
            sink(y, s.out.data());
        });
}

void selfApplyBandBaseline(const SelfGuided& f, int y0, int y1, SelfApplyScratch& s, SelfRing& ring,
                           const FilteredRowSink& sink) {
    selfApplyBand(f, y0, y1, s, ring, sink);
}
NIGHTDEHAZE_AVX2_TARGET void selfApplyBandAvx2(const SelfGuided& f, int y0, int y1, SelfApplyScratch& s,
                                               SelfRing& ring, const FilteredRowSink& sink) {
    selfApplyBand(f, y0, y1, s, ring, sink);
}

}  // namespace

void streamedColorCoefficients(const cv::Mat guide[3], const cv::Mat& p, int r, double eps, cv::Mat out[4]) {
    for (int c = 0; c < 3; ++c)
        if (guide[c].type() != CV_32FC1 || guide[c].size() != p.size())
            throw std::invalid_argument("streamedColorCoefficients: expected three CV_32FC1 guide planes of p's size");
    if (p.type() != CV_32FC1 || p.empty() || r < 0 || !(eps >= 0.0))
        throw std::invalid_argument("streamedColorCoefficients: expected a non-empty CV_32FC1 plane, r >= 0 and eps >= 0");
    const Filter f{guide, p, r, eps, fastWindowCounts(p.rows, r)};
    for (int k = 0; k < kCoefficients; ++k) out[k] = cv::Mat(p.size(), CV_32FC1);
    const bool avx2 = avx2Kernels();
    streamBands<ColorRing, FitScratch, ApplyScratch>(
        p.rows, p.cols, r,
        [&](int y0, int y1, FitScratch& s, ColorRing& ring) {
            (avx2 ? fitBandAvx2 : fitBandBaseline)(f, y0, y1, s, ring);
        },
        [&](int y0, int y1, ApplyScratch& s, ColorRing& ring) {
            (avx2 ? coefficientMeansBandAvx2 : coefficientMeansBandBaseline)(f, y0, y1, s, ring, out);
        });
}

void streamedSelfGuidedFilter(const cv::Mat& p, int r, double eps, const FilteredRowSink& sink) {
    if (p.type() != CV_32FC1 || p.empty() || r < 0 || !(eps >= 0.0))
        throw std::invalid_argument("streamedSelfGuidedFilter: expected a non-empty CV_32FC1 plane, r >= 0 and eps >= 0");
    const SelfGuided f{p, r, eps, fastWindowCounts(p.rows, r)};
    const bool avx2 = avx2Kernels();
    streamBands<SelfRing, SelfFitScratch, SelfApplyScratch>(
        p.rows, p.cols, r,
        [&](int y0, int y1, SelfFitScratch& s, SelfRing& ring) {
            (avx2 ? selfFitBandAvx2 : selfFitBandBaseline)(f, y0, y1, s, ring);
        },
        [&](int y0, int y1, SelfApplyScratch& s, SelfRing& ring) {
            (avx2 ? selfApplyBandAvx2 : selfApplyBandBaseline)(f, y0, y1, s, ring, sink);
        });
}

}  // namespace nightdehaze::detail
