// --clean's single-precision steps against the double ones on the same
// input, with the bounds they are held to, on random, JPEG and noisy pictures,
// tiny ones included, and on one thread and many.
#include "core/filters/float_self_guided_filter.hpp"
#include "core/filters/self_guided_filter.hpp"
#include "core/stages/clean_chroma.hpp"
#include "core/stages/clean_deblock.hpp"
#include "core/stages/clean_noise.hpp"
#include "core/stages/clean_steps.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "support/kernel_paths.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vector>

using namespace nightdehaze;

namespace {

struct Difference {
    double largest = 0.0;  // levels
    double shareOver1 = 0.0;  // of all values, differing by more than one level
    double mean = 0.0;
};

Difference differenceOf(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat d;
    cv::absdiff(a, b, d);
    d = d.reshape(1);
    Difference result;
    cv::minMaxLoc(d, nullptr, &result.largest);
    result.shareOver1 = static_cast<double>(cv::countNonZero(d > 1)) / d.total();
    result.mean = cv::mean(d)[0];
    return result;
}

// Pictures of every kind the steps meet: random, JPEG at a low quality,
// noisy dark and bright, tiny.
std::vector<cv::Mat> pictures() {
    std::vector<cv::Mat> all;
    std::uint64_t seed = 80;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(6, 3), cv::Size(19, 23), cv::Size(150, 97)}) {
        const cv::Mat photo = testing_support::randomPhoto(size.height, size.width, ++seed);
        std::vector<uchar> bytes;
        cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 25});
        cv::Mat dark, noise(size, CV_16SC3);
        cv::RNG(seed).fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(4));
        cv::Mat(photo * 0.3).convertTo(dark, CV_16SC3);
        cv::Mat(dark + noise).convertTo(dark, CV_8UC3);
        all.insert(all.end(), {photo, cv::imdecode(bytes, cv::IMREAD_COLOR), dark});
    }
    return all;
}

// eps of a window: its mean, so that every regime from flat to kept occurs.
class MeanAsEps : public detail::WindowEps {
public:
    void row(int, int, const float* mean, int cols, float* eps) const override {
        for (int x = 0; x < cols; ++x) eps[x] = mean[x];
    }
};

}  // namespace

TEST(CleanFast, FloatSelfGuidedFilterStaysWithinALevelOfTheDoubleOne) {
    for (const cv::Mat& picture : pictures())
        for (int r : {0, 1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << picture.cols << "x" << picture.rows << " r=" << r);
            std::vector<cv::Mat> planes;
            cv::split(picture, planes);
            for (cv::Mat& plane : planes) {
                cv::Mat values, sums, counts;
                plane.convertTo(values, CV_64F);
                cumBoxFilter(r, sums, values);
                cumBoxFilter(r, counts, cv::Mat::ones(values.size(), CV_64F));
                detail::selfGuidedFilter(r, values, sums / counts).convertTo(plane, CV_8U);
            }
            cv::Mat exact;
            cv::merge(planes, exact);
            const Difference d = differenceOf(detail::floatSelfGuidedFilter(r, picture, MeanAsEps()), exact);
            EXPECT_LE(d.largest, 1.0);
        }
}

TEST(CleanFast, EachStepStaysWithinItsBoundOfTheExactOne) {
    const int threads = cv::getNumThreads();
    for (const cv::Mat& picture : pictures()) {
        SCOPED_TRACE(testing::Message() << picture.cols << "x" << picture.rows);
        const double noise = detail::estimateNoiseLevel(picture);
        EXPECT_EQ(differenceOf(detail::fastDeblockJpegGrid(picture), detail::deblockJpegGrid(picture)).largest, 0.0);
        EXPECT_LE(differenceOf(detail::fastSmoothInputNoise(picture, noise),
                               detail::smoothInputNoise(picture, noise)).largest, 1.0);
        EXPECT_LE(differenceOf(detail::fastSuppressDarkChroma(picture), detail::suppressDarkChroma(picture)).largest,
                  1.0);
        // The gain on tiles instead of windows: a few values near edges move
        // further; a picture of a few tiles has its gain from few samples.
        cv::Mat result = enhance(picture, DehazeContext());
        const Difference suppressed = differenceOf(detail::fastSuppressAmplifiedNoise(picture, result, noise),
                                                   detail::suppressAmplifiedNoise(picture, result, noise));
        if (picture.rows >= 64 && picture.cols >= 64) {
            EXPECT_LE(suppressed.mean, 0.3);
            EXPECT_LE(suppressed.shareOver1, 0.03);
        }

        // The same bytes on one thread and many, with AVX2 and without.
        const detail::CleanInput input = detail::cleanInput(picture, true);
        const cv::Mat cleaned = detail::cleanResult(input, result, true);
        onBothKernelPaths([&] {
            cv::setNumThreads(1);
            const detail::CleanInput oneThread = detail::cleanInput(picture, true);
            const cv::Mat resultOnOne = detail::cleanResult(input, result, true);
            cv::setNumThreads(threads);
            EXPECT_BIT_EQUAL(oneThread.picture, input.picture);
            EXPECT_BIT_EQUAL(resultOnOne, cleaned);
        });
    }
}
