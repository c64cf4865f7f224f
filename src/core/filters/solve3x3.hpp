#pragma once
#include <cstdint>
#include <cstring>

namespace nightdehaze::detail {

// rowTimesLuInverse3x3(m, u, a): a = u * inverse(S) for a row u of three values
// and a 3x3 matrix S (row-major m[0..8]), rounded exactly as cv::Mat::inv with
// DECOMP_LU of a 3x3 CV_64F matrix followed by the 1x3-by-3x3 matrix product:
// the inverse is the cofactor matrix times 1/det, the zero matrix when det is
// exactly 0, and each a[c] is summed from +0 left to right,
// 0 + u[0]*T[0][c] + u[1]*T[1][c] + u[2]*T[2][c] (a singular system gives +0,
// or NaN where u is not finite). No allocation and no branches, so a loop over
// pixels that calls it vectorises. a may alias neither m nor u. Its two steps
// are below as well, for filters that reuse one inverse for several rows.

namespace solve3x3_detail {

// x where det is non-zero (NaN included), +0 where det is +0 or -0. Integer
// arithmetic on the bits rather than a branch or a select, so that compilers
// that may not speculate floating-point operations still vectorise the loop.
inline double keepWhereNonZero(double det, double x) {
    std::uint64_t detBits, xBits;
    std::memcpy(&detBits, &det, sizeof detBits);
    std::memcpy(&xBits, &x, sizeof xBits);
    const std::uint64_t magnitude = detBits << 1;
    const std::uint64_t nonZero = (magnitude | (std::uint64_t{0} - magnitude)) >> 63;
    xBits &= std::uint64_t{0} - nonZero;
    std::memcpy(&x, &xBits, sizeof xBits);
    return x;
}

}  // namespace solve3x3_detail

// inverse = inverse(S) of a row-major 3x3 matrix S as cv::Mat::inv with
// DECOMP_LU computes it for 3x3 CV_64F: the cofactors times 1/det, all +0
// where det is exactly 0. No branches.
inline void luInverse3x3(const double m[9], double inverse[9]) {
    using solve3x3_detail::keepWhereNonZero;
    const double m00 = m[0], m01 = m[1], m02 = m[2];
    const double m10 = m[3], m11 = m[4], m12 = m[5];
    const double m20 = m[6], m21 = m[7], m22 = m[8];
    const double det = m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20) +
                       m02 * (m10 * m21 - m11 * m20);
    const double d = 1. / det;
    inverse[0] = keepWhereNonZero(det, (m11 * m22 - m12 * m21) * d);
    inverse[1] = keepWhereNonZero(det, (m02 * m21 - m01 * m22) * d);
    inverse[2] = keepWhereNonZero(det, (m01 * m12 - m02 * m11) * d);
    inverse[3] = keepWhereNonZero(det, (m12 * m20 - m10 * m22) * d);
    inverse[4] = keepWhereNonZero(det, (m00 * m22 - m02 * m20) * d);
    inverse[5] = keepWhereNonZero(det, (m02 * m10 - m00 * m12) * d);
    inverse[6] = keepWhereNonZero(det, (m10 * m21 - m11 * m20) * d);
    inverse[7] = keepWhereNonZero(det, (m01 * m20 - m00 * m21) * d);
    inverse[8] = keepWhereNonZero(det, (m00 * m11 - m01 * m10) * d);
}

// a = u * t for a row u of three values and a row-major 3x3 matrix t, each
// a[c] summed from +0 left to right as the cv::Mat product does (a sum of
// negative zeros comes out as +0).
inline void rowTimesMatrix3x3(const double u[3], const double t[9], double a[3]) {
    for (int c = 0; c < 3; ++c) a[c] = 0.0 + u[0] * t[c] + u[1] * t[3 + c] + u[2] * t[6 + c];
}

inline void rowTimesLuInverse3x3(const double m[9], const double u[3], double a[3]) {
    double inverse[9];
    luInverse3x3(m, inverse);
    rowTimesMatrix3x3(u, inverse, a);
}

// The guided filters' solve, one for every filter of both engines: their
// systems are symmetric, given by the entries 00, 01, 02, 11, 12, 22
// (s[0..5]). symmetricInverse3x3 gives the same entries of its inverse as
// luInverse3x3 (each cofactor and the determinant formed from the same
// products in the same order, so the same bits), computing six cofactors
// instead of nine; inverse may not alias s.
inline void symmetricInverse3x3(const double s[6], double inverse[6]) {
    using solve3x3_detail::keepWhereNonZero;
    const double s00 = s[0], s01 = s[1], s02 = s[2], s11 = s[3], s12 = s[4], s22 = s[5];
    const double det = s00 * (s11 * s22 - s12 * s12) - s01 * (s01 * s22 - s12 * s02) +
                       s02 * (s01 * s12 - s11 * s02);
    const double d = 1. / det;
    inverse[0] = keepWhereNonZero(det, (s11 * s22 - s12 * s12) * d);
    inverse[1] = keepWhereNonZero(det, (s02 * s12 - s01 * s22) * d);
    inverse[2] = keepWhereNonZero(det, (s01 * s12 - s02 * s11) * d);
    inverse[3] = keepWhereNonZero(det, (s00 * s22 - s02 * s02) * d);
    inverse[4] = keepWhereNonZero(det, (s02 * s01 - s00 * s12) * d);
    inverse[5] = keepWhereNonZero(det, (s00 * s11 - s01 * s01) * d);
}

// a = u * inverse for that symmetric inverse, summed from +0 as
// rowTimesMatrix3x3 sums it.
inline void rowTimesSymmetric3x3(const double u[3], const double inverse[6], double a[3]) {
    a[0] = 0.0 + u[0] * inverse[0] + u[1] * inverse[1] + u[2] * inverse[2];
    a[1] = 0.0 + u[0] * inverse[1] + u[1] * inverse[3] + u[2] * inverse[4];
    a[2] = 0.0 + u[0] * inverse[2] + u[1] * inverse[4] + u[2] * inverse[5];
}

}  // namespace nightdehaze::detail
