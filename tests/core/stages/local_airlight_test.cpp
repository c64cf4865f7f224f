#include "core/stages/local_airlight.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "reference/local_airlight_literal.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "support/hazy_test_pictures.hpp"
#include "test_images.hpp"

using namespace nightdehaze;
using namespace nightdehaze::detail;

using hazy_pictures::Kind;

namespace {

struct Light {
    cv::Mat S[3], N, B;
};

Light fastLight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark, const cv::Mat& V) {
    Light light;
    localAirlight(r, planes, dark, light.S[0], light.S[1], light.S[2], light.N);
    const AirlightGrid grid = makeAirlightGrid(r, dark.size());
    light.B = cv::Mat::zeros(dark.size(), CV_64FC1);
    accumulateOverWindows(grid, windowMaxima(grid, V), light.B);
    return light;
}

Light literalLight(int r, const std::vector<cv::Mat>& planes, const cv::Mat& dark,
                   const cv::Mat& V) {
    Light light;
    literal::localAirlight(r, planes, dark, light.S[0], light.S[1], light.S[2], light.N, &V,
                           &light.B);
    return light;
}

void expectSameLight(const Light& fast, const Light& slow) {
    for (int c = 0; c < 3; ++c) EXPECT_BIT_EQUAL(fast.S[c], slow.S[c]);
    EXPECT_BIT_EQUAL(fast.N, slow.N);
    EXPECT_BIT_EQUAL(fast.B, slow.B);
}

cv::Mat valuePlane(const cv::Mat& picture) {
    cv::Mat hsv;
    cv::cvtColor(picture, hsv, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    return planes.at(2);
}

// Light of a one-window picture (every window of the picture covers it whole):
// the value per channel, checked to be the same at every pixel.
cv::Vec3d lightOfSingleWindow(int r, const cv::Mat& picture, const cv::Mat& dark) {
    Light light;
    localAirlight(r, hazy_pictures::planesOf(picture), dark, light.S[0], light.S[1], light.S[2],
                  light.N);
    EXPECT_EQ(cv::countNonZero(light.N != 1.0), 0);
    cv::Vec3d value;
    for (int c = 0; c < 3; ++c) {
        value[c] = light.S[c].at<double>(0, 0);
        EXPECT_EQ(cv::countNonZero(light.S[c] != value[c]), 0);
    }
    return value;
}

cv::Mat pictureOf(int rows, int cols, const std::function<cv::Vec3b(int)>& colourOfPixel) {
    cv::Mat picture(rows, cols, CV_8UC3);
    for (int p = 0; p < rows * cols; ++p)
        picture.at<cv::Vec3b>(p / cols, p % cols) = colourOfPixel(p);
    return picture;
}

cv::Mat darkOf(int rows, int cols, const std::function<double(int)>& darkOfPixel) {
    cv::Mat dark(rows, cols, CV_64FC1);
    for (int p = 0; p < rows * cols; ++p) dark.at<double>(p / cols, p % cols) = darkOfPixel(p);
    return dark;
}

}  // namespace

TEST(LocalAirlight, MatchesLiteralOnEverySizeKindAndRadius) {
    std::uint64_t seed = 500;
    for (cv::Size size : hazy_pictures::allSizes()) {
        for (Kind kind : hazy_pictures::allKinds()) {
            const cv::Mat picture = hazy_pictures::picture(kind, size, ++seed);
            const auto planes = hazy_pictures::planesOf(picture);
            const cv::Mat V = valuePlane(picture);
            for (int r : {1, 2, 3, 5, 8}) {
                SCOPED_TRACE(hazy_pictures::name(kind, size) + " r " + std::to_string(r));
                cv::Mat dark;
                darkChannel(r + 2, dark, planes);
                expectSameLight(fastLight(r, planes, dark, V), literalLight(r, planes, dark, V));
            }
        }
    }
}

TEST(LocalAirlight, MatchesLiteralWithFractionalTiedDarkValues) {
    std::uint64_t seed = 600;
    for (cv::Size size : {cv::Size(47, 33), cv::Size(65, 64)}) {
        const cv::Mat picture = hazy_pictures::picture(Kind::Photo, size, ++seed);
        const auto planes = hazy_pictures::planesOf(picture);
        cv::Mat levels =
            testing_support::randomImage(size.height, size.width, CV_32SC1, 0, 5, ++seed);
        cv::Mat dark;
        levels.convertTo(dark, CV_64F, 0.37);
        for (int r : {2, 5}) {
            SCOPED_TRACE(std::to_string(size.height) + " r " + std::to_string(r));
            const cv::Mat V = valuePlane(picture);
            expectSameLight(fastLight(r, planes, dark, V), literalLight(r, planes, dark, V));
        }
    }
}

TEST(LocalAirlight, AccumulationAddsWindowsInGridOrder) {
    const cv::Size size(23, 19);
    const AirlightGrid grid = makeAirlightGrid(3, size);
    const cv::Mat values =
        testing_support::randomImage(grid.gridRows, grid.gridCols, CV_64FC1, -1e3, 1e3, 701);
    const cv::Mat start =
        testing_support::randomImage(size.height, size.width, CV_64FC1, 0, 1, 702);
    cv::Mat expected = start.clone(), accumulated = start.clone();
    for (int gr = 0; gr < grid.gridRows; ++gr) {
        for (int gc = 0; gc < grid.gridCols; ++gc) {
            cv::Mat view = expected(grid.window(gr, gc, size));
            cv::add(view, cv::Scalar(values.at<double>(gr, gc)), view);
        }
    }
    accumulateOverWindows(grid, values, accumulated);
    EXPECT_BIT_EQUAL(accumulated, expected);
}

TEST(LocalAirlight, GridAndCornerWindows) {
    const AirlightGrid grid = makeAirlightGrid(5, cv::Size(11, 10));
    EXPECT_EQ(grid.gridRows, 2);
    EXPECT_EQ(grid.gridCols, 3);
    EXPECT_EQ(grid.window(0, 0, cv::Size(11, 10)), cv::Rect(0, 0, 6, 6));
    EXPECT_EQ(grid.window(1, 2, cv::Size(11, 10)), cv::Rect(5, 0, 6, 10));
}

// The corner window of radius 5 holds 36 pixels, yet its candidates are the
// top 6 ranks of a full 11 x 11 window: ranks 0..5 here, whose five brightest
// are grey 200. A top rank taken from 36 pixels (1) would give 100, one rank
// too many would bring in the 255.
TEST(LocalAirlight, CornerWindowKeepsTheTopRankOfAFullWindow) {
    const int rows = 20, cols = 20;
    auto corner = [&](int p) {
        return p / cols < 6 && p % cols < 6 ? (p / cols) * 6 + p % cols : -1;
    };
    const cv::Mat dark = darkOf(rows, cols, [&](int p) {
        const int q = corner(p);
        return q >= 0 && q < 7 ? 250.0 - q : 0.0;
    });
    const cv::Mat picture = pictureOf(rows, cols, [&](int p) {
        const int q = corner(p);
        const uchar grey = q == 0 ? 100 : q > 0 && q < 6 ? 200 : q == 6 ? 255 : 0;
        return cv::Vec3b(grey, grey, grey);
    });
    const AirlightGrid grid = makeAirlightGrid(5, picture.size());
    cv::Mat values[3];
    windowAirlight(grid, hazy_pictures::planesOf(picture), dark, values);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(values[c].at<double>(0, 0), 200.0);
}

// 3 pixels of dark 250, 10 of dark 200 (ranks 3..12, kTop = 6 among them) and
// 12 of dark 100: the candidates run to rank 11, so the brightest five are
// from the dark-200 group. Without the extension they would mix with the
// dim dark-250 group; the bright dark-100 group is never a candidate.
TEST(LocalAirlight, TiesAtTheTopRankExtendTheCandidates) {
    const cv::Mat dark = darkOf(5, 5, [](int p) { return p < 3 ? 250.0 : p < 13 ? 200.0 : 100.0; });
    const cv::Mat picture = pictureOf(5, 5, [](int p) {
        return p < 3    ? cv::Vec3b(50, 60, 70)
               : p < 13 ? cv::Vec3b(150, 140, 130)
                        : cv::Vec3b(255, 255, 255);
    });
    EXPECT_EQ(lightOfSingleWindow(5, picture, dark), cv::Vec3d(150, 140, 130));
}

// All 25 dark values equal: every rank but the last is a candidate, and the
// library's last rank is the one pixel left out, here the brightest.
TEST(LocalAirlight, EqualDarkValuesLeaveOutOnlyTheLastRank) {
    cv::Mat ranks;
    cv::sortIdx(cv::Mat(1, 25, CV_64FC1, cv::Scalar(7.0)), ranks,
                cv::SORT_EVERY_ROW + cv::SORT_DESCENDING);
    const int leftOut = ranks.at<int>(24);
    auto grey = [&](int p) { return p == leftOut ? 250 : 10 * p; };
    const cv::Mat picture =
        pictureOf(5, 5, [&](int p) { return cv::Vec3b(grey(p), grey(p), grey(p)); });
    std::vector<int> others;
    for (int p = 0; p < 25; ++p)
        if (p != leftOut) others.push_back(grey(p));
    std::sort(others.rbegin(), others.rend());
    const double expected = (others[0] + others[1] + others[2] + others[3] + others[4]) / 5.0;
    const cv::Vec3d light =
        lightOfSingleWindow(5, picture, cv::Mat(5, 5, CV_64FC1, cv::Scalar(7.0)));
    EXPECT_EQ(light, cv::Vec3d::all(expected));
}

TEST(LocalAirlight, UniformGreyGivesItsValueInEveryChannel) {
    for (int v : {0, 1, 77, 254, 255}) {
        for (cv::Size size : {cv::Size(1, 1), cv::Size(2, 2), cv::Size(30, 20), cv::Size(47, 33)}) {
            for (int r : {1, 5}) {
                const cv::Mat grey(size, CV_8UC3, cv::Scalar::all(v));
                const auto planes = hazy_pictures::planesOf(grey);
                cv::Mat dark, S[3], N;
                darkChannel(r + 2, dark, planes);
                localAirlight(r, planes, dark, S[0], S[1], S[2], N);
                EXPECT_GE(cv::countNonZero(N), size.area());
                for (int c = 0; c < 3; ++c) EXPECT_BIT_EQUAL(S[c], N * v);
            }
        }
    }
}

// Regression: a 2 x 2 picture has a 4-pixel window, fewer than the 7 ranks up
// to kTop = 6. All its pixels are ranked; the candidates are ranks 0..2 (dark
// 40, 30, 20), leaving out the brightest pixel, whose dark value is lowest.
TEST(LocalAirlight, WindowsSmallerThanTheTopRankRankAllTheirPixels) {
    const cv::Mat dark = (cv::Mat_<double>(2, 2) << 40, 30, 20, 10);
    const cv::Mat picture = pictureOf(2, 2, [](int p) {
        const cv::Vec3b colours[] = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}, {250, 250, 250}};
        return colours[p];
    });
    EXPECT_EQ(lightOfSingleWindow(5, picture, dark), cv::Vec3d(40, 50, 60));
}

// Regression: with r = 1 (kTop = 0) a window whose top dark value is unique,
// and any one-pixel picture, would have no candidate and a 0/0 light.
TEST(LocalAirlight, EveryWindowTakesAtLeastOneCandidate) {
    const cv::Mat dark = (cv::Mat_<double>(1, 3) << 10, 50, 20);
    const cv::Mat picture = pictureOf(1, 3, [](int p) {
        const cv::Vec3b colours[] = {{1, 2, 3}, {100, 110, 120}, {7, 8, 9}};
        return colours[p];
    });
    cv::Mat S[3], N;
    localAirlight(1, hazy_pictures::planesOf(picture), dark, S[0], S[1], S[2], N);
    EXPECT_BIT_EQUAL(N, (cv::Mat_<double>(1, 3) << 2, 3, 2));
    for (int c = 0; c < 3; ++c) EXPECT_BIT_EQUAL(S[c], N * (100.0 + 10 * c));

    const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(9, 99, 199));
    EXPECT_EQ(lightOfSingleWindow(3, pixel, cv::Mat(1, 1, CV_64FC1, cv::Scalar(9.0))),
              cv::Vec3d(9, 99, 199));
}

// The candidate brightness is the channel sum times 1/3 in place of the
// library's convertTo with that scale: the same double for every possible sum.
TEST(LocalAirlight, BrightnessScaleMatchesConvertTo) {
    cv::Mat sums(1, 3 * 255 + 1, CV_64FC1), scaled;
    for (int s = 0; s < sums.cols; ++s) sums.at<double>(s) = s;
    sums.convertTo(scaled, -1, 1.0 / 3, 0);
    for (int s = 0; s < sums.cols; ++s) ASSERT_EQ(scaled.at<double>(s), s * (1.0 / 3)) << s;
}

TEST(LocalAirlight, SameBitsWithOneThreadOrSeveral) {
    const cv::Mat picture = testing_support::randomPhoto(200, 301, 801);
    const auto planes = hazy_pictures::planesOf(picture);
    const cv::Mat V = valuePlane(picture);
    cv::Mat dark;
    darkChannel(7, dark, planes);
    const int before = cv::getNumThreads();
    cv::setNumThreads(1);
    const Light one = fastLight(5, planes, dark, V);
    cv::setNumThreads(4);
    const Light several = fastLight(5, planes, dark, V);
    cv::setNumThreads(before);
    expectSameLight(one, several);
}

TEST(LocalAirlight, OutputsMayBeTheInputObjects) {
    const cv::Mat picture = testing_support::randomPhoto(20, 30, 901);
    auto planes = hazy_pictures::planesOf(picture);
    cv::Mat dark;
    darkChannel(7, dark, planes);
    Light expected;
    literal::localAirlight(5, planes, dark, expected.S[0], expected.S[1], expected.S[2],
                           expected.N);
    cv::Mat S1, S2;
    localAirlight(5, planes, dark, dark, S1, S2, planes[0]);
    EXPECT_BIT_EQUAL(dark, expected.S[0]);
    EXPECT_BIT_EQUAL(planes[0], expected.N);
}

// A radius beyond the picture gives one window over everything, whatever its
// size: no overflow in the window geometry or in kTop.
TEST(LocalAirlight, HugeRadiusIsOneWindowOverThePicture) {
    const cv::Mat picture = hazy_pictures::picture(Kind::Photo, cv::Size(30, 20), 951);
    const auto planes = hazy_pictures::planesOf(picture);
    cv::Mat dark;
    darkChannel(3, dark, planes);
    Light sane, huge;
    localAirlight(1000, planes, dark, sane.S[0], sane.S[1], sane.S[2], sane.N);
    localAirlight(std::numeric_limits<int>::max(), planes, dark, huge.S[0], huge.S[1], huge.S[2],
                  huge.N);
    for (int c = 0; c < 3; ++c) EXPECT_BIT_EQUAL(huge.S[c], sane.S[c]);
    EXPECT_BIT_EQUAL(huge.N, cv::Mat::ones(picture.size(), CV_64FC1));
}

TEST(LocalAirlight, EmptyPictureGivesEmptySums) {
    const std::vector<cv::Mat> planes(3, cv::Mat(0, 4, CV_8UC1));
    cv::Mat dark, S[3], N;
    darkChannel(7, dark, planes);
    localAirlight(5, planes, dark, S[0], S[1], S[2], N);
    EXPECT_EQ(dark.type(), CV_64FC1);
    EXPECT_TRUE(N.empty());
    EXPECT_EQ(N.type(), CV_64FC1);
}

TEST(LocalAirlight, RejectsBadArguments) {
    const auto planes = hazy_pictures::planesOf(testing_support::randomPhoto(8, 9, 51));
    const cv::Mat dark(8, 9, CV_64FC1, cv::Scalar(3));
    cv::Mat S0, S1, S2, N;
    EXPECT_THROW(localAirlight(0, planes, dark, S0, S1, S2, N), std::invalid_argument);
    EXPECT_THROW(localAirlight(-2, planes, dark, S0, S1, S2, N), std::invalid_argument);
    EXPECT_THROW(makeAirlightGrid(0, cv::Size(9, 8)), std::invalid_argument);
    EXPECT_THROW(localAirlight(2, {planes[0], planes[1]}, dark, S0, S1, S2, N),
                 std::invalid_argument);
    cv::Mat narrowDark;
    dark.convertTo(narrowDark, CV_32F);
    EXPECT_THROW(localAirlight(2, planes, narrowDark, S0, S1, S2, N), std::invalid_argument);
    EXPECT_THROW(localAirlight(2, planes, dark(cv::Rect(0, 0, 5, 5)), S0, S1, S2, N),
                 std::invalid_argument);
    const AirlightGrid grid = makeAirlightGrid(2, cv::Size(9, 8));
    cv::Mat sum = cv::Mat::zeros(8, 9, CV_64FC1);
    EXPECT_THROW(accumulateOverWindows(grid, cv::Mat::zeros(2, 2, CV_64FC1), sum),
                 std::invalid_argument);
    cv::Mat wrongSize = cv::Mat::zeros(20, 9, CV_64FC1);
    EXPECT_THROW(accumulateOverWindows(grid, cv::Mat::zeros(grid.gridRows, grid.gridCols, CV_64FC1),
                                       wrongSize),
                 std::invalid_argument);
    EXPECT_THROW(windowMaxima(grid, dark), std::invalid_argument);
}
