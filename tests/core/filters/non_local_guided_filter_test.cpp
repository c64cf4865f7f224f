#include "core/filters/non_local_guided_filter.hpp"
#include "reference/non_local_guided_filter_literal.hpp"
#include "test_images.hpp"

#include <opencv2/core/utility.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

using testing_support::randomImage;

namespace {

// Guide values with fractions, so that rounding to whole grey levels in the
// patch distances differs from the values used in the statistics.
cv::Mat randomGuide(int rows, int cols, std::uint64_t seed) {
    return randomImage(rows, cols, CV_64FC3, 0, 255.99, seed);
}

cv::Mat fast(int r, int s, const cv::Mat& I, const cv::Mat& p, double sigma, double eps) {
    cv::Mat q;
    nonLocalGuidedFilter(r, s, q, I, p, sigma, eps);
    return q;
}

cv::Mat reference(int r, int s, const cv::Mat& I, const cv::Mat& p, double sigma, double eps) {
    cv::Mat q;
    literal::nonLocalGuidedFilter(r, s, q, I, p, sigma, eps);
    return q;
}

struct Case {
    cv::Size size;
    int r, s;
    double sigma, eps;
};

// Mean over the clipped window of radius s, summed in row-major order.
cv::Mat windowMeans(const cv::Mat& x, int s) {
    cv::Mat out(x.size(), CV_64FC1);
    for (int i = 0; i < x.rows; ++i)
        for (int j = 0; j < x.cols; ++j) {
            double sum = 0;
            int count = 0;
            for (int k = std::max(i - s, 0); k <= std::min(i + s, x.rows - 1); ++k)
                for (int l = std::max(j - s, 0); l <= std::min(j + s, x.cols - 1); ++l, ++count)
                    sum += x.at<double>(k, l);
            out.at<double>(i, j) = sum / count;
        }
    return out;
}

using testing_support::ThreadCount;

}  // namespace

TEST(NonLocalGuidedFilter, MatchesLiteralOnRandomImages) {
    const std::vector<Case> cases = {
        {{1, 1}, 1, 0, 25, 100},  {{1, 1}, 2, 3, 25, 100}, {{3, 2}, 1, 1, 25, 100},
        {{3, 2}, 2, 16, 3, 100},  {{7, 5}, 1, 2, 3, 100},  {{7, 5}, 2, 5, 25, 1},
        {{13, 9}, 1, 4, 3, 10},   {{13, 9}, 2, 1, 25, 100}, {{20, 17}, 1, 16, 25, 100},
        {{20, 17}, 1, 16, 3, 100}, {{20, 17}, 2, 7, 3, 0.5}, {{20, 17}, 1, 0, 3, 100},
        {{290, 3}, 1, 16, 3, 100}, {{300, 4}, 2, 3, 25, 100}};
    std::uint64_t seed = 100;
    for (const Case& c : cases) {
        const cv::Mat I = randomGuide(c.size.height, c.size.width, seed++);
        const cv::Mat p = randomImage(c.size.height, c.size.width, CV_64FC1, 0, 255, seed++);
        SCOPED_TRACE(testing::Message() << c.size << " r=" << c.r << " s=" << c.s << " sigma=" << c.sigma
                                        << " eps=" << c.eps);
        EXPECT_BIT_EQUAL(fast(c.r, c.s, I, p, c.sigma, c.eps), reference(c.r, c.s, I, p, c.sigma, c.eps));
    }
}

TEST(NonLocalGuidedFilter, MatchesLiteralOnPhotosAndOtherDepths) {
    const cv::Mat photo = testing_support::randomPhoto(24, 31, 5);
    const cv::Mat p8 = randomImage(24, 31, CV_8UC1, 0, 256, 6);
    EXPECT_BIT_EQUAL(fast(1, 6, photo, p8, 25, 100), reference(1, 6, photo, p8, 25, 100));
    EXPECT_BIT_EQUAL(fast(1, 6, photo, p8, 3, 100), reference(1, 6, photo, p8, 3, 100));
    cv::Mat guide32;
    randomGuide(11, 14, 8).convertTo(guide32, CV_32FC3);
    const cv::Mat p32 = randomImage(11, 14, CV_32FC1, -50, 300, 9);
    EXPECT_BIT_EQUAL(fast(1, 3, guide32, p32, 25, 100), reference(1, 3, guide32, p32, 25, 100));
}

TEST(NonLocalGuidedFilter, WidePatchesSumDistancesInDoubleExactly) {
    // r = 5 overflows float's exact integers; r = 6 also outgrows the table.
    const cv::Mat I = randomGuide(9, 12, 21);
    const cv::Mat p = randomImage(9, 12, CV_64FC1, 0, 255, 22);
    for (int r : {4, 5, 6}) {
        SCOPED_TRACE(r);
        EXPECT_BIT_EQUAL(fast(r, 3, I, p, 3, 100), reference(r, 3, I, p, 3, 100));
    }
}

TEST(NonLocalGuidedFilter, WeightsKeptBetweenSweepsChangeNothing) {
    // Many tiles, weights both 1 and below 1; with no memory the second sweep
    // recomputes every weight, with a little it reads back some tiles.
    const cv::Mat I = testing_support::randomPhoto(30, 140, 25);
    const cv::Mat p = randomImage(30, 140, CV_64FC1, 0, 255, 26);
    const cv::Mat expected = reference(1, 5, I, p, 25, 100);
    for (std::int64_t bytes : {std::int64_t(0), std::int64_t(20000), std::int64_t(1) << 30}) {
        SCOPED_TRACE(bytes);
        std::vector<cv::Mat> outputs;
        nonLocalGuidedFilterMany(1, 5, outputs, I, {p}, 25, 100, bytes);
        EXPECT_BIT_EQUAL(outputs.at(0), expected);
    }
}

TEST(NonLocalGuidedFilter, DistanceOnTheNoiseFloorWeighsOne) {
    // Two flat halves whose colours differ by (11, 5, 2): a patch wholly in
    // each half is 9 * 150 = 1350 apart, which for sigma = 5 is exactly the
    // noise floor (1350 / 9 / 3 - 2 * 25 = 0); (11, 5, 3) lies just above it.
    for (double third : {2.0, 3.0}) {
        cv::Mat I(8, 12, CV_64FC3, cv::Scalar(100, 100, 100));
        I.colRange(6, 12).setTo(cv::Scalar(111, 105, 100 + third));
        const cv::Mat p = randomImage(8, 12, CV_64FC1, 0, 255, 27);
        SCOPED_TRACE(third);
        EXPECT_BIT_EQUAL(fast(1, 11, I, p, 5, 100), reference(1, 11, I, p, 5, 100));
    }
}

TEST(NonLocalGuidedFilter, SingularAndNearSingularSystems) {
    // Equal guide channels make every 3x3 system singular when eps is 0, and
    // nearly singular for a tiny eps.
    cv::Mat grey = randomImage(10, 11, CV_64FC1, 0, 255, 31), I;
    cv::merge(std::vector<cv::Mat>{grey, grey, grey}, I);
    const cv::Mat p = randomImage(10, 11, CV_64FC1, 0, 255, 32);
    for (double eps : {0.0, 1e-12, 1e-3}) {
        SCOPED_TRACE(eps);
        EXPECT_BIT_EQUAL(fast(1, 3, I, p, 3, eps), reference(1, 3, I, p, 3, eps));
    }
}

TEST(NonLocalGuidedFilter, ZeroSearchRadiusGivesTheInputBack) {
    const cv::Mat I = randomGuide(9, 13, 41);
    const cv::Mat p = randomImage(9, 13, CV_64FC1, 0, 255, 42);
    EXPECT_BIT_EQUAL(fast(1, 0, I, p, 25, 100), p);
    EXPECT_BIT_EQUAL(fast(2, 0, I, p, 3, 100), p);
}

TEST(NonLocalGuidedFilter, ConstantGuideAveragesTheWindowMeans) {
    // Every weight is 1 and the model is the window mean of p, so the output
    // is the window mean of the window means.
    const cv::Mat I(17, 20, CV_64FC3, cv::Scalar(3, 3, 3));
    const cv::Mat p = randomImage(17, 20, CV_64FC1, 0, 255, 51);
    const int s = 4;
    const cv::Mat q = fast(1, s, I, p, 25, 100);
    EXPECT_LT(cv::norm(q, windowMeans(windowMeans(p, s), s), cv::NORM_INF), 1e-9);
    EXPECT_BIT_EQUAL(q, reference(1, s, I, p, 25, 100));
}

TEST(NonLocalGuidedFilter, SameBitsWithOneThreadAndMany) {
    const cv::Mat I = testing_support::randomPhoto(70, 300, 61);
    const cv::Mat p = randomImage(70, 300, CV_64FC1, 0, 255, 62);
    cv::Mat single;
    {
        ThreadCount one(1);
        single = fast(1, 8, I, p, 3, 100);
    }
    ThreadCount all(cv::getNumberOfCPUs() + 2);
    EXPECT_BIT_EQUAL(fast(1, 8, I, p, 3, 100), single);
}

TEST(NonLocalGuidedFilter, ManyInputsEqualSeparateCalls) {
    const cv::Mat I = randomGuide(19, 23, 71);
    std::vector<cv::Mat> inputs = {randomImage(19, 23, CV_64FC1, 0, 255, 72),
                                   randomImage(19, 23, CV_8UC1, 0, 256, 73),
                                   randomImage(19, 23, CV_32FC1, 0, 255, 74),
                                   randomImage(19, 23, CV_64FC1, -1, 1, 75),
                                   randomImage(19, 23, CV_64FC1, 0, 255, 76)};
    std::vector<cv::Mat> expected;
    for (const cv::Mat& p : inputs) expected.push_back(fast(1, 5, I, p, 3, 100));
    std::vector<cv::Mat> outputs = inputs;  // outputs may be the inputs
    nonLocalGuidedFilterMany(1, 5, outputs, I, outputs, 3, 100);
    ASSERT_EQ(outputs.size(), inputs.size());
    for (size_t t = 0; t < inputs.size(); ++t) EXPECT_BIT_EQUAL(outputs[t], expected[t]);
}

TEST(NonLocalGuidedFilter, ManyInputsOverManyBandsMatchLiteral) {
    // Thirteen bands of tile rows on one thread, so that bands are smoothed
    // while later ones are still being modelled; one to four inputs give every
    // width of the last block of weighted sums; with no memory for the weights
    // and with plenty.
    ThreadCount one(1);
    const cv::Mat I = testing_support::randomPhoto(100, 45, 81);
    std::vector<cv::Mat> inputs;
    std::vector<cv::Mat> expected;
    for (int t = 0; t < 4; ++t) {
        inputs.push_back(randomImage(100, 45, CV_64FC1, 0, 255, 82 + t));
        expected.push_back(reference(1, 5, I, inputs.back(), 25, 100));
    }
    for (size_t count = 1; count <= inputs.size(); ++count) {
        const std::vector<cv::Mat> some(inputs.begin(), inputs.begin() + count);
        for (std::int64_t bytes : {std::int64_t(0), std::int64_t(1) << 30}) {
            SCOPED_TRACE(testing::Message() << count << " inputs, " << bytes << " bytes");
            std::vector<cv::Mat> outputs;
            nonLocalGuidedFilterMany(1, 5, outputs, I, some, 25, 100, bytes);
            ASSERT_EQ(outputs.size(), count);
            for (size_t t = 0; t < count; ++t) EXPECT_BIT_EQUAL(outputs[t], expected[t]);
        }
    }
}

TEST(NonLocalGuidedFilter, LeavesArgumentsAloneAndMayOverwriteItsSource) {
    const cv::Mat I = testing_support::randomPhoto(12, 15, 81);
    cv::Mat p = randomImage(12, 15, CV_8UC1, 0, 256, 82);
    const cv::Mat guideBefore = I.clone(), inputBefore = p.clone();
    const cv::Mat q = fast(1, 4, I, p, 25, 100);
    EXPECT_EQ(q.type(), CV_64FC1);
    EXPECT_BIT_EQUAL(I, guideBefore);
    EXPECT_BIT_EQUAL(p, inputBefore);
    nonLocalGuidedFilter(1, 4, p, I, p, 25, 100);
    EXPECT_BIT_EQUAL(p, q);
}

TEST(NonLocalGuidedFilter, RejectsInvalidArguments) {
    const cv::Mat I = randomGuide(5, 6, 91);
    const cv::Mat p = randomImage(5, 6, CV_64FC1, 0, 255, 92);
    cv::Mat q = cv::Mat::ones(2, 2, CV_64FC1);
    const cv::Mat before = q.clone();
    EXPECT_THROW(nonLocalGuidedFilter(0, 2, q, I, p, 25, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, -1, q, I, p, 25, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, I, p, 0, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, I, p, -25, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, I, p, std::nan(""), 100), std::invalid_argument);
    cv::Mat twoChannels;
    cv::merge(std::vector<cv::Mat>{p, p}, twoChannels);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, twoChannels, p, 25, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, cv::Mat(), cv::Mat(), 25, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, I, I, 25, 100), std::invalid_argument);
    EXPECT_THROW(nonLocalGuidedFilter(1, 2, q, I, p.rowRange(0, 4), 25, 100), std::invalid_argument);
    std::vector<cv::Mat> outputs;
    EXPECT_THROW(nonLocalGuidedFilterMany(1, 2, outputs, I, {p, p.colRange(0, 3)}, 25, 100),
                 std::invalid_argument);
    EXPECT_BIT_EQUAL(q, before);
}
