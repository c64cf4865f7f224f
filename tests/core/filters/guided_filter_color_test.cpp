#include "nightdehaze/nightdehaze.hpp"
#include "core/filters/guided_filter_color.hpp"
#include "reference/guided_filter_color_literal.hpp"
#include "support/kernel_paths.hpp"
#include "test_images.hpp"

#include <opencv2/core/utility.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

using testing_support::randomImage;
using testing_support::ThreadCount;

const std::vector<cv::Size> kSizes = {{1, 1},   {7, 1},   {1, 7},   {2, 2},  {3, 5},
                                      {30, 20}, {53, 37}, {65, 64}, {80, 90}};
const std::vector<int> kRadii = {0, 1, 2, 5, 10, 32};

cv::Mat literalFilter(int r, const cv::Mat& I, const cv::Mat& p, double eps) {
    cv::Mat q;
    literal::guidedFilterColor(r, q, I, p, eps);
    return q;
}

cv::Mat fastFilter(int r, const cv::Mat& I, const cv::Mat& p, double eps) {
    cv::Mat q;
    guidedFilterColor(r, q, I, p, eps);
    return q;
}

// box(box(p)./N)./N: the output wherever every coefficient is exactly zero.
cv::Mat meanOfMean(int r, const cv::Mat& p) {
    cv::Mat N, sums, mp, q;
    cumBoxFilter(r, N, cv::Mat::ones(p.size(), CV_64F));
    cumBoxFilter(r, sums, p);
    cv::divide(sums, N, mp);
    cumBoxFilter(r, sums, mp);
    cv::divide(sums, N, q);
    return q;
}

}  // namespace

TEST(GuidedFilterColor, MatchesLiteralOnRandomUnitImages) {
    onBothKernelPaths([] {
        std::uint64_t seed = 1;
        for (const cv::Size& size : kSizes) {
            for (int r : kRadii) {
                for (double eps : {0.01, 0.0}) {
                    cv::Mat I = randomImage(size.height, size.width, CV_64FC3, 0, 1, ++seed);
                    cv::Mat p = randomImage(size.height, size.width, CV_64FC1, 0, 1, ++seed);
                    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) +
                                 " r=" + std::to_string(r) + " eps=" + std::to_string(eps));
                    EXPECT_BIT_EQUAL(fastFilter(r, I, p, eps), literalFilter(r, I, p, eps));
                }
            }
        }
    });
}

TEST(GuidedFilterColor, MatchesLiteralOnEightBitAndOtherDepths) {
    const cv::Mat photo = testing_support::randomPhoto(45, 61, 11);
    const cv::Mat plane = randomImage(45, 61, CV_8UC1, 0, 256, 12);
    for (int r : {1, 5, 32}) {
        for (double eps : {0.01, 100.0}) {
            EXPECT_BIT_EQUAL(fastFilter(r, photo, plane, eps), literalFilter(r, photo, plane, eps));
        }
    }
    cv::Mat photoFloat, planeWord;
    photo.convertTo(photoFloat, CV_32F, 1 / 255.0);
    plane.convertTo(planeWord, CV_16U, 200.0);
    EXPECT_BIT_EQUAL(fastFilter(5, photoFloat, planeWord, 0.01),
                     literalFilter(5, photoFloat, planeWord, 0.01));
}

TEST(GuidedFilterColor, MatchesLiteralOnSubmatrixViews) {
    const cv::Mat bigGuide = randomImage(70, 80, CV_64FC3, 0, 1, 21);
    const cv::Mat bigInput = randomImage(70, 80, CV_32FC1, 0, 1, 22);
    const cv::Rect roi(7, 5, 51, 43);
    EXPECT_BIT_EQUAL(fastFilter(5, bigGuide(roi), bigInput(roi), 0.01),
                     literalFilter(5, bigGuide(roi), bigInput(roi), 0.01));
}

TEST(GuidedFilterColor, ConstantGuideGivesMeanOfMean) {
    for (double eps : {0.01, 0.0}) {
        // 0.5 and 0 are exact in binary, so the guide covariances and the
        // covariances with p come out exactly 0 and every coefficient with them.
        // The all-zero guide with eps = 0 makes every window's system singular.
        for (double level : {0.5, 0.0}) {
            const cv::Mat I(37, 53, CV_64FC3, cv::Scalar::all(level));
            const cv::Mat p = randomImage(37, 53, CV_64FC1, 0, 1, 31);
            for (int r : {1, 5, 32}) {
                const cv::Mat q = fastFilter(r, I, p, eps);
                EXPECT_BIT_EQUAL(q, literalFilter(r, I, p, eps));
                EXPECT_BIT_EQUAL(q, meanOfMean(r, p));
            }
        }
    }
}

TEST(GuidedFilterColor, SingularSystemsGiveZeroCoefficients) {
    // Two identical guide channels and no regularisation: two equal rows in
    // every window's matrix, a determinant of exactly 0, coefficients of 0.
    cv::Mat I = randomImage(40, 50, CV_64FC3, 0, 1, 41);
    std::vector<cv::Mat> planes;
    cv::split(I, planes);
    planes[1].copyTo(planes[2]);
    cv::merge(planes, I);
    const cv::Mat p = randomImage(40, 50, CV_64FC1, 0.1, 1, 42);
    onBothKernelPaths([&] {
        for (int r : {0, 2, 10}) {
            const cv::Mat q = fastFilter(r, I, p, 0.0);
            EXPECT_BIT_EQUAL(q, literalFilter(r, I, p, 0.0));
            EXPECT_BIT_EQUAL(q, meanOfMean(r, p));
        }
    });
}

TEST(GuidedFilterColor, ConstantInputStaysConstant) {
    const cv::Mat I = randomImage(33, 47, CV_64FC3, 0, 1, 51);
    const cv::Mat p(33, 47, CV_64FC1, cv::Scalar(0.3));
    for (int r : {1, 5, 32}) {
        const cv::Mat q = fastFilter(r, I, p, 0.01);
        EXPECT_BIT_EQUAL(q, literalFilter(r, I, p, 0.01));
        EXPECT_LT(cv::norm(q, p, cv::NORM_INF), 1e-12);
    }
}

TEST(GuidedFilterColor, SameValuesOnOneThreadAndMany) {
    const cv::Mat I = randomImage(203, 150, CV_64FC3, 0, 1, 61);
    const cv::Mat p = randomImage(203, 150, CV_64FC1, 0, 1, 62);
    for (int r : {0, 5, 32}) {
        cv::Mat one, many;
        {
            ThreadCount single(1);
            one = fastFilter(r, I, p, 0.01);
        }
        {
            ThreadCount several(4);
            many = fastFilter(r, I, p, 0.01);
        }
        EXPECT_BIT_EQUAL(one, many);
        EXPECT_BIT_EQUAL(fastFilter(r, I, p, 0.01), many);
    }
}

TEST(GuidedFilterColor, FiltersInPlaceWithoutTouchingOtherHolders) {
    const cv::Mat I = randomImage(30, 41, CV_64FC3, 0, 1, 71);
    cv::Mat p = randomImage(30, 41, CV_8UC1, 0, 256, 72);
    const cv::Mat original = p.clone();
    const cv::Mat otherHolder = p;
    const cv::Mat expected = literalFilter(5, I, p, 0.01);
    guidedFilterColor(5, p, I, p, 0.01);
    EXPECT_BIT_EQUAL(p, expected);
    EXPECT_BIT_EQUAL(otherHolder, original);
}

TEST(GuidedFilterColor, EmptyImageGivesEmptyResult) {
    cv::Mat q = cv::Mat::ones(3, 3, CV_8U);
    guidedFilterColor(5, q, cv::Mat(0, 4, CV_64FC3), cv::Mat(0, 4, CV_64FC1), 0.01);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.type(), CV_64FC1);
}

TEST(GuidedFilterColor, RejectsBadArgumentsNamingTheProblem) {
    const cv::Mat I(8, 9, CV_64FC3, cv::Scalar::all(0.5));
    const cv::Mat p(8, 9, CV_64FC1, cv::Scalar(0.5));
    cv::Mat q;
    auto expectRejected = [&](int r, const cv::Mat& guide, const cv::Mat& input,
                              const std::string& word) {
        try {
            guidedFilterColor(r, q, guide, input, 0.01);
            ADD_FAILURE() << "accepted, expected a complaint about " << word;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
        }
    };
    expectRejected(1, cv::Mat(8, 9, CV_64FC1, cv::Scalar(0.5)), p, "guide");
    expectRejected(1, cv::Mat(8, 9, CV_64FC4, cv::Scalar::all(0.5)), p, "guide");
    expectRejected(1, I, cv::Mat(8, 9, CV_64FC2, cv::Scalar::all(0.5)), "input");
    expectRejected(1, I, cv::Mat(8, 10, CV_64FC1, cv::Scalar(0.5)), "9x8");
    expectRejected(-1, I, p, "radius");
}

TEST(GuidedFilterColor, InPlaceGivesTheSameBitsOverTheInput) {
    for (cv::Size size : {cv::Size(1, 1), cv::Size(13, 7), cv::Size(64, 90)}) {
        const cv::Mat I = randomImage(size.height, size.width, CV_64FC3, 0, 1, 81);
        const cv::Mat p = randomImage(size.height, size.width, CV_64FC1, 0, 1, 82);
        cv::Mat expected;
        guidedFilterColor(6, expected, I, p, 0.01);
        cv::Mat plane = p.clone();
        const cv::Mat holder = plane;
        guidedFilterColorInPlace(6, plane, I, 0.01);
        EXPECT_BIT_EQUAL(plane, expected);
        EXPECT_EQ(plane.data, holder.data);
    }
}

TEST(GuidedFilterColor, InPlaceWritesOnlyTheViewItFilters) {
    const cv::Mat I = randomImage(20, 30, CV_64FC3, 0, 1, 83);
    cv::Mat whole = randomImage(40, 50, CV_64FC1, 0, 1, 84);
    const cv::Mat before = whole.clone();
    const cv::Rect inside(7, 9, 30, 20);
    cv::Mat expected;
    guidedFilterColor(4, expected, I, whole(inside), 0.01);
    cv::Mat view = whole(inside);
    guidedFilterColorInPlace(4, view, I, 0.01);
    EXPECT_BIT_EQUAL(view, expected);
    cv::Mat outside = before.clone();
    expected.copyTo(outside(inside));
    EXPECT_BIT_EQUAL(whole, outside);
}

TEST(GuidedFilterColor, InPlaceRefusesPlanesItCannotOverwrite) {
    const cv::Mat I(6, 5, CV_64FC3, cv::Scalar::all(0.5));
    cv::Mat bytes(6, 5, CV_8UC1, cv::Scalar(3));
    EXPECT_THROW(guidedFilterColorInPlace(2, bytes, I, 0.01), std::invalid_argument);
    cv::Mat shared = I.reshape(1, 6).colRange(0, 5);
    EXPECT_THROW(guidedFilterColorInPlace(2, shared, I, 0.01), std::invalid_argument);
}

// A byte guide stands for the doubles v * scale + 0.0 of its bytes: the filter
// under it must give the bits of the filter under those doubles, the literal
// form included, views and tiny pictures too.
TEST(GuidedFilterColor, AByteGuideGivesTheBitsOfTheDoublesItStandsFor) {
    const double scale = 1.0 / 255;
    onBothKernelPaths([scale] {
        std::uint64_t seed = 90;
        for (const cv::Size& size : kSizes) {
            const cv::Mat whole = randomImage(size.height + 3, size.width + 5, CV_8UC3, 0, 256, ++seed);
            const cv::Mat bytes = whole(cv::Rect(2, 1, size.width, size.height));
            cv::Mat doubles(bytes.size(), CV_64FC3);
            for (int y = 0; y < bytes.rows; ++y)
                for (int x = 0; x < 3 * bytes.cols; ++x)
                    doubles.ptr<double>(y)[x] = bytes.ptr<uchar>(y)[x] * scale + 0.0;
            const cv::Mat p = randomImage(size.height, size.width, CV_64FC1, 0, 1, ++seed);
            for (int r : kRadii) {
                cv::Mat underBytes = p.clone(), underDoubles = p.clone();
                guidedFilterColorInPlace(r, underBytes, ByteGuide{bytes, scale}, 0.01);
                guidedFilterColorInPlace(r, underDoubles, doubles, 0.01);
                EXPECT_BIT_EQUAL(underBytes, underDoubles);
                EXPECT_BIT_EQUAL(underBytes, literalFilter(r, doubles, p, 0.01));
            }
        }
    });
    cv::Mat plane(4, 4, CV_64FC1, cv::Scalar(0.5));
    EXPECT_THROW(guidedFilterColorInPlace(1, plane, ByteGuide{cv::Mat(4, 4, CV_16UC3), scale}, 0.01),
                 std::invalid_argument);
}
