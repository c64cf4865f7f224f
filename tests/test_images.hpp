#pragma once
// Seeded test pictures and exact comparison helpers shared by the tests.
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace testing_support {

// Uniform random image of the given type, values in [low, high) (integers for
// integer depths), reproducible from the seed.
inline cv::Mat randomImage(int rows, int cols, int type, double low, double high,
                           std::uint64_t seed) {
    cv::Mat m(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, cv::Scalar::all(low), cv::Scalar::all(high));
    return m;
}

// Blurry, smooth-ish random picture: more like a photograph than white noise,
// so that filters see both flat regions and edges.
inline cv::Mat randomPhoto(int rows, int cols, std::uint64_t seed) {
    cv::Mat small = randomImage(std::max(1, rows / 8), std::max(1, cols / 8), CV_8UC3, 0, 256, seed);
    cv::Mat big;
    cv::resize(small, big, cv::Size(cols, rows), 0, 0, cv::INTER_LINEAR);
    cv::Mat noise = randomImage(rows, cols, CV_8UC3, 0, 24, seed + 1);
    cv::Mat out;
    cv::add(big, noise, out);
    return out;
}

// A black picture with a grey band on the right and a 2x3 speck of value 1
// at kFaintSpeck: light compensation brightens the speck far beyond the int
// range, which must give black, never white.
const cv::Rect kFaintSpeck(20, 40, 3, 2);
inline cv::Mat blackWithFaintSpeck() {
    cv::Mat picture(120, 160, CV_8UC3, cv::Scalar::all(0));
    picture.colRange(100, 160).setTo(cv::Scalar::all(180));
    picture(kFaintSpeck).setTo(cv::Scalar::all(1));
    return picture;
}

// Index of the first element whose bytes differ, or -1 when the two matrices
// have the same size, type and bytes (so -0.0 differs from 0.0 and a NaN
// matches only the same NaN).
inline long long firstBitDifference(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return -2;
    cv::Mat ca = a.isContinuous() ? a : a.clone();
    cv::Mat cb = b.isContinuous() ? b : b.clone();
    const size_t elem = ca.elemSize();
    const size_t n = ca.total();
    for (size_t i = 0; i < n; ++i) {
        if (std::memcmp(ca.data + i * elem, cb.data + i * elem, elem) != 0)
            return static_cast<long long>(i);
    }
    return -1;
}

// Sets OpenCV's worker-thread count for the lifetime of the object.
class ThreadCount {
public:
    explicit ThreadCount(int n) : saved_(cv::getNumThreads()) { cv::setNumThreads(n); }
    ~ThreadCount() { cv::setNumThreads(saved_); }
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

private:
    int saved_;
};

// Switches OpenCV's run-time CPU dispatch off for the lifetime of the object:
// literal references then compute the value every machine must give (no
// fused multiply-add, the baseline vector width). Tests only: the switch is
// process-wide.
class DispatchOff {
public:
    DispatchOff() : saved_(cv::useOptimized()) { cv::setUseOptimized(false); }
    ~DispatchOff() { cv::setUseOptimized(saved_); }
    DispatchOff(const DispatchOff&) = delete;
    DispatchOff& operator=(const DispatchOff&) = delete;

private:
    bool saved_;
};

inline std::string describe(const cv::Mat& m) {
    return std::to_string(m.rows) + "x" + std::to_string(m.cols) + " type " +
           std::to_string(m.type());
}

}  // namespace testing_support

// Asserts two matrices are identical bit for bit, naming the first difference.
#define EXPECT_BIT_EQUAL(a, b)                                                   \
    do {                                                                         \
        long long diff_at_ = testing_support::firstBitDifference((a), (b));     \
        EXPECT_EQ(diff_at_, -1) << "first differing element " << diff_at_       \
                                << " (" << testing_support::describe(a) << " vs " \
                                << testing_support::describe(b) << ")";          \
    } while (0)
