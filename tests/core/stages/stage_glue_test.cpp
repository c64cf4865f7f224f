// The element-wise work between the filters of the stages runs on all threads
// and gives, bit for bit, what whole-matrix expressions on one thread give:
// each stage against its literal form, at sizes from one pixel to pictures
// whose planes are cut into several chunks, on one thread and on several.
#include "nightdehaze/nightdehaze.hpp"
#include "reference/stages_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace nightdehaze;

namespace {

using testing_support::randomImage;
using testing_support::randomPhoto;
using testing_support::ThreadCount;

// Width x height. The last is large enough that every plane is cut into
// several chunks whatever the thread count.
const std::vector<cv::Size>& glueSizes() {
    static const std::vector<cv::Size> sizes{{1, 1},   {3, 2},   {5, 7},
                                             {17, 33}, {61, 97}, {411, 640}};
    return sizes;
}

const int kManyThreads = 4;

cv::Mat pictureOf(cv::Size size, std::uint64_t seed) {
    return randomPhoto(size.height, size.width, seed);
}

struct DehazeOutputs {
    cv::Mat dehazed, airlight, transmission;
};

DehazeOutputs dehazeWith(const DehazeContext& context, const cv::Mat& image) {
    DehazeOutputs out;
    context.dehaze(5, out.dehazed, out.airlight, out.transmission, image, 0.01);
    return out;
}

void expectSameOutputs(const DehazeOutputs& a, const DehazeOutputs& b) {
    EXPECT_BIT_EQUAL(a.dehazed, b.dehazed);
    EXPECT_BIT_EQUAL(a.airlight, b.airlight);
    EXPECT_BIT_EQUAL(a.transmission, b.transmission);
}

// The refinement window of the defaults is wider than the small pictures; a
// small one keeps the large picture's refinement short as well.
DehazeContext quickContext() {
    DehazeContext context;
    context.refineRadius = 8;
    return context;
}

}  // namespace

TEST(StageGlue, LightCompensationMatchesItsLiteralForm) {
    for (cv::Size size : glueSizes()) {
        SCOPED_TRACE(testing::Message() << size);
        const cv::Mat picture = pictureOf(size, 100 + size.area());
        cv::Mat expected, one, many;
        literal::lightCompensationLiteral(5, expected, picture, 0.01);
        {
            ThreadCount threads(1);
            lightCompensation(5, one, picture, 0.01);
        }
        {
            ThreadCount threads(kManyThreads);
            lightCompensation(5, many, picture, 0.01);
        }
        EXPECT_BIT_EQUAL(one, expected);
        EXPECT_BIT_EQUAL(many, expected);
    }
}

TEST(StageGlue, ColorCorrectionMatchesItsLiteralForm) {
    const DehazeContext context = quickContext();
    for (cv::Size size : glueSizes()) {
        SCOPED_TRACE(testing::Message() << size);
        const cv::Mat picture = pictureOf(size, 200 + size.area());
        cv::Mat expected, one, many;
        literal::colorCorrectionLiteral(context, 5, expected, picture, 0.01);
        {
            ThreadCount threads(1);
            context.colorCorrection(5, one, picture, 0.01);
        }
        {
            ThreadCount threads(kManyThreads);
            context.colorCorrection(5, many, picture, 0.01);
        }
        EXPECT_BIT_EQUAL(one, expected);
        EXPECT_BIT_EQUAL(many, expected);
    }
}

TEST(StageGlue, DehazeMatchesItsLiteralForm) {
    const DehazeContext context = quickContext();
    for (cv::Size size : glueSizes()) {
        SCOPED_TRACE(testing::Message() << size);
        const cv::Mat picture = pictureOf(size, 300 + size.area());
        DehazeOutputs expected, one, many;
        literal::dehazeLiteral(context, 5, expected.dehazed, expected.airlight,
                               expected.transmission, picture, 0.01);
        {
            ThreadCount threads(1);
            one = dehazeWith(context, picture);
        }
        {
            ThreadCount threads(kManyThreads);
            many = dehazeWith(context, picture);
        }
        expectSameOutputs(one, expected);
        expectSameOutputs(many, expected);
    }
}

// Gamma moves the exponent of the brightness gain; the defaults' refinement
// radius is wider than this picture, and a dark picture floors the light.
TEST(StageGlue, ColorCorrectionMatchesAtOtherSettings) {
    const cv::Mat dark = randomImage(90, 80, CV_8UC3, 0, 30, 7);
    const cv::Mat photo = pictureOf(cv::Size(80, 90), 8);
    for (double gamma : {0.5, 1.2, 3.0}) {
        DehazeContext context;
        context.gamma = gamma;
        for (const cv::Mat& picture : {dark, photo}) {
            cv::Mat expected, actual;
            SCOPED_TRACE(testing::Message() << "gamma " << gamma);
            literal::colorCorrectionLiteral(context, 3, expected, picture, 0.01);
            context.colorCorrection(3, actual, picture, 0.01);
            EXPECT_BIT_EQUAL(actual, expected);
        }
    }
}

// Black, white, bright and half-saturated pictures drive the floors: light
// floored at 51 and lifted above 255, transmission under the 0.1 floor.
TEST(StageGlue, DehazeMatchesOnPicturesThatHitTheClamps) {
    const DehazeContext context = quickContext();
    cv::Mat saturated = pictureOf(cv::Size(90, 80), 9);
    saturated.colRange(0, 45).setTo(cv::Scalar(255, 255, 0));
    const cv::Mat pictures[] = {cv::Mat(80, 90, CV_8UC3, cv::Scalar::all(0)),
                                cv::Mat(80, 90, CV_8UC3, cv::Scalar::all(255)),
                                randomImage(80, 90, CV_8UC3, 200, 256, 10), saturated};
    for (const cv::Mat& picture : pictures) {
        DehazeOutputs expected;
        literal::dehazeLiteral(context, 5, expected.dehazed, expected.airlight,
                               expected.transmission, picture, 0.01);
        expectSameOutputs(dehazeWith(context, picture), expected);
    }
}

// A picture that is a view into a larger one (rows not contiguous in memory)
// gives what its own copy gives.
TEST(StageGlue, StagesReadViewsIntoLargerPictures) {
    const cv::Mat big = pictureOf(cv::Size(300, 260), 11);
    const cv::Mat view = big(cv::Rect(7, 5, 281, 243));
    ASSERT_FALSE(view.isContinuous());
    const cv::Mat copy = view.clone();
    const DehazeContext context = quickContext();

    cv::Mat fromView, fromCopy;
    lightCompensation(5, fromView, view, 0.01);
    lightCompensation(5, fromCopy, copy, 0.01);
    EXPECT_BIT_EQUAL(fromView, fromCopy);

    context.colorCorrection(5, fromView, view, 0.01);
    context.colorCorrection(5, fromCopy, copy, 0.01);
    EXPECT_BIT_EQUAL(fromView, fromCopy);

    expectSameOutputs(dehazeWith(context, view), dehazeWith(context, copy));
}

// The whole pipeline, which also divides by the correction map, against the
// literal stages and division. 160 x 150 pixels make the three-channel
// division run in more than one chunk.
TEST(StageGlue, EnhanceMatchesTheLiteralPipeline) {
    for (cv::Size size : {cv::Size(1, 1), cv::Size(160, 150)}) {
        SCOPED_TRACE(testing::Message() << size);
        const cv::Mat picture = pictureOf(size, 400 + size.area());
        DehazeContext context = quickContext();
        cv::Mat working;
        literal::lightCompensationLiteral(5, working, picture, 0.01);
        contrastStretch(working, working);
        cv::Mat map;
        literal::colorCorrectionLiteral(context, 5, map, working, 0.01);
        working = literal::dividedByMapLiteral(working, map);
        contrastStretch(working, working);
        DehazeOutputs expected;
        literal::dehazeLiteral(context, 5, expected.dehazed, expected.airlight,
                               expected.transmission, working, 0.01);

        for (int threads : {1, kManyThreads}) {
            SCOPED_TRACE(testing::Message() << threads << " threads");
            ThreadCount count(threads);
            HazeMaps maps;
            const cv::Mat dehazed = enhance(picture, context, &maps);
            EXPECT_BIT_EQUAL(dehazed, expected.dehazed);
            EXPECT_BIT_EQUAL(maps.airlight, expected.airlight);
            EXPECT_BIT_EQUAL(maps.transmission, expected.transmission);
        }
    }
}
