#include "nightdehaze/nightdehaze.hpp"
#include "reference/guided_filter_gray_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>

using namespace nightdehaze;

using testing_support::randomImage;

namespace {
void expectSameAsLiteral(int r, const cv::Mat& I, const cv::Mat& p, double eps) {
    cv::Mat fast, slow;
    guidedFilterGray(r, fast, I, p, eps);
    literal::guidedFilterGray(r, slow, I, p, eps);
    EXPECT_BIT_EQUAL(fast, slow);
}
}  // namespace

TEST(GuidedFilterGray, SelfGuidedMatchesLiteralOnRandomPlanes) {
    const int sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {21, 21}, {37, 53}, {80, 61}};
    std::uint64_t seed = 100;
    for (auto& s : sizes)
        for (int r : {0, 1, 5, 10}) {
            cv::Mat plane = randomImage(s[0], s[1], CV_64F, 0, 1, seed++);
            SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " r=" << r);
            expectSameAsLiteral(r, plane, plane, 0.01);
            cv::Mat out = plane.clone(), slow;
            guidedFilterGray(r, out, out, out, 0.01);  // one matrix three times
            literal::guidedFilterGray(r, slow, plane, plane, 0.01);
            EXPECT_BIT_EQUAL(out, slow);
        }
}

TEST(GuidedFilterGray, SeparateGuideAndEightBitInputMatchLiteral) {
    cv::Mat guide = randomImage(45, 38, CV_64F, 0, 1, 3);
    cv::Mat input = randomImage(45, 38, CV_8U, 0, 256, 4);
    expectSameAsLiteral(4, guide, input, 0.01);
    expectSameAsLiteral(4, input, guide, 1e-3);
}

TEST(GuidedFilterGray, ZeroEpsOnFlatPlanesGivesNoUndefinedValues) {
    cv::Mat zeros = cv::Mat::zeros(30, 30, CV_64F), q;
    guidedFilterGray(3, q, zeros, zeros, 0.0);
    EXPECT_EQ(cv::countNonZero(q != 0.0), 0);
    cv::Mat flat(30, 30, CV_64F, cv::Scalar(0.25));
    expectSameAsLiteral(3, flat, flat, 0.0);
    cv::Mat mixed = flat.clone();
    mixed(cv::Rect(0, 0, 10, 30)).setTo(0.75);
    expectSameAsLiteral(2, mixed, mixed, 0.0);
    guidedFilterGray(2, q, mixed, mixed, 0.0);
    EXPECT_TRUE(cv::checkRange(q));
}

TEST(GuidedFilterGray, KeepsEdgesAndFlattensNoise) {
    cv::Mat edge(40, 40, CV_64F, cv::Scalar(0.1));
    edge(cv::Rect(20, 0, 20, 40)).setTo(0.9);
    cv::Mat q;
    guidedFilterGray(5, q, edge, edge, 0.01);
    EXPECT_NEAR(q.at<double>(20, 10), 0.1, 5e-3);
    EXPECT_NEAR(q.at<double>(20, 30), 0.9, 5e-3);
    EXPECT_GT(q.at<double>(20, 20) - q.at<double>(20, 19), 0.5);
}

TEST(GuidedFilterGray, SameBitsWithOneThreadAndMany) {
    cv::Mat plane = randomImage(200, 300, CV_64F, 0, 1, 9), many, one;
    guidedFilterGray(10, many, plane, plane, 0.01);
    {
        testing_support::ThreadCount single(1);
        guidedFilterGray(10, one, plane, plane, 0.01);
    }
    EXPECT_BIT_EQUAL(many, one);
}

TEST(GuidedFilterGray, RejectsMismatchedArguments) {
    cv::Mat q;
    EXPECT_THROW(guidedFilterGray(-1, q, cv::Mat::ones(4, 4, CV_64F), cv::Mat::ones(4, 4, CV_64F), 0.1),
                 std::invalid_argument);
    EXPECT_THROW(guidedFilterGray(1, q, cv::Mat::ones(4, 4, CV_64FC3), cv::Mat::ones(4, 4, CV_64F), 0.1),
                 std::invalid_argument);
    EXPECT_THROW(guidedFilterGray(1, q, cv::Mat::ones(4, 5, CV_64F), cv::Mat::ones(4, 4, CV_64F), 0.1),
                 std::invalid_argument);
}
