#pragma once
// The element-wise arithmetic of the stages, one IEEE operation at a time, so
// that every machine computes the same bits. Each function is the value that
// an OpenCV matrix expression gives without run-time vector dispatch (no fused
// multiply-add): OpenCV folds a scalar divisor into a factor (x / 255 is
// x * (1 / 255)) and evaluates a scaled conversion as x * alpha + beta.
// Nothing here may be fused: the project compiles with -ffp-contract=off.
#include <opencv2/core.hpp>

namespace nightdehaze::detail {

constexpr double kInverseUnitScale = 1.0 / 255.0;  // OpenCV's factor for "/ 255.0"

// x * alpha + beta, rounded after each step: cv::Mat::convertTo with a scale
// and an offset (a matrix expression alpha * X + beta). The offset is added even
// when it is 0, which turns a product of -0 into +0 as OpenCV does.
inline double scaledShifted(double x, double alpha, double beta) { return x * alpha + beta; }
inline double scaled(double x, double alpha) { return x * alpha + 0.0; }

// alpha * a + beta * b, each product rounded, then the sum (cv::addWeighted with
// gamma 0, the form of a folded sum of two matrices times a number).
inline double weightedSum(double a, double alpha, double b, double beta) {
    return (a * alpha + b * beta) + 0.0;
}

// cv::max and cv::min with a number, as their vector lanes compute them: the
// number wherever x is NaN or the two compare equal.
inline double maxWith(double x, double bound) { return x > bound ? x : bound; }
inline double minWith(double x, double bound) { return x < bound ? x : bound; }

// cv::saturate_cast<uchar> as x86-64 computes it, on every CPU: the nearest
// integer, halves to even, saturated to 0..255. NaN and values whose rounding
// leaves the int range give 0, since x86's conversion returns INT_MIN for them
// (the "integer indefinite"), which saturates to 0: a huge quotient over a
// black neighbourhood stays black instead of turning white.
// Adding and subtracting 2^52 rounds a double in [0, 255] to an integer in the
// current (nearest-even) rounding mode without a library call.
constexpr double kFirstDoubleBeyondInt = 2147483647.5;  // rounds (to even) to 2^31
inline uchar roundToByte(double x) {
    const double clamped = x > 0.0 ? (x < 255.0 ? x : 255.0) : 0.0;
    const uchar rounded = static_cast<uchar>((clamped + 0x1p52) - 0x1p52);
    return x < kFirstDoubleBeyondInt ? rounded : 0;
}

// The same for a float (cv::saturate_cast<uchar> of a float); the largest
// float below 2^31 still rounds into the int range.
constexpr float kFirstFloatBeyondInt = 0x1p31f;
inline uchar roundToByte(float x) {
    const float clamped = x > 0.0f ? (x < 255.0f ? x : 255.0f) : 0.0f;
    const uchar rounded = static_cast<uchar>((clamped + 0x1p23f) - 0x1p23f);
    return x < kFirstFloatBeyondInt ? rounded : 0;
}

}  // namespace nightdehaze::detail
