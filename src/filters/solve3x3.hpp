#pragma once

// a = u * inverse(S) for a row u of three values and a 3x3 matrix S (row-major
// m[0..8]), rounded exactly as cv::Mat::inv(DECOMP_LU) of a 3x3 CV_64F matrix
// followed by the 1x3-by-3x3 matrix product: the inverse is the cofactor matrix
// times 1/det, the zero matrix when det is exactly 0, and each a[c] is summed
// from +0 left to right, 0 + u[0]*T[0][c] + u[1]*T[1][c] + u[2]*T[2][c] (so a
// singular system gives +0, or NaN where u is not finite). No branches, so a
// loop over pixels that calls it vectorises. a may alias neither m nor u.
inline void rowTimesLuInverse3x3(const double m[9], const double u[3], double a[3]) {
    const double m00 = m[0], m01 = m[1], m02 = m[2];
    const double m10 = m[3], m11 = m[4], m12 = m[5];
    const double m20 = m[6], m21 = m[7], m22 = m[8];
    const double det = m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20) +
                       m02 * (m10 * m21 - m11 * m20);
    const double d = 1. / det;
    const double cofactorTimesD[9] = {
        (m11 * m22 - m12 * m21) * d, (m02 * m21 - m01 * m22) * d, (m01 * m12 - m02 * m11) * d,
        (m12 * m20 - m10 * m22) * d, (m00 * m22 - m02 * m20) * d, (m02 * m10 - m00 * m12) * d,
        (m10 * m21 - m11 * m20) * d, (m01 * m20 - m00 * m21) * d, (m00 * m11 - m01 * m10) * d};
    const bool invertible = det != 0.0;
    double t[9];
    for (int k = 0; k < 9; ++k) t[k] = invertible ? cofactorTimesD[k] : 0.0;
    for (int c = 0; c < 3; ++c) a[c] = 0.0 + u[0] * t[c] + u[1] * t[3 + c] + u[2] * t[6 + c];
}
