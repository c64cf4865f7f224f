#pragma once
#include <cstdint>
#include <cstring>

namespace nightdehaze::detail {

// The guided filters' solve, one for every filter of both engines: a = u *
// inverse(S) for a row u of three values and a symmetric 3x3 matrix S,
// rounded exactly as cv::Mat::inv with DECOMP_LU of the 3x3 CV_64F matrix
// followed by the 1x3-by-3x3 matrix product: the inverse is the cofactor
// matrix times 1/det, the zero matrix when det is exactly 0, and each a[c]
// is summed from +0 left to right (a singular system gives +0, or NaN where
// u is not finite). No allocation and no branches, so a loop over pixels
// that calls it vectorises. The inverse is its own step, for filters that
// reuse one for several inputs.

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

// The inverse of S given by its entries 00, 01, 02, 11, 12, 22 (s[0..5]),
// as the same entries of the inverse: each cofactor and the determinant
// formed from the products cv::Mat::inv forms, in its order, so the same
// bits, with six cofactors instead of nine. inverse may not alias s.
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

// a = u * inverse for that symmetric inverse, each a[c] summed from +0 left
// to right as the cv::Mat product does (a sum of negative zeros is +0).
inline void rowTimesSymmetric3x3(const double u[3], const double inverse[6], double a[3]) {
    a[0] = 0.0 + u[0] * inverse[0] + u[1] * inverse[1] + u[2] * inverse[2];
    a[1] = 0.0 + u[0] * inverse[1] + u[1] * inverse[3] + u[2] * inverse[4];
    a[2] = 0.0 + u[0] * inverse[2] + u[1] * inverse[4] + u[2] * inverse[5];
}

}  // namespace nightdehaze::detail
