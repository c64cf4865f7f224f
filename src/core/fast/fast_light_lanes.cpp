#include "core/fast/fast_light_lanes.hpp"

#include "core/runtime/vector_kernels.hpp"

#include <algorithm>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nightdehaze::detail {

int candidateCount(int atOrAbove, int n) { return std::max(atOrAbove <= n - 2 ? atOrAbove - 1 : n - 1, 1); }

#if defined(__SSE2__)

namespace {

constexpr int kLanes = 16;

// A window at most 16 x 16: its dark rows in byte lanes, the lanes past its
// width zero.
class DarkLanes {
public:
    DarkLanes(const cv::Rect& w, const cv::Mat& dark8) : height_(w.height), width_(w.width) {
        // 16 ones, then 16 zeros: loaded from 16 - width on, a mask of the window's columns
        static const uchar kOnesThenZeros[2 * kLanes] = {255, 255, 255, 255, 255, 255, 255, 255,
                                                         255, 255, 255, 255, 255, 255, 255, 255};
        const __m128i inside = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kOnesThenZeros + kLanes - w.width));
        const bool fullLoads = w.x + kLanes <= dark8.cols;  // a 16-byte load stays inside every row
        for (int y = 0; y < height_; ++y) {
            const uchar* d = dark8.ptr<uchar>(w.y + y) + w.x;
            __m128i row;
            if (fullLoads) {
                row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d));
            } else {
                uchar lanes[kLanes] = {};
                std::copy_n(d, w.width, lanes);
                row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes));
            }
            rows_[y] = _mm_and_si128(row, inside);
        }
    }

    // How many pixels are at or above level (1..255: the zero lanes never
    // count).
    int countAtOrAbove(int level) const {
        const __m128i bound = _mm_set1_epi8(static_cast<char>(level));
        __m128i counts = _mm_setzero_si128();
        for (int y = 0; y < height_; ++y)
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_max_epu8(rows_[y], bound), rows_[y]));
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        return _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
    }

    // The dark value at descending rank `rank` (the largest level that at
    // least rank + 1 pixels reach): the top level where it holds that many
    // (most windows, the dark channel being a windowed minimum), else
    // settled one bit at a time from the top.
    int levelAtRank(int rank) const {
        const int top = topLevel();
        if (top == 0 || countAtOrAbove(top) > rank) return top;
        int level = 0;
        for (int bit = 128; bit > 0; bit >>= 1)
            if (countAtOrAbove(level | bit) > rank) level |= bit;
        return level;
    }

    int topLevel() const {
        __m128i top = _mm_setzero_si128();
        for (int y = 0; y < height_; ++y) top = _mm_max_epu8(top, rows_[y]);
        top = _mm_max_epu8(top, _mm_srli_si128(top, 8));
        top = _mm_max_epu8(top, _mm_srli_si128(top, 4));
        top = _mm_max_epu8(top, _mm_srli_si128(top, 2));
        top = _mm_max_epu8(top, _mm_srli_si128(top, 1));
        return _mm_cvtsi128_si32(top) & 0xFF;
    }

    // Bit x set where column x of row y is at or above level.
    unsigned columnsAtOrAbove(int y, int level) const {
        const __m128i bound = _mm_set1_epi8(static_cast<char>(level));
        const __m128i atOrAbove = _mm_cmpeq_epi8(_mm_max_epu8(rows_[y], bound), rows_[y]);
        return static_cast<unsigned>(_mm_movemask_epi8(atOrAbove)) & ((1u << width_) - 1u);
    }

private:
    int height_, width_;
    __m128i rows_[kLanes];
};

// The set bits of a 16-bit mask, by halves (the baseline CPU has no
// population count instruction, and the library call costs more).
int bitCount(unsigned mask) {
    mask = mask - ((mask >> 1) & 0x5555u);
    mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
    mask = (mask + (mask >> 4)) & 0x0F0Fu;
    return static_cast<int>((mask + (mask >> 8)) & 0x1Fu);
}

// Per row of a window, bit x set where column x is a candidate: above the
// boundary, or at it among the first tiesTaken (row-major) there.
void candidateMasks(const DarkLanes& lanes, int height, int level, int tiesTaken, unsigned masks[kLanes]) {
    for (int y = 0; y < height; ++y) {
        const unsigned above = level == 255 ? 0u : lanes.columnsAtOrAbove(y, level + 1);
        unsigned at = lanes.columnsAtOrAbove(y, level) & ~above;
        const int count = bitCount(at);
        if (count <= tiesTaken) {
            tiesTaken -= count;
        } else {  // the first tiesTaken of this row's, none after
            unsigned first = 0;
            for (; tiesTaken > 0; --tiesTaken, at &= at - 1) first |= at & -at;
            at = first;
        }
        masks[y] = above | at;
    }
}

// The mean colour of the m candidates with the largest channel sums, ties to
// the earlier pixel (row-major): the largest remaining sum is found over the
// lanes and its pixels taken in order, until m are taken.
void brightestMean(const cv::Rect& w, const cv::Mat& bgr8, const short* const sums[kLanes],
                   const unsigned masks[kLanes], int m, double light[3]) {
    const __m128i laneBits = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
    __m128i key[kLanes][2];  // the sum of each candidate, -1 elsewhere
    for (int y = 0; y < w.height; ++y) {
        const short* s = sums[y];
        for (int half = 0; half < 2; ++half) {
            const __m128i bits = _mm_set1_epi16(static_cast<short>((masks[y] >> (8 * half)) & 0xFF));
            const __m128i candidate = _mm_cmpeq_epi16(_mm_and_si128(bits, laneBits), laneBits);
            const __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8 * half));
            const __m128i absent = _mm_andnot_si128(candidate, _mm_set1_epi16(-1));
            key[y][half] = _mm_or_si128(_mm_and_si128(candidate, value), absent);
        }
    }
    int total[3] = {0, 0, 0}, taken = 0;
    while (taken < m) {
        __m128i largest = key[0][0];
        for (int y = 0; y < w.height; ++y)
            largest = _mm_max_epi16(largest, _mm_max_epi16(key[y][0], key[y][1]));
        largest = _mm_max_epi16(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(1, 0, 3, 2)));
        largest = _mm_max_epi16(largest, _mm_shuffle_epi32(largest, _MM_SHUFFLE(2, 3, 0, 1)));
        const __m128i pairsSwapped =
            _mm_shufflelo_epi16(_mm_shufflehi_epi16(largest, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
        largest = _mm_max_epi16(largest, pairsSwapped);  // in every lane now
        if (static_cast<short>(_mm_extract_epi16(largest, 0)) < 0) break;  // m never exceeds the candidates
        for (int y = 0; y < w.height && taken < m; ++y) {
            const __m128i equalLow = _mm_cmpeq_epi16(key[y][0], largest);
            const __m128i equalHigh = _mm_cmpeq_epi16(key[y][1], largest);
            unsigned columns = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(equalLow, equalHigh)));
            if (columns == 0) continue;
            key[y][0] = _mm_or_si128(key[y][0], equalLow);  // taken: out of the running
            key[y][1] = _mm_or_si128(key[y][1], equalHigh);
            const uchar* row = bgr8.ptr<uchar>(w.y + y) + 3 * w.x;
            for (; columns != 0 && taken < m; columns &= columns - 1) {
                const uchar* pixel = row + 3 * __builtin_ctz(columns);
                for (int c = 0; c < 3; ++c) total[c] += pixel[c];
                ++taken;
            }
        }
    }
    for (int c = 0; c < 3; ++c) light[c] = static_cast<double>(total[c]) / m;
}

}  // namespace

bool lightWindowsInLanes(int r) { return r >= 1 && 2 * r + 1 <= kLanes; }

void LightLanes::startRows(const cv::Mat& bgr8, int y0, int y1) {
    y0_ = y0;
    stride_ = bgr8.cols + kLanes;
    sums_.resize(static_cast<size_t>(y1 - y0) * stride_);
    const int n = bgr8.cols;
    for (int y = y0; y < y1; ++y) {
        const uchar* __restrict p = bgr8.ptr<uchar>(y);
        short* __restrict s = sums_.data() + static_cast<size_t>(y - y0) * stride_;
        withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
            for (int x = 0; x < n; ++x) s[x] = static_cast<short>(p[3 * x] + p[3 * x + 1] + p[3 * x + 2]);
        });
        std::fill_n(s + n, kLanes, 0);
    }
}

// The boundary from counts over the byte lanes, the brightest candidates
// found over the lanes of their sums.
void LightLanes::estimate(const cv::Rect& w, const cv::Mat& bgr8, const cv::Mat& dark8, int r, int kTop,
                          double light[3]) const {
    const DarkLanes lanes(w, dark8);
    const int n = w.width * w.height;
    const int level = lanes.levelAtRank(std::min(kTop, n - 1));
    const int atOrAbove = level == 0 ? n : lanes.countAtOrAbove(level);
    const int aboveBoundary = level == 255 ? 0 : lanes.countAtOrAbove(level + 1);
    const int k = candidateCount(atOrAbove, n);
    unsigned masks[kLanes];
    candidateMasks(lanes, w.height, level, k - aboveBoundary, masks);
    const short* sums[kLanes];
    for (int y = 0; y < w.height; ++y) sums[y] = sums_.data() + static_cast<size_t>(w.y + y - y0_) * stride_ + w.x;
    brightestMean(w, bgr8, sums, masks, std::min(k, r), light);
}

#else

bool lightWindowsInLanes(int) { return false; }

void LightLanes::startRows(const cv::Mat&, int, int) {
    throw std::logic_error("LightLanes: this build holds no light windows in lanes");
}
void LightLanes::estimate(const cv::Rect&, const cv::Mat&, const cv::Mat&, int, int, double[3]) const {
    throw std::logic_error("LightLanes: this build holds no light windows in lanes");
}

#endif

}  // namespace nightdehaze::detail
