#include "nightdehaze/nightdehaze.hpp"
#include "core/fast/fast_contrast_stretch.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

using namespace nightdehaze;

namespace {

cv::Mat enhancedWithThreads(const cv::Mat& image, const DehazeContext& context, int threads) {
    const int before = cv::getNumThreads();
    cv::setNumThreads(threads);
    cv::Mat out = enhance(image, context);
    cv::setNumThreads(before);
    return out;
}

// A smooth night scene with lamps: what the fast engine is built for.
cv::Mat lampScene(int rows, int cols) {
    cv::Mat image(rows, cols, CV_8UC3, cv::Scalar(20, 30, 45));
    cv::circle(image, {cols / 3, rows / 3}, rows / 6, cv::Scalar(80, 160, 230), cv::FILLED);
    cv::rectangle(image, {cols / 2, rows / 2}, {cols - 5, rows - 5}, cv::Scalar(60, 50, 40), cv::FILLED);
    cv::GaussianBlur(image, image, {0, 0}, 6);
    return image;
}

// The smallest level that at least the given share of |a - b| (every
// channel of every pixel) does not exceed.
int differencePercentile(const cv::Mat& a, const cv::Mat& b, double share) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    std::vector<uchar> values(difference.reshape(1, 1));
    const size_t rank = static_cast<size_t>(std::ceil(share * values.size())) - 1;
    std::nth_element(values.begin(), values.begin() + rank, values.end());
    return values[rank];
}

}  // namespace

// What a viewer could see of the fast engine: at least 38 dB from the exact
// result, 99 % of the values within 10 levels and 99.9 % within 20.
TEST(FastEngine, StaysCloseToTheExactEngineAndKeepsItsBytesForAnyThreads) {
    DehazeContext fast;
    fast.fast = true;
    for (const cv::Size size : {cv::Size(7, 5), cv::Size(97, 61), cv::Size(240, 160), cv::Size(320, 200)}) {
        const cv::Mat image = size.width == 320 ? testing_support::randomPhoto(size.height, size.width, 3)
                                                : lampScene(size.height, size.width);
        const cv::Mat quick = enhancedWithThreads(image, fast, 1);
        EXPECT_EQ(cv::norm(quick, enhancedWithThreads(image, fast, 4), cv::NORM_INF), 0.0) << size;
        if (size.width >= 97) {
            const cv::Mat exact = enhance(image, DehazeContext());
            EXPECT_GE(cv::PSNR(quick, exact), 38.0) << size;
            EXPECT_LE(differencePercentile(quick, exact, 0.99), 10) << size;
            EXPECT_LE(differencePercentile(quick, exact, 0.999), 20) << size;
        }
    }
}

TEST(FastEngine, RefusesTheNonLocalFilter) {
    DehazeContext context;
    context.fast = true;
    context.useNonLocalFilter = 1;
    EXPECT_THROW(enhance(lampScene(32, 32), context), std::invalid_argument);
    EXPECT_THROW(VideoEnhancer{context}, std::invalid_argument);
}

TEST(FastEngine, StretchGivesTheExactStretchBytes) {
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 2), cv::Size(131, 77)}) {
        const cv::Mat image = testing_support::randomPhoto(size.height, size.width, 7u + size.width);
        cv::Mat exact, fast;
        contrastStretch(exact, image);
        detail::fastApplyStretchLimits(fast, image, detail::fastMeasureStretchLimits(image));
        EXPECT_EQ(cv::norm(exact, fast, cv::NORM_INF), 0.0) << size;
    }
}

// Faint pixels over black give light compensation ratios near 1e8, whose
// smoothing decides the light around them (regression: 29 dB from the exact
// result on a real night photograph).
TEST(FastEngine, FaintPixelsOverBlackStayCloseToTheExactEngine) {
    // A black sky over a lit street: the rounding runs down every column below.
    cv::Mat image = lampScene(300, 400);
    image(cv::Rect(0, 0, 400, 60)).setTo(cv::Scalar::all(0));
    cv::RNG rng(9);
    for (int k = 0; k < 200; ++k) {
        const uchar v = static_cast<uchar>(rng.uniform(1, 7));
        image.at<cv::Vec3b>(rng.uniform(0, 40), rng.uniform(0, 400)) = cv::Vec3b(v, v, v);
    }
    DehazeContext fast;
    fast.fast = true;
    const double psnr = cv::PSNR(enhance(image, fast), enhance(image, DehazeContext()));
    EXPECT_GE(psnr, 38.0);
}
