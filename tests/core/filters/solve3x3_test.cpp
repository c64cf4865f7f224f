#include "core/filters/solve3x3.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

// u * S.inv(DECOMP_LU) as the matrix library computes it.
cv::Mat libraryProduct(const cv::Mat& S, const cv::Mat& u) {
    cv::Mat Sinv = S.inv(cv::DECOMP_LU);
    return u * Sinv;
}

cv::Mat helperProduct(const cv::Mat& S, const cv::Mat& u) {
    cv::Mat a(1, 3, CV_64F);
    rowTimesLuInverse3x3(S.ptr<double>(), u.ptr<double>(), a.ptr<double>());
    return a;
}

void expectSameAsLibrary(const cv::Mat& S, const cv::Mat& u) {
    std::ostringstream matrices;
    matrices << "S = " << S << ", u = " << u;
    SCOPED_TRACE(matrices.str());
    EXPECT_BIT_EQUAL(helperProduct(S, u), libraryProduct(S, u));
}

}  // namespace

TEST(RowTimesLuInverse3x3, MatchesLibraryOnRandomMatrices) {
    cv::RNG rng(7);
    for (int n = 0; n < 2000; ++n) {
        cv::Mat S(3, 3, CV_64F), u(1, 3, CV_64F);
        rng.fill(S, cv::RNG::UNIFORM, -1.0, 1.0);
        rng.fill(u, cv::RNG::UNIFORM, -1.0, 1.0);
        expectSameAsLibrary(S, u);
    }
}

TEST(RowTimesLuInverse3x3, MatchesLibraryOnNearlySingularCovariances) {
    // Covariance-like matrices v*v' + w*w' (rank 2) plus a tiny diagonal: the
    // determinant is minute and every rounding shows in the result.
    cv::RNG rng(8);
    for (int n = 0; n < 1000; ++n) {
        cv::Mat v(3, 1, CV_64F), w(3, 1, CV_64F), u(1, 3, CV_64F);
        rng.fill(v, cv::RNG::UNIFORM, 0.0, 1.0);
        rng.fill(w, cv::RNG::UNIFORM, 0.0, 1.0);
        rng.fill(u, cv::RNG::UNIFORM, -1e-3, 1e-3);
        const double tiny = std::pow(10.0, -rng.uniform(6, 16));
        cv::Mat S = v * v.t() + w * w.t() + tiny * cv::Mat::eye(3, 3, CV_64F);
        expectSameAsLibrary(S, u);
    }
}

TEST(RowTimesLuInverse3x3, SingularMatricesGiveZerosLikeLibrary) {
    const double inf = std::numeric_limits<double>::infinity();
    const cv::Mat singular[] = {
        cv::Mat::zeros(3, 3, CV_64F),
        (cv::Mat_<double>(3, 3) << 0.2, 0.2, 0.1, 0.2, 0.2, 0.1, 0.1, 0.1, 0.4),
        (cv::Mat_<double>(3, 3) << 1, 2, 3, 2, 4, 6, 0.5, 1, 1.5),
        (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 0),
        cv::Mat::eye(3, 3, CV_64F) * 1e-110,  // det underflows to 0
    };
    const cv::Mat rows[] = {
        (cv::Mat_<double>(1, 3) << 0.3, -0.2, 0.1),
        (cv::Mat_<double>(1, 3) << -0.3, -0.2, -0.1),
        (cv::Mat_<double>(1, 3) << 0.0, -0.0, 0.0),
        (cv::Mat_<double>(1, 3) << inf, 1.0, -1.0),
    };
    for (const cv::Mat& S : singular) {
        ASSERT_EQ(cv::countNonZero(S.inv(cv::DECOMP_LU)), 0) << S;
        for (const cv::Mat& u : rows) expectSameAsLibrary(S, u);
    }
    // The library sums the products from +0: negative u times zeros is +0, not -0.
    const cv::Mat fromNegative = helperProduct(singular[0], rows[1]);
    EXPECT_FALSE(std::signbit(fromNegative.at<double>(0, 0)));
}

TEST(RowTimesLuInverse3x3, NonFiniteMatricesGiveTheLibrarysValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const cv::Mat u = (cv::Mat_<double>(1, 3) << 0.3, -0.2, 0.1);
    expectSameAsLibrary((cv::Mat_<double>(3, 3) << nan, 0, 0, 0, 1, 0, 0, 0, 1), u);
    expectSameAsLibrary((cv::Mat_<double>(3, 3) << inf, 0, 0, 0, 1, 0, 0, 0, 1), u);
    expectSameAsLibrary((cv::Mat_<double>(3, 3) << 1e200, 1, 0, 1, 1e200, 0, 0, 0, 1), u);
}

// The two steps on their own, as the non-local filter uses them: bit for bit
// Mat::inv(DECOMP_LU), then the Mat product.
TEST(LuInverse3x3, InverseAndRowProductMatchOpenCvSeparately) {
    cv::RNG rng(123);
    auto check = [](const cv::Mat& S, const cv::Mat& u) {
        double inverse[9], a[3];
        luInverse3x3(S.ptr<double>(), inverse);
        rowTimesMatrix3x3(u.ptr<double>(), inverse, a);
        const cv::Mat expectedInverse = S.inv(cv::DECOMP_LU);
        const cv::Mat expected = u * expectedInverse;
        EXPECT_BIT_EQUAL(cv::Mat(3, 3, CV_64FC1, inverse), expectedInverse);
        EXPECT_BIT_EQUAL(cv::Mat(1, 3, CV_64FC1, a), expected);
    };
    for (int n = 0; n < 2000; ++n) {
        cv::Mat S(3, 3, CV_64FC1), u(1, 3, CV_64FC1);
        rng.fill(S, cv::RNG::UNIFORM, -1000, 1000);
        rng.fill(u, cv::RNG::UNIFORM, -1000, 1000);
        check(S, u);
        // Nearly singular: third row almost the sum of the first two.
        S.row(2) = S.row(0) + S.row(1) + cv::Scalar::all(rng.uniform(-1e-9, 1e-9));
        check(S, u);
        // Singular: a repeated row, and the all-zero matrix.
        S.row(0).copyTo(S.row(1));
        check(S, u);
    }
    // Signed zeros: OpenCV's product starts its sums from +0.0.
    check(cv::Mat::zeros(3, 3, CV_64FC1), (cv::Mat_<double>(1, 3) << -1, -2, -3));
    check(cv::Mat::eye(3, 3, CV_64FC1), (cv::Mat_<double>(1, 3) << -0.0, -0.0, -0.0));
}

// The guided filters' symmetric solve against the library on symmetric
// systems: covariances (nearly singular ones included), singular ones and
// non-finite entries, inverse and row product bit for bit.
TEST(SymmetricInverse3x3, MatchesTheLibraryOnSymmetricSystems) {
    cv::RNG rng(31);
    const auto check = [](const cv::Mat& S, const cv::Mat& u) {
        const double s[6] = {S.at<double>(0, 0), S.at<double>(0, 1), S.at<double>(0, 2),
                             S.at<double>(1, 1), S.at<double>(1, 2), S.at<double>(2, 2)};
        double inverse[6], a[3];
        symmetricInverse3x3(s, inverse);
        rowTimesSymmetric3x3(u.ptr<double>(), inverse, a);
        const cv::Mat expected = S.inv(cv::DECOMP_LU);
        const int entries[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
        cv::Mat got(1, 6, CV_64F, inverse), wanted(1, 6, CV_64F);
        for (int k = 0; k < 6; ++k) wanted.at<double>(0, k) = expected.at<double>(entries[k][0], entries[k][1]);
        std::ostringstream system;
        system << "S = " << S;
        SCOPED_TRACE(system.str());
        EXPECT_BIT_EQUAL(got, wanted);
        EXPECT_BIT_EQUAL(cv::Mat(1, 3, CV_64F, a), cv::Mat(u * expected));
    };
    for (int n = 0; n < 2000; ++n) {
        cv::Mat v(3, 1, CV_64F), w(3, 1, CV_64F), u(1, 3, CV_64F);
        rng.fill(v, cv::RNG::UNIFORM, -1.0, 1.0);
        rng.fill(w, cv::RNG::UNIFORM, -1.0, 1.0);
        rng.fill(u, cv::RNG::UNIFORM, -1.0, 1.0);
        const double eps = std::pow(10.0, -rng.uniform(0, 17));
        check(v * v.t() + w * w.t() + eps * cv::Mat::eye(3, 3, CV_64F), u);
        check(v * v.t() + w * w.t(), u);
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const cv::Mat u = (cv::Mat_<double>(1, 3) << -0.3, 0.2, -0.1);
    check(cv::Mat::zeros(3, 3, CV_64F), u);
    check(cv::Mat::ones(3, 3, CV_64F), u);
    check((cv::Mat_<double>(3, 3) << nan, 0, 0, 0, 1, 0, 0, 0, 1), u);
    check((cv::Mat_<double>(3, 3) << inf, 0, 0, 0, 1, 0, 0, 0, 1), u);
    check((cv::Mat_<double>(3, 3) << 1e200, 1, 0, 1, 1e200, 0, 0, 0, 1), u);
    check(cv::Mat::eye(3, 3, CV_64F) * 1e-110, u);
}
