// The element-wise steps written as plain loops against the OpenCV matrix
// expressions they replace, evaluated with OpenCV's run-time dispatch off, on
// random and adversarial values (rounding ties, signed zeros, huge and tiny
// magnitudes) and on odd and tiny lengths; and the 8-bit colour conversions
// over every colour.
#include "core/exact/exact_arithmetic.hpp"
#include "core/exact/hsv_to_bgr.hpp"
#include "core/exact/rounded_to_bytes.hpp"
#include "support/kernel_paths.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

using namespace nightdehaze::detail;
using testing_support::DispatchOff;

namespace {

const std::vector<int>& lengths() {
    static const std::vector<int> values{1, 2, 3, 5, 17, 31, 1001, 4099, 10000};
    return values;
}

// Random values of several magnitudes with adversarial ones mixed in.
cv::Mat values(int length, std::uint64_t seed, double low, double high) {
    cv::Mat m = testing_support::randomImage(1, length, CV_64F, low, high, seed);
    static const double special[] = {0.0,    -0.0,   0.5,    1.5,     2.5,    254.5,  255.5,
                                     1e-300, -1e-300, 1e300, 4.9e-324, 127.5 / 255.0, 1.0 / 3.0};
    cv::RNG rng(seed + 1);
    for (int k = 0; k < length; k += 3) m.at<double>(0, k) = special[rng.uniform(0, 13)];
    return m;
}

using Expression = std::function<cv::Mat(const cv::Mat&, const cv::Mat&, const cv::Mat&)>;
using Loop = std::function<double(double, double, double)>;

// OpenCV's expression with dispatch off against the loop, element by element.
void expectLoopMatchesExpression(const char* name, const Expression& expression, const Loop& loop,
                                 double low, double high) {
    for (int n : lengths()) {
        SCOPED_TRACE(testing::Message() << name << ", length " << n);
        const cv::Mat a = values(n, 10 + n, low, high), b = values(n, 20 + n, low, high),
                      c = values(n, 30 + n, 1.0, high);
        cv::Mat expected;
        {
            const DispatchOff off;
            expected = expression(a, b, c);
        }
        cv::Mat actual(expected.size(), expected.type());
        for (int k = 0; k < n; ++k) {
            const double v = loop(a.at<double>(k), b.at<double>(k), c.at<double>(k));
            if (actual.depth() == CV_8U)
                actual.at<uchar>(k) = roundToByte(v);
            else
                actual.at<double>(k) = v;
        }
        EXPECT_BIT_EQUAL(actual, expected);
    }
}

}  // namespace

TEST(ExactArithmetic, LoopsGiveWhatTheExpressionsGiveWithDispatchOff) {
    using M = const cv::Mat&;
    const double inv = kInverseUnitScale;
    expectLoopMatchesExpression("x / 255", [](M a, M, M) -> cv::Mat { return a / 255.0; },
                                [=](double a, double, double) { return scaled(a, inv); }, -300, 300);
    expectLoopMatchesExpression("x * 255", [](M a, M, M) -> cv::Mat { return a * 255.0; },
                                [](double a, double, double) { return scaled(a, 255.0); }, -2, 2);
    expectLoopMatchesExpression(
        "1 - 0.95 x", [](M a, M, M) -> cv::Mat { return 1 - 0.95 * a; },
        [](double a, double, double) { return scaledShifted(a, -0.95, 1.0); }, -2, 3);
    const double third = (1.0 / 3.0) * inv;
    expectLoopMatchesExpression(
        "((a + b) + c) / 3 / 255", [](M a, M b, M c) -> cv::Mat { return ((a + b) + c) / 3.0 / 255.0; },
        [=](double a, double b, double c) { return weightedSum(a + b, third, c, third); }, -300, 600);
    expectLoopMatchesExpression(
        "(a / n) / 255", [](M a, M, M n) -> cv::Mat { return (a / n) / 255.0; },
        [=](double a, double, double n) { return (a * inv) / n; }, -3000, 3000);
    expectLoopMatchesExpression(
        "255 * a.mul(b)", [](M a, M b, M) -> cv::Mat { return 255.0 * a.mul(b); },
        [](double a, double b, double) { return 255.0 * a * b; }, -3, 3);
    expectLoopMatchesExpression(
        "min(max(x, 0), 255)", [](M a, M, M) -> cv::Mat { return cv::min(cv::max(a, 0.0), 255.0); },
        [](double a, double, double) { return minWith(maxWith(a, 0.0), 255.0); }, 1, 300);
}

TEST(ExactArithmetic, NanAndEqualZerosTakeTheBoundAsOpenCVsVectorLanesDo) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const cv::Mat lanes(1, 64, CV_64F, cv::Scalar(nan));
    cv::Mat above, below;
    {
        const DispatchOff off;
        above = cv::max(lanes, 51.0);
        below = cv::min(lanes, 1.0);
    }
    EXPECT_EQ(above.at<double>(0), maxWith(nan, 51.0));
    EXPECT_EQ(below.at<double>(0), minWith(nan, 1.0));
    EXPECT_FALSE(std::signbit(maxWith(-0.0, 0.0)));
    EXPECT_EQ(roundToByte(nan), 0);
}

TEST(ExactArithmetic, RoundToByteIsConvertTo) {
    // Ties at every level and beyond, signed zeros, NaN, the ends of the int
    // range, then random values.
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> v{-0.0, 0.0, std::numeric_limits<double>::quiet_NaN(), 255.49999999999997,
                          -2147483000.0, 2147483000.0, 2147483647.4999998, 2147483647.5,
                          2147483648.0, -2147483648.5, -2147483649.0, 4e9, 1e300, inf, -inf};
    for (int k = -3; k < 259; ++k) v.insert(v.end(), {k + 0.5, k + 0.49999999999999994, double(k)});
    cv::RNG rng(3);
    for (int k = 0; k < 3000; ++k) v.push_back(k % 2 ? rng.uniform(-3.0, 300.0) : rng.uniform(-3e9, 3e9));
    for (int n : lengths()) {
        const cv::Mat in = cv::Mat(v).reshape(1, 1).colRange(0, std::min<int>(n, int(v.size())));
        cv::Mat expected;
        {
            const DispatchOff off;
            in.convertTo(expected, CV_8U);
        }
        cv::Mat actual(expected.size(), CV_8U);
        for (int k = 0; k < in.cols; ++k) actual.at<uchar>(k) = roundToByte(in.at<double>(k));
        EXPECT_BIT_EQUAL(actual, expected);
    }
}

// Regression: values whose rounding leaves the int range gave 255 (a white
// speck in a black area) where x86's conversion gives 0.
TEST(ExactArithmetic, ValuesBeyondTheIntRangeGiveZeroAsOnX86) {
    EXPECT_EQ(roundToByte(2147483647.4999998), 255);
    for (double huge : {2147483647.5, 2147483648.0, 4e9, 1e300, std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(roundToByte(huge), 0) << huge;
        EXPECT_EQ(roundToByte(-huge), 0) << huge;
    }
    EXPECT_EQ(roundToByte(2147483520.0f), 255);  // the largest float below 2^31
    for (float huge : {0x1p31f, 1e30f, std::numeric_limits<float>::infinity(),
                       std::numeric_limits<float>::quiet_NaN()})
        EXPECT_EQ(roundToByte(huge), 0) << huge;
    EXPECT_EQ(roundToByte(255.49999999999997f), 255);
    EXPECT_EQ(roundToByte(0.5f), 0);
    EXPECT_EQ(roundToByte(1.5f), 2);
}

// Rows of pixels running through every 8-bit triple (an odd multiplier is a
// bijection modulo 2^24), width pixels a row.
cv::Mat everyColour(int width, int count) {
    cv::Mat m((count + width - 1) / width, width, CV_8UC3);
    for (int k = 0; k < m.rows * width; ++k) {
        const std::uint32_t colour = static_cast<std::uint32_t>(k) * 2654435761u;
        for (int c = 0; c < 3; ++c) m.data[3 * k + c] = static_cast<uchar>(colour >> (8 * c));
    }
    return m;
}

TEST(ExactArithmetic, HsvToBgrMatchesOpenCVWithDispatchOffForEveryColour) {
    // Widths that leave row tails of several lengths, views and tiny images.
    for (int width : {4096, 4093, 17, 1}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        const cv::Mat hsv = everyColour(width, width < 32 ? 5000 : 1 << 24);
        const cv::Mat view = hsv(cv::Rect(width > 1, 0, (width + 1) / 2, hsv.rows / 2 + 1));
        cv::Mat expected, expectedView;
        {
            const DispatchOff off;
            cv::cvtColor(hsv, expected, cv::COLOR_HSV2BGR);
            cv::cvtColor(view, expectedView, cv::COLOR_HSV2BGR);
        }
        onBothKernelPaths([&] {
            EXPECT_BIT_EQUAL(hsvToBgr(hsv), expected);
            EXPECT_BIT_EQUAL(hsvToBgr(view), expectedView);
        });
    }
    EXPECT_THROW(hsvToBgr(cv::Mat(2, 2, CV_8UC1)), std::invalid_argument);
}

TEST(ExactArithmetic, BgrToHsvIsTheSameWithAndWithoutDispatch) {
    // Integer arithmetic in OpenCV: kept as it is, shown here not to depend on
    // the instructions OpenCV picks.
    for (int width : {4096, 4093}) {
        const cv::Mat bgr = everyColour(width, 1 << 24);
        cv::Mat native, off;
        cv::cvtColor(bgr, native, cv::COLOR_BGR2HSV);
        {
            const DispatchOff dispatchOff;
            cv::cvtColor(bgr, off, cv::COLOR_BGR2HSV);
        }
        EXPECT_BIT_EQUAL(native, off);
    }
}

// Whole images to bytes against convertTo, plain and scaled (the
// transmission map's bytes), on views, tiny rows and several channel counts,
// with values whose scaled product is a half in floats and not in doubles.
TEST(ExactArithmetic, ImagesToBytesAreConvertTo) {
    std::vector<double> special{0.0, -0.0, 1.0, 1e10, -1e10, 0.9980392462183403,
                                std::numeric_limits<double>::quiet_NaN()};
    for (int k = 0; k < 255; ++k) special.insert(special.end(), {(k + 0.5) / 255, (k + 0.5) / 255 * (1 + 3e-8)});
    for (int type : {CV_64FC1, CV_64FC3}) {
        cv::Mat m = testing_support::randomImage(37, 41, type, -0.1, 1.1, 9 + type);
        for (size_t k = 0; k < m.total() * m.channels(); k += 2) m.ptr<double>()[k] = special[k / 2 % special.size()];
        for (const cv::Mat& in : {m, m(cv::Rect(3, 2, 31, 30)), m(cv::Rect(5, 1, 2, 3)), m.row(4).colRange(0, 5)}) {
            SCOPED_TRACE(testing::Message() << in.size() << " channels " << in.channels());
            cv::Mat plain, scaled;
            {
                const DispatchOff off;
                in.convertTo(plain, CV_8U);
                in.convertTo(scaled, CV_8U, 255.0);
            }
            EXPECT_BIT_EQUAL(roundedToBytes(in), plain);
            EXPECT_BIT_EQUAL(scaledToBytes(in, 255.0), scaled);
        }
    }
}
