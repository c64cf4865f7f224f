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
    DarkLanes(const cv::Rect& w, const cv::Mat& dark8) : height_(w.height) {
        // 16 ones, then 16 zeros: loaded from 16 - width on, a mask of the window's columns
        static const uchar kOnesThenZeros[2 * kLanes] = {255, 255, 255, 255, 255, 255, 255, 255,
                                                         255, 255, 255, 255, 255, 255, 255, 255};
        inside_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kOnesThenZeros + kLanes - w.width));
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
            rows_[y] = _mm_and_si128(row, inside_);
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
    // least rank + 1 pixels reach) and how many of the window's n pixels
    // reach it. Levels are tried from the top down, each the largest below
    // the last: the dark channel being a windowed minimum, a window holds few
    // of them, and the first that enough pixels reach is the boundary. Past
    // kDistinctTries levels it is settled one bit at a time.
    struct Boundary {
        int level, atOrAbove;
    };
    Boundary boundaryAtRank(int rank, int n) const {
        constexpr int kDistinctTries = 3;
        int level = topLevel();
        for (int tried = 0; tried < kDistinctTries; ++tried) {
            if (level == 0) return {0, n};
            const int count = countAtOrAbove(level);
            if (count > rank) return {level, count};
            level = largestBelow(level);
        }
        Boundary boundary{0, n};
        for (int bit = 128; bit > 0; bit >>= 1) {
            const int count = countAtOrAbove(boundary.level | bit);
            if (count > rank) boundary = {boundary.level | bit, count};
        }
        return boundary;
    }

    int topLevel() const {
        __m128i top = _mm_setzero_si128();
        for (int y = 0; y < height_; ++y) top = _mm_max_epu8(top, rows_[y]);
        return largestByte(top);
    }

    // The largest value below level (1..255) in the window, 0 if none.
    int largestBelow(int level) const {
        const __m128i bound = _mm_set1_epi8(static_cast<char>(level));
        __m128i below = _mm_setzero_si128();
        for (int y = 0; y < height_; ++y) {
            const __m128i atOrAbove = _mm_cmpeq_epi8(_mm_max_epu8(rows_[y], bound), rows_[y]);
            below = _mm_max_epu8(below, _mm_andnot_si128(atOrAbove, rows_[y]));
        }
        return largestByte(below);
    }

    static int largestByte(__m128i v) {
        v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
        v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
        v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
        v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
        return _mm_cvtsi128_si32(v) & 0xFF;
    }

    // 0xFF in the byte lanes of row y's pixels at or above level (0..255),
    // 0 elsewhere and past the window's width.
    __m128i lanesAtOrAbove(int y, int level) const {
        const __m128i bound = _mm_set1_epi8(static_cast<char>(level));
        return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(rows_[y], bound), rows_[y]), inside_);
    }

    // Bit x set where column x of row y is at level.
    unsigned columnsAt(int y, int level) const {
        const __m128i at = _mm_and_si128(_mm_cmpeq_epi8(rows_[y], _mm_set1_epi8(static_cast<char>(level))), inside_);
        return static_cast<unsigned>(_mm_movemask_epi8(at));
    }

private:
    int height_;
    __m128i inside_;
    __m128i rows_[kLanes];
};

// The channel sums of a window's candidates as 16-bit keys, -1 for the
// other pixels: the candidates are the pixels at or above the boundary
// level, but for the last (row-major) at it when excluded says so.
struct CandidateKeys {
    alignas(16) short key[kLanes][kLanes];

    CandidateKeys(const DarkLanes& lanes, int height, const short* const sums[kLanes], int level, bool excluded) {
        for (int y = 0; y < height; ++y) {
            const __m128i candidate = lanes.lanesAtOrAbove(y, level);
            const __m128i low = _mm_unpacklo_epi8(candidate, candidate), high = _mm_unpackhi_epi8(candidate, candidate);
            const __m128i* s = reinterpret_cast<const __m128i*>(sums[y]);
            store(y, 0, _mm_or_si128(_mm_and_si128(low, _mm_loadu_si128(s)), _mm_andnot_si128(low, _mm_set1_epi16(-1))));
            store(y, 1,
                  _mm_or_si128(_mm_and_si128(high, _mm_loadu_si128(s + 1)), _mm_andnot_si128(high, _mm_set1_epi16(-1))));
        }
        for (int y = height - 1; excluded && y >= 0; --y) {
            const unsigned at = lanes.columnsAt(y, level);
            if (at == 0) continue;
            key[y][31 - __builtin_clz(at)] = -1;
            excluded = false;
        }
    }
    __m128i half(int y, int h) const { return _mm_load_si128(reinterpret_cast<const __m128i*>(key[y]) + h); }
    void store(int y, int h, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(key[y]) + h, v); }
};

// The largest of the 16-bit lanes of v, in every lane.
__m128i largestLane(__m128i v) {
    v = _mm_max_epi16(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_max_epi16(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_max_epi16(v, _mm_shufflelo_epi16(_mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1)));
}

// The mean colour of the m candidates with the largest channel sums, ties to
// the earlier pixel (row-major): the largest remaining sum is found over the
// lanes and its pixels taken in order, until m are taken. Each pass over the
// rows takes the pixels of one sum and finds the largest of those left.
void brightestMean(const cv::Rect& w, const cv::Mat& bgr8, CandidateKeys& keys, int m, double light[3]) {
    __m128i next = _mm_set1_epi16(-1);
    for (int y = 0; y < w.height; ++y) next = _mm_max_epi16(next, _mm_max_epi16(keys.half(y, 0), keys.half(y, 1)));
    int total[3] = {0, 0, 0}, taken = 0;
    while (taken < m) {
        const __m128i largest = largestLane(next);
        if (static_cast<short>(_mm_extract_epi16(largest, 0)) < 0) break;  // m never exceeds the candidates
        next = _mm_set1_epi16(-1);
        for (int y = 0; y < w.height && taken < m; ++y) {
            __m128i low = keys.half(y, 0), high = keys.half(y, 1);
            const __m128i equalLow = _mm_cmpeq_epi16(low, largest), equalHigh = _mm_cmpeq_epi16(high, largest);
            unsigned columns = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(equalLow, equalHigh)));
            if (columns != 0) {
                low = _mm_or_si128(low, equalLow);  // taken: out of the running
                high = _mm_or_si128(high, equalHigh);
                keys.store(y, 0, low);
                keys.store(y, 1, high);
                const uchar* row = bgr8.ptr<uchar>(w.y + y) + 3 * w.x;
                for (; columns != 0 && taken < m; columns &= columns - 1) {
                    const uchar* pixel = row + 3 * __builtin_ctz(columns);
                    for (int c = 0; c < 3; ++c) total[c] += pixel[c];
                    ++taken;
                }
            }
            next = _mm_max_epi16(next, _mm_max_epi16(low, high));
        }
    }
    for (int c = 0; c < 3; ++c) light[c] = static_cast<double>(total[c]) / m;
}

}  // namespace

bool lightWindowsInLanes(int r) { return r >= 1 && 2 * r + 1 <= kLanes; }

int windowTopByte(const cv::Rect& w, const cv::Mat& plane8u) { return DarkLanes(w, plane8u).topLevel(); }

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
    const auto [level, atOrAbove] = lanes.boundaryAtRank(std::min(kTop, n - 1), n);
    const int k = candidateCount(atOrAbove, n);
    // Every pixel above the boundary is a candidate (the level's rank keeps
    // them fewer than k), and k leaves at most one at it out: the last.
    const short* sums[kLanes];
    for (int y = 0; y < w.height; ++y) sums[y] = sums_.data() + static_cast<size_t>(w.y + y - y0_) * stride_ + w.x;
    CandidateKeys keys(lanes, w.height, sums, level, atOrAbove > k);
    brightestMean(w, bgr8, keys, std::min(k, r), light);
}

#else

bool lightWindowsInLanes(int) { return false; }

int windowTopByte(const cv::Rect&, const cv::Mat&) {
    throw std::logic_error("LightLanes: this build holds no light windows in lanes");
}

void LightLanes::startRows(const cv::Mat&, int, int) {
    throw std::logic_error("LightLanes: this build holds no light windows in lanes");
}
void LightLanes::estimate(const cv::Rect&, const cv::Mat&, const cv::Mat&, int, int, double[3]) const {
    throw std::logic_error("LightLanes: this build holds no light windows in lanes");
}

#endif

}  // namespace nightdehaze::detail
