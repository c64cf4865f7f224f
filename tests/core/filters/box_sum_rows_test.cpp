#include "nightdehaze/nightdehaze.hpp"
#include "core/filters/box_sum_rows.hpp"
#include "support/kernel_paths.hpp"
#include "reference/box_filter_literal.hpp"
#include "test_images.hpp"

#include <opencv2/core/utility.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

// Window sums of every plane, gathered from the stream into whole matrices.
std::vector<cv::Mat> streamedSums(int r, const std::vector<cv::Mat>& planes) {
    const cv::Size size = planes.front().size();
    std::vector<cv::Mat> sums(planes.size());
    for (cv::Mat& s : sums) s.create(size, CV_64F);
    streamBoxSums(
        r, size, static_cast<int>(planes.size()),
        [&](int row, int c0, int c1, double* const* acc) {
            for (size_t k = 0; k < planes.size(); ++k)
                for (int x = 0; x < c1 - c0; ++x)
                    acc[k][x] = planes[k].at<double>(row, c0 + x) + acc[k][x];
        },
        [&](int row, const double* const* rowSums) {
            for (size_t k = 0; k < planes.size(); ++k)
                std::copy_n(rowSums[k], size.width, sums[k].ptr<double>(row));
        });
    return sums;
}

// Every NaN made the same quiet NaN: which NaN operand an addition passes on
// (its sign bit) depends on how the compiler orders the operands, not on the
// summation, so NaNs are compared as NaNs and everything else bit for bit.
cv::Mat withCanonicalNaNs(cv::Mat m) {
    m = m.clone();
    for (auto it = m.begin<double>(); it != m.end<double>(); ++it)
        if (std::isnan(*it)) *it = std::numeric_limits<double>::quiet_NaN();
    return m;
}

void expectSameAsBoxFilter(int r, const std::vector<cv::Mat>& planes) {
    const std::vector<cv::Mat> streamed = streamedSums(r, planes);
    for (size_t k = 0; k < planes.size(); ++k) {
        cv::Mat expected;
        literal::cumBoxFilter(r, expected, planes[k]);
        SCOPED_TRACE("plane " + std::to_string(k) + " r=" + std::to_string(r));
        EXPECT_BIT_EQUAL(withCanonicalNaNs(streamed[k]), withCanonicalNaNs(expected));
    }
}

std::vector<cv::Mat> randomPlanes(int count, cv::Size size, std::uint64_t seed) {
    std::vector<cv::Mat> planes;
    for (int k = 0; k < count; ++k)
        planes.push_back(testing_support::randomImage(size.height, size.width, CV_64F, -1, 1,
                                                      seed + k));
    return planes;
}

}  // namespace

TEST(StreamBoxSums, MatchesBoxFilterOnEveryPlaneWhateverTheThreadCount) {
    const cv::Size sizes[] = {{1, 1}, {7, 1}, {1, 7}, {2, 3}, {31, 17}, {300, 67}, {64, 300}};
    const int saved = cv::getNumThreads();
    std::uint64_t seed = 100;
    onBothKernelPaths([&] {
        for (int threads : {1, 3}) {
            cv::setNumThreads(threads);
            for (const cv::Size& size : sizes) {
                for (int planes : {1, 5, 13}) {
                    for (int r : {0, 1, 3, 8, 32, 200}) {
                        SCOPED_TRACE(std::to_string(size.width) + "x" +
                                     std::to_string(size.height) +
                                     " threads=" + std::to_string(threads));
                        expectSameAsBoxFilter(r, randomPlanes(planes, size, seed += 20));
                    }
                }
            }
        }
    });
    cv::setNumThreads(saved);
}

TEST(StreamBoxSums, KeepsNegativeZeroSumsAndNonFiniteValues) {
    std::vector<cv::Mat> planes = {cv::Mat(40, 30, CV_64F, cv::Scalar(-0.0)),
                                   cv::Mat(40, 30, CV_64F, cv::Scalar(1.0))};
    planes[1].at<double>(25, 3) = std::numeric_limits<double>::infinity();
    planes[1].at<double>(2, 20) = std::numeric_limits<double>::quiet_NaN();
    onBothKernelPaths([&] {
        for (int r : {0, 2, 9}) expectSameAsBoxFilter(r, planes);
    });
}

TEST(StreamBoxSums, RejectsNegativeRadius) {
    EXPECT_THROW(streamBoxSums(-1, {3, 3}, 1, nullptr, nullptr), std::invalid_argument);
}
