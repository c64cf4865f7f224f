#pragma once

namespace nightdehaze::detail {

// The least-squares fit of an input p to a three-channel guide over one
// window, as both colour-guided filters form it from the window's sums divided
// by its weight n: guide channels in the order 2, 1, 0, means m = {m2, m1, m0},
// mp the mean of p. Every quotient and product rounds on its own, in the order
// written below; solve with solve3x3.hpp.

// S = covariance of the guide plus eps on the diagonal, symmetric, as its
// entries 00, 01, 02, 11, 12, 22 (symmetricInverse3x3's order), of the
// channels 2, 1, 0: Sxy = sums[xy] / n - mx * my, with sums of the channel
// products in the order 22, 21, 20, 11, 10, 00.
inline void guideSystem3x3(const double m[3], const double productSums[6], double n, double eps,
                           double S[6]) {
    const double c22 = productSums[0] / n - m[0] * m[0];
    const double c21 = productSums[1] / n - m[0] * m[1];
    const double c20 = productSums[2] / n - m[0] * m[2];
    const double c11 = productSums[3] / n - m[1] * m[1];
    const double c10 = productSums[4] / n - m[1] * m[2];
    const double c00 = productSums[5] / n - m[2] * m[2];
    S[0] = c22 + eps, S[1] = c21, S[2] = c20;
    S[3] = c11 + eps, S[4] = c10, S[5] = c00 + eps;
}

// u = covariance of each guide channel with p: u[c] = sums[c] / n - m[c] * mp,
// with the sums of the guide-times-p products in the order 2, 1, 0.
inline void guideInputCovariance(const double m[3], double mp, const double inputProductSums[3], double n,
                                 double u[3]) {
    for (int c = 0; c < 3; ++c) u[c] = inputProductSums[c] / n - m[c] * mp;
}

// The offset b of the fitted model a2*I2 + a1*I1 + a0*I0 + b, a = {a2, a1, a0}.
inline double modelOffset(double mp, const double a[3], const double m[3]) {
    return ((mp - a[0] * m[0]) - a[1] * m[1]) - a[2] * m[2];
}

}  // namespace nightdehaze::detail
