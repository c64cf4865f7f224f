#include "core/filters/solve3x3.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

// The symmetric solve of S (a symmetric 3x3 CV_64F matrix) and u (1x3)
// against S.inv(DECOMP_LU) and u * that inverse as the library computes
// them, bit for bit.
void expectSameAsLibrary(const cv::Mat& S, const cv::Mat& u) {
    std::ostringstream matrices;
    matrices << "S = " << S << ", u = " << u;
    SCOPED_TRACE(matrices.str());
    const int entries[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    double s[6], inverse[6], a[3];
    for (int k = 0; k < 6; ++k) s[k] = S.at<double>(entries[k][0], entries[k][1]);
    symmetricInverse3x3(s, inverse);
    rowTimesSymmetric3x3(u.ptr<double>(), inverse, a);
    const cv::Mat expected = S.inv(cv::DECOMP_LU);
    cv::Mat wanted(1, 6, CV_64F);
    for (int k = 0; k < 6; ++k) wanted.at<double>(0, k) = expected.at<double>(entries[k][0], entries[k][1]);
    EXPECT_BIT_EQUAL(cv::Mat(1, 6, CV_64F, inverse), wanted);
    EXPECT_BIT_EQUAL(cv::Mat(1, 3, CV_64F, a), cv::Mat(u * expected));
}

}  // namespace

// Covariance-like systems v*v' + w*w' (rank 2) plus a diagonal from 1 down
// to 1e-16, and without it: the determinant is minute and every rounding
// shows in the result.
TEST(SymmetricInverse3x3, MatchesTheLibraryOnCovariances) {
    cv::RNG rng(31);
    for (int n = 0; n < 2000; ++n) {
        cv::Mat v(3, 1, CV_64F), w(3, 1, CV_64F), u(1, 3, CV_64F);
        rng.fill(v, cv::RNG::UNIFORM, -1.0, 1.0);
        rng.fill(w, cv::RNG::UNIFORM, -1.0, 1.0);
        rng.fill(u, cv::RNG::UNIFORM, -1.0, 1.0);
        const double eps = std::pow(10.0, -rng.uniform(0, 17));
        expectSameAsLibrary(v * v.t() + w * w.t() + eps * cv::Mat::eye(3, 3, CV_64F), u);
        expectSameAsLibrary(v * v.t() + w * w.t(), u);
        cv::Mat S(3, 3, CV_64F);
        rng.fill(S, cv::RNG::UNIFORM, -1000.0, 1000.0);
        expectSameAsLibrary(S + S.t(), u);
    }
}

// Singular systems give zeros (the library sums the products from +0, so a
// negative u gives +0, not -0); non-finite entries give the library's values.
TEST(SymmetricInverse3x3, SingularAndNonFiniteSystemsGiveTheLibrarysValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const cv::Mat systems[] = {
        cv::Mat::zeros(3, 3, CV_64F),
        cv::Mat::ones(3, 3, CV_64F),
        (cv::Mat_<double>(3, 3) << 0.2, 0.2, 0.1, 0.2, 0.2, 0.1, 0.1, 0.1, 0.4),
        (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 0),
        cv::Mat::eye(3, 3, CV_64F) * 1e-110,  // det underflows to 0
        (cv::Mat_<double>(3, 3) << nan, 0, 0, 0, 1, 0, 0, 0, 1),
        (cv::Mat_<double>(3, 3) << inf, 0, 0, 0, 1, 0, 0, 0, 1),
        (cv::Mat_<double>(3, 3) << 1e200, 1, 0, 1, 1e200, 0, 0, 0, 1),
        cv::Mat::eye(3, 3, CV_64F),
    };
    const cv::Mat rows[] = {
        (cv::Mat_<double>(1, 3) << 0.3, -0.2, 0.1),
        (cv::Mat_<double>(1, 3) << -0.3, -0.2, -0.1),
        (cv::Mat_<double>(1, 3) << -0.0, -0.0, -0.0),
        (cv::Mat_<double>(1, 3) << inf, 1.0, -1.0),
    };
    for (const cv::Mat& S : systems)
        for (const cv::Mat& u : rows) expectSameAsLibrary(S, u);
    double zero[6] = {0, 0, 0, 0, 0, 0}, inverse[6], a[3];
    const double negative[3] = {-1, -2, -3};
    symmetricInverse3x3(zero, inverse);
    rowTimesSymmetric3x3(negative, inverse, a);
    EXPECT_FALSE(std::signbit(a[0]));
}
