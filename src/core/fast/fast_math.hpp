#pragma once
// Per-pixel helpers of the fast engine, the single-precision ones written with
// +, -, *, / and bit operations only, so that every CPU computes the same bits
// (the C library's powf and expf pick FMA code paths by CPU).
#include "core/runtime/vector_kernels.hpp"

#include <cstdint>
#include <cstring>

namespace nightdehaze::detail {

// log2(x) for finite x > 0, within about 2e-7 absolute.
inline float log2Positive(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    int exponent = static_cast<int>((bits >> 23) & 0xff) - 127;
    bits = (bits & 0x007fffffu) | 0x3f800000u;  // mantissa in [1, 2)
    float m;
    std::memcpy(&m, &bits, sizeof m);
    // Keep m in [sqrt(1/2), sqrt(2)): t stays small. Selects, not branches,
    // here and below, so that loops calling these vectorise.
    const bool high = m > 1.41421356f;
    m = high ? m * 0.5f : m;
    exponent = high ? exponent + 1 : exponent;
    // ln(m) = 2 atanh(t), t = (m - 1) / (m + 1), |t| <= 0.1716.
    const float t = (m - 1.0f) / (m + 1.0f);
    const float t2 = t * t;
    const float series = 1.0f + t2 * (1.0f / 3 + t2 * (1.0f / 5 + t2 * (1.0f / 7 + t2 * (1.0f / 9))));
    const float lnM = 2.0f * t * series;
    return static_cast<float>(exponent) + lnM * 1.44269504f;
}

// 2^x for x in [-126, 127], within about 3e-7 relative; 0 below, +inf above.
inline float exp2Of(float x) {
    const bool inRange = x >= -126.0f;  // false for NaN too
    const float clipped = x > 127.0f ? 127.0f : x;
    const float z = inRange ? clipped : 0.0f;
    // 2^z = 2^n * e^(f ln 2) with n the nearest whole number, |f| <= 1/2.
    const float n = (z + 12582912.0f) - 12582912.0f;  // round to nearest: 1.5 * 2^23
    const float y = (z - n) * 0.693147181f;
    const float e = 1.0f + y * (1.0f + y * (0.5f + y * (1.0f / 6 + y * (1.0f / 24 + y * (1.0f / 120 + y * (1.0f / 720))))));
    const std::uint32_t scaleBits = static_cast<std::uint32_t>(static_cast<int>(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return inRange ? e * scale : 0.0f;
}

// x^p for x >= 0 (0 for x = 0, and for x < 0 or NaN), p finite.
inline float powNonNegative(float x, float p) {
    const bool positive = x > 0.0f;
    const float power = exp2Of(p * log2Positive(positive ? x : 1.0f));
    return positive ? power : 0.0f;
}

// The largest of a pixel's three bytes: its value in HSV.
inline unsigned char maxOfThree(const unsigned char* p) {
    const unsigned char high = p[0] > p[1] ? p[0] : p[1];
    return high > p[2] ? high : p[2];
}

// A float rounded to 8 bits (a whole number in 0..255, as a float) as
// x86-64's conversion does it (half to even, saturated), and as the exact
// engine does: values at or beyond 2^31 in magnitude and NaN give 0.
inline float roundedByteValue(float v) {
    const bool inRange = v < 2147483648.0f && v >= -2147483648.0f;
    const float low = v < 0.0f ? 0.0f : v;
    const float clamped = low > 255.0f ? 255.0f : low;
    const float rounded = (clamped + 12582912.0f) - 12582912.0f;  // half to even below 2^22
    return inRange ? rounded : 0.0f;
}

// The same as a byte.
inline unsigned char roundedByte(float v) { return static_cast<unsigned char>(roundedByteValue(v)); }

}  // namespace nightdehaze::detail
