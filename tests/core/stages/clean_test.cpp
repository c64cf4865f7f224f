// --clean: the JPEG grid deblocking against its literal form, the noise
// estimate and smoothing on pictures of known noise, and the whole mode on a
// generated JPEG.
#include "nightdehaze/nightdehaze.hpp"
#include "core/stages/clean_chroma.hpp"
#include "core/stages/clean_deblock.hpp"
#include "core/stages/clean_noise.hpp"
#include "core/stages/clean_steps.hpp"

#include "reference/clean_chroma_literal.hpp"
#include "reference/clean_deblock_literal.hpp"
#include "reference/clean_noise_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

using namespace nightdehaze;

namespace {

// A dark, hazy sky over a bright skyline with a lamp: smooth regions that
// the enhancement lifts, and edges it must keep.
cv::Mat nightScene(int rows, int cols, double noiseSigma, std::uint64_t seed) {
    cv::Mat scene(rows, cols, CV_64FC3);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const double sky = 6.0 + 10.0 * y / rows + 3.0 * std::sin(x * 0.05);
            scene.at<cv::Vec3d>(y, x) = cv::Vec3d(sky + 4.0, sky, sky + 2.0);
        }
    cv::rectangle(scene, cv::Rect(cols / 5, rows / 2, cols / 4, rows / 2), cv::Scalar(60, 90, 110),
                  cv::FILLED);
    cv::circle(scene, cv::Point(cols * 2 / 3, rows / 3), rows / 12, cv::Scalar(200, 240, 255),
               cv::FILLED);
    cv::Mat noise(rows, cols, CV_64FC3);
    cv::RNG(seed).fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(noiseSigma));
    cv::Mat picture;
    cv::Mat(scene + noise).convertTo(picture, CV_8U);
    return picture;
}

cv::Mat jpegRoundTrip(const cv::Mat& picture, int quality) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

// Mean |luma step| across 8-pixel block boundaries over the mean elsewhere.
double blockiness(const cv::Mat& bgr8) {
    cv::Mat luma;
    bgr8.convertTo(luma, CV_64F);
    luma = luma.reshape(1, bgr8.rows * bgr8.cols) * cv::Mat(cv::Vec3d(0.114, 0.587, 0.299));
    luma = luma.reshape(1, bgr8.rows);
    double across = 0, inside = 0, nAcross = 0, nInside = 0;
    auto add = [&](double step, bool boundary) {
        (boundary ? across : inside) += std::abs(step);
        (boundary ? nAcross : nInside) += 1;
    };
    for (int y = 0; y < luma.rows; ++y)
        for (int x = 0; x < luma.cols; ++x) {
            if (x + 1 < luma.cols) add(luma.at<double>(y, x + 1) - luma.at<double>(y, x), x % 8 == 7);
            if (y + 1 < luma.rows) add(luma.at<double>(y + 1, x) - luma.at<double>(y, x), y % 8 == 7);
        }
    return (across / nAcross) / (inside / nInside);
}

// A noisy orange haze with a glow, a row of white lamps (so that the discs
// are not the brightest 1 %) and filled discs of colour (235, 245, 255), radius
// rows / 14, drawn over the noise: flat bright areas the result keeps flat.
cv::Mat discsOverNoise(int rows, int cols, const std::vector<cv::Point>& discs) {
    cv::Mat scene(rows, cols, CV_64FC3);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const double wave = 0.5 + 0.5 * std::sin(x * 0.021) * std::cos(y * 0.017);
            const double dx = x - cols * 0.8, dy = y - rows * 0.3;
            const double glow = 120.0 * std::exp(-(dx * dx + dy * dy) / 3200.0);
            scene.at<cv::Vec3d>(y, x) = cv::Vec3d(60 + 30 * wave + 0.3 * glow,
                                                  90 + 40 * wave + 0.7 * glow, 130 + 40 * wave + glow);
        }
    for (int i = 0; i < 8; ++i)
        cv::circle(scene, cv::Point(cols * (2 * i + 1) / 16, rows - 20 - 15 * (i % 2)), 14,
                   cv::Scalar::all(255), cv::FILLED);
    cv::Mat noise(rows, cols, CV_64FC3);
    cv::RNG(3).fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(4.0));
    cv::Mat picture;
    cv::Mat(scene + noise).convertTo(picture, CV_8U);
    for (const cv::Point& centre : discs)
        cv::circle(picture, centre, rows / 14, cv::Scalar(235, 245, 255), cv::FILLED);
    return picture;
}

// Largest |value| of any channel of a CV_64FC3 image inside mask.
double largestInside(const cv::Mat& values, const cv::Mat& mask) {
    std::vector<cv::Mat> channels;
    cv::split(cv::abs(values), channels);
    double largest = 0.0;
    for (const cv::Mat& channel : channels) {
        double m = 0.0;
        cv::minMaxLoc(channel, nullptr, &m, nullptr, nullptr, mask);
        largest = std::max(largest, m);
    }
    return largest;
}

double stddev(const cv::Mat& m) {
    cv::Scalar mean, deviation;
    cv::meanStdDev(m, mean, deviation);
    return deviation[0];
}

}  // namespace

TEST(CleanDeblock, MatchesLiteralOnRandomShiftedAndTinyPictures) {
    std::uint64_t seed = 40;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(7, 5), cv::Size(16, 9), cv::Size(21, 34),
                                cv::Size(67, 45)}) {
        const cv::Mat photo = testing_support::randomPhoto(size.height, size.width, ++seed);
        const cv::Mat jpeg = jpegRoundTrip(photo, 20);
        // A crop moves the grid off phase 0.
        const cv::Mat shifted = size.width > 8 && size.height > 8
                                    ? jpeg(cv::Rect(3, 5, size.width - 3, size.height - 5)).clone()
                                    : jpeg;
        for (const cv::Mat& picture : {photo, jpeg, shifted}) {
            SCOPED_TRACE(testing::Message() << picture.cols << "x" << picture.rows);
            const detail::BlockGrid fast = detail::findBlockGrid(picture);
            const detail::BlockGrid slow = literal::findBlockGrid(picture);
            EXPECT_EQ(fast.columnPhase, slow.columnPhase);
            EXPECT_EQ(fast.rowPhase, slow.rowPhase);
            EXPECT_EQ(fast.columnStep, slow.columnStep);
            EXPECT_EQ(fast.rowStep, slow.rowStep);
            for (double factor : {0.0, 7.0, 1e9})
                EXPECT_BIT_EQUAL(detail::deblockGrid(picture, slow, factor),
                                 literal::deblockGrid(picture, slow, factor));
        }
    }
    const cv::Mat crop = jpegRoundTrip(testing_support::randomPhoto(64, 64, 9), 20)(
        cv::Rect(3, 5, 61, 59));
    const detail::BlockGrid grid = detail::findBlockGrid(crop);
    EXPECT_EQ(grid.columnPhase, 5);
    EXPECT_EQ(grid.rowPhase, 3);
}

TEST(CleanNoise, EstimatesTheNoiseAndFlattensNoiseAboveTheGainButKeepsEdges) {
    const cv::Mat clear = nightScene(96, 128, 0.0, 1);
    const cv::Mat grainy = nightScene(96, 128, 3.0, 1);
    EXPECT_LT(detail::estimateNoiseLevel(clear), 0.6);
    EXPECT_NEAR(detail::estimateNoiseLevel(grainy), 3.0, 0.5);
    std::uint64_t seed = 20;
    for (const cv::Size size : {cv::Size(9, 9), cv::Size(10, 31), cv::Size(77, 50)}) {
        const cv::Mat photo = testing_support::randomPhoto(size.height, size.width, ++seed);
        cv::Mat clipped = photo.clone();
        clipped.row(size.height / 2).setTo(cv::Scalar(0, 128, 255));
        for (const cv::Mat& picture : {photo, clipped, jpegRoundTrip(photo, 30), grainy})
            EXPECT_EQ(detail::estimateNoiseLevel(picture), literal::estimateNoiseLevel(picture));
    }

    // An enhancement that multiplies everything by 6: the noise of the sky
    // grows to about 18 levels, the edge of the building to about 300.
    cv::Mat amplified;
    grainy.convertTo(amplified, CV_8U, 6.0, -20.0);
    const cv::Mat cleaned =
        detail::suppressAmplifiedNoise(grainy, amplified, detail::estimateNoiseLevel(grainy));
    const cv::Rect sky(8, 8, 16, 16);
    EXPECT_LT(stddev(cleaned(sky)), 0.5 * stddev(amplified(sky)));
    const cv::Mat inside = cleaned(cv::Rect(128 / 5 + 2, 72, 3, 1));
    const cv::Mat outside = cleaned(cv::Rect(128 / 5 - 5, 72, 3, 1));
    EXPECT_GT(cv::mean(inside)[1] - cv::mean(outside)[1], 150.0);
}

// Random pictures at every darkness, tiny ones included, and speckles of
// single lifted channels at the edge of black: grey, not magenta or green.
TEST(CleanChroma, MatchesLiteralAndTurnsSpecklesAtTheEdgeOfBlackGrey) {
    std::uint64_t seed = 60;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(5, 2), cv::Size(23, 17), cv::Size(64, 48)})
        for (const double dim : {0.1, 0.4, 1.0}) {
            cv::Mat photo;
            testing_support::randomPhoto(size.height, size.width, ++seed).convertTo(photo, CV_8U, dim);
            EXPECT_BIT_EQUAL(detail::suppressDarkChroma(photo), literal::suppressDarkChroma(photo));
        }
    cv::Mat speckled(40, 40, CV_8UC3, cv::Scalar::all(0));
    cv::RNG rng(4);
    for (int i = 0; i < 120; ++i) {
        cv::Vec3b speckle(0, 0, 0);
        speckle[rng.uniform(0, 3)] = 60;
        speckled.at<cv::Vec3b>(rng.uniform(10, 30), rng.uniform(10, 30)) = speckle;
    }
    cv::rectangle(speckled, cv::Rect(0, 0, 6, 40), cv::Scalar(0, 0, 40), cv::FILLED);  // a dark red wall
    const cv::Mat softened = detail::suppressDarkChroma(speckled);
    // Mean spread between the largest and smallest channel, in levels.
    const auto colourfulness = [](const cv::Mat& picture, const cv::Rect& area) {
        double spread = 0.0;
        for (int y = area.y; y < area.y + area.height; ++y)
            for (int x = area.x; x < area.x + area.width; ++x) {
                const cv::Vec3b p = picture.at<cv::Vec3b>(y, x);
                spread += std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            }
        return spread / area.area();
    };
    const cv::Rect speckles(10, 10, 20, 20);
    EXPECT_LT(colourfulness(softened, speckles), 0.25 * colourfulness(speckled, speckles));
    EXPECT_EQ(softened.at<cv::Vec3b>(39, 39), cv::Vec3b(0, 0, 0));  // black stays black
    EXPECT_EQ(softened.at<cv::Vec3b>(20, 1), cv::Vec3b(0, 0, 40));  // a uniform dark colour stays
}

TEST(CleanMode, LowersBlockinessOfAJpegAndLeavesTheDefaultAlone) {
    const cv::Mat jpeg = jpegRoundTrip(nightScene(160, 224, 1.5, 7), 30);
    DehazeContext plain, clean;
    clean.clean = true;
    const cv::Mat plainResult = enhance(jpeg, plain);
    const cv::Mat cleanResult = enhance(jpeg, clean);
    // The darkest blocks of the sky, lifted some twenty times, keep a trace.
    EXPECT_GT(blockiness(plainResult), 2.0);
    EXPECT_LT(blockiness(cleanResult), 0.5 * blockiness(plainResult));
    DehazeContext explicitlyPlain;
    explicitlyPlain.clean = false;
    EXPECT_BIT_EQUAL(enhance(jpeg, explicitlyPlain), plainResult);

    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const cv::Mat oneThread = enhance(jpeg, clean);
    cv::setNumThreads(threads);
    EXPECT_BIT_EQUAL(oneThread, cleanResult);
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 2), cv::Size(9, 17)}) {
        const cv::Mat tiny = testing_support::randomPhoto(size.height, size.width, 5);
        EXPECT_EQ(enhance(tiny, clean).size(), size);
    }
}

// A reported blemish: a greenish patch, 20 to 30 levels above the default,
// inside a bright disc, where the smoothing's strength changed from window to
// window. The steps on the result keep the default's colour there within 2
// levels. The whole mode smooths the input too, which moves the estimates and
// stretch limits a little (the default's carry the noise): each disc keeps
// the default's mean colour within 3 levels (2.7 measured), and its 5x5
// colour within 3 of the default's shifted by that mean: no patch.
TEST(CleanMode, KeepsTheDefaultColourInsideABrightDiscOverNoise) {
    const std::vector<cv::Point> discs{{100, 90}, {330, 200}, {470, 100}};
    const cv::Mat picture = discsOverNoise(360, 640, discs);
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast" : "exact");
        DehazeContext plain, clean;
        plain.fast = clean.fast = fast;
        clean.clean = true;
        const cv::Mat plainResult = enhance(picture, plain);
        const cv::Mat resultSteps =
            detail::cleanResult(detail::cleanInput(picture, fast), plainResult, fast);
        const cv::Mat cleanResult = enhance(picture, clean);
        for (const cv::Point& centre : discs) {
            cv::Mat interior = cv::Mat::zeros(picture.size(), CV_8U);
            cv::circle(interior, centre, 360 / 14 - 8, 255, cv::FILLED);
            ASSERT_LT(cv::mean(plainResult, interior)[0], 240.0);  // not saturated: a patch would show
            cv::Mat difference, shift;
            cv::subtract(resultSteps, plainResult, difference, cv::noArray(), CV_64FC3);
            EXPECT_LE(largestInside(difference, interior), 2.0);
            cv::subtract(cleanResult, plainResult, difference, cv::noArray(), CV_64FC3);
            cv::blur(difference, difference, cv::Size(5, 5));
            const cv::Scalar meanShift = cv::mean(difference, interior);
            cv::subtract(difference, meanShift, shift);
            EXPECT_LE(largestInside(shift, interior), 3.0);
            for (int c = 0; c < 3; ++c) EXPECT_LE(std::abs(meanShift[c]), 3.0);
        }
    }
}
