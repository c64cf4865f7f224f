// The fast engine's kernels against literal versions of their definitions
// (tests/reference/fast_literal), on random and adversarial planes, borders
// and tiny sizes; the wide guided filters at full resolution against the
// exact filters; and the whole fast pipeline on both kernel paths.
#include "nightdehaze/nightdehaze.hpp"
#include "core/fast/fast_airlight.hpp"
#include "core/fast/fast_box_sums.hpp"
#include "core/fast/fast_guided_filter.hpp"
#include "core/fast/fast_math.hpp"
#include "core/fast/fast_pixel_rows.hpp"
#include "core/fast/fast_resampling.hpp"
#include "core/fast/fast_sliding_rows.hpp"
#include "core/fast/fast_streamed_filter.hpp"
#include "core/fast/fast_window_maximum.hpp"
#include "reference/fast_literal.hpp"
#include "support/kernel_paths.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace {

const cv::Size kSizes[] = {{1, 1}, {7, 1}, {1, 5}, {3, 5}, {70, 33}, {41, 130}};

// Random values in -1..1, with (spiky) or without spikes as a faint pixel
// over a black area gives them (1e8), negatives and zeros.
cv::Mat adversarialPlane(cv::Size size, int type, std::uint64_t seed, bool spiky = true) {
    cv::Mat plane = testing_support::randomImage(size.height, size.width, type, -1.0, 1.0, seed);
    if (!spiky) return plane;
    cv::RNG rng(seed + 1);
    for (int k = 0; k < size.area() / 40 + 1; ++k) {
        const int y = rng.uniform(0, size.height), x = rng.uniform(0, size.width);
        const double v = k % 3 == 0 ? 1e8 : k % 3 == 1 ? 0.0 : -250.0;
        if (type == CV_32FC1)
            plane.at<float>(y, x) = static_cast<float>(v);
        else
            plane.at<double>(y, x) = v;
    }
    return plane;
}

double at(const cv::Mat& m, int y, int x) { return m.depth() == CV_32F ? m.at<float>(y, x) : m.at<double>(y, x); }

// The sums slide in double within bands of rows: what passed through them
// (a spike of 1e8 leaves its rounding behind) bounds their error. The
// absolute sum over every column of the rows the band of row y reads.
double bandAbsoluteSum(int r, const cv::Mat& plane, int y) {
    const int height = slidingBandRows(plane.rows), band = y / height * height;
    double sum = 0.0;
    for (int v = std::max(0, band - r); v < std::min(plane.rows, band + height + r); ++v)
        for (int x = 0; x < plane.cols; ++x) sum += std::abs(at(plane, v, x));
    return sum;
}

// Within the output's rounding plus 1e-13 of what passed through the sums.
void expectWindowSum(double got, double expected, double passedThrough, int depth) {
    const double rounding = depth == CV_32F ? std::ldexp(std::abs(expected), -24) : 0.0;
    EXPECT_LE(std::abs(got - expected), rounding + 1e-13 * passedThrough) << got << " vs " << expected;
}

// fastWindowSums and fastWindowMeans of plane, and the means of its products
// with other, against the direct sums.
void checkWindowSums(int r, const cv::Mat& plane, const cv::Mat& other) {
    cv::Mat sums, means, productMeans, plane64, other64;
    fastWindowSums(r, plane, sums);
    fastWindowMeans(r, plane, means);
    fastWindowMeansOfProducts(r, plane, other, productMeans);
    plane.convertTo(plane64, CV_64F);
    other.convertTo(other64, CV_64F);
    const cv::Mat products = plane64.mul(other64);
    const cv::Mat expectedMeans = literal::fastWindowSums(r, plane, true);
    const cv::Mat expectedProducts = literal::fastWindowSums(r, products, true);
    const cv::Mat counts = literal::fastWindowSums(r, cv::Mat::ones(plane.size(), CV_64FC1), false);
    for (int y = 0; y < plane.rows; ++y) {
        const double passed = bandAbsoluteSum(r, plane, y), productsPassed = bandAbsoluteSum(r, products, y);
        for (int x = 0; x < plane.cols; ++x) {
            const double count = counts.at<double>(y, x);
            expectWindowSum(at(sums, y, x), literal::windowSumAt(r, plane, y, x), passed, plane.depth());
            expectWindowSum(at(means, y, x), expectedMeans.at<double>(y, x), passed / count, plane.depth());
            expectWindowSum(at(productMeans, y, x), expectedProducts.at<double>(y, x), productsPassed / count,
                            plane.depth());
        }
    }
}

}  // namespace

TEST(FastKernels, WindowSumsAndMeansMatchDirectSums) {
    onBothKernelPaths([] {
        for (const cv::Size size : kSizes)
            for (const int type : {CV_32FC1, CV_64FC1})
                for (const int r : {0, 1, 4, 5, 16, 40})
                    for (const bool spiky : {false, true}) {
                        SCOPED_TRACE(testing::Message() << size << " type " << type << " r " << r << " spiky " << spiky);
                        checkWindowSums(r, adversarialPlane(size, type, 31u * r + size.width, spiky),
                                        adversarialPlane(size, type, 7u * r + size.height, spiky));
                    }
    });
}

// Running sums over a row of 6000 and columns of 4000: a float accumulator
// would be off in the fourth digit; the double sums stay within the output's
// rounding.
TEST(FastKernels, BoxSumsStayAccurateAt24Megapixels) {
    const cv::Mat plane = testing_support::randomImage(4000, 6000, CV_32FC1, 0.0, 1.0, 24);
    for (const int r : {2, 16}) {
        cv::Mat sums;
        fastWindowSums(r, plane, sums);
        cv::RNG rng(r);
        double worst = 0.0;
        for (int k = 0; k < 3000; ++k) {
            const int y = k < 4 ? (k % 2) * 3999 : rng.uniform(0, 4000);
            const int x = k < 4 ? (k / 2) * 5999 : rng.uniform(0, 6000);
            const double expected = literal::windowSumAt(r, plane, y, x);
            worst = std::max(worst, std::abs(sums.at<float>(y, x) - expected) / expected);
        }
        EXPECT_LE(worst, std::ldexp(1.0, -23)) << "r " << r;
    }
}

TEST(FastKernels, BlockMeansAndInterpolationFollowTheirDefinitions) {
    for (const cv::Size size : kSizes)
        for (const int s : {1, 2, 3, 4}) {
            SCOPED_TRACE(testing::Message() << size << " s " << s);
            const cv::Mat plane = testing_support::randomImage(size.height, size.width, CV_32FC1, 0, 1, s);
            const cv::Mat coarse = blockMeans(plane, s);
            EXPECT_EQ(cv::norm(coarse, literal::blockMeans(plane, s), cv::NORM_INF), 0.0);
            const UpsampledRows axes(size, coarse.size(), s);
            UpsampledPlaneRows rows(axes, coarse);
            const cv::Mat expected = literal::upsampled(coarse, size, s);
            cv::Mat forward(size, CV_32FC1), backward(size, CV_32FC1);
            for (int y = 0; y < size.height; ++y) rows.row(y, forward.ptr<float>(y));
            for (int y = size.height - 1; y >= 0; --y) rows.row(y, backward.ptr<float>(y));
            EXPECT_EQ(cv::norm(forward, expected, cv::NORM_INF), 0.0);
            EXPECT_EQ(cv::norm(backward, expected, cv::NORM_INF), 0.0);
            const cv::Mat channels = testing_support::randomImage(size.height, size.width, CV_8UC3, 0, 256, s);
            cv::Mat green;
            cv::extractChannel(channels, green, 1);
            green.convertTo(green, CV_32F, 1.0 / 255);
            EXPECT_LE(cv::norm(blockMeansOfChannel(channels, 1, s, 1.0 / 255), literal::blockMeans(green, s),
                               cv::NORM_INF), 2.5e-7);
        }
}

TEST(FastKernels, WindowMaximumAndLightWindowsFollowTheirDefinitions) {
    for (const cv::Size size : kSizes)
        for (const int r : {1, 2, 5, 7, 8}) {
            SCOPED_TRACE(testing::Message() << size << " r " << r);
            const cv::Mat plane = adversarialPlane(size, CV_32FC1, r + 3u);
            // Also on one thread, where one row's scratch carries over to the next.
            const int threads = cv::getNumThreads();
            for (const int t : {threads, 1}) {
                cv::setNumThreads(t);
                cv::Mat maximum;
                fastWindowMaximum(r, plane, maximum);
                EXPECT_EQ(cv::norm(maximum, literal::windowMaximum(r, plane), cv::NORM_INF), 0.0) << t << " threads";
            }
            cv::setNumThreads(threads);

            // Few levels, so that ties decide which pixels are candidates and
            // the top level alone holds enough of them; all levels, so that
            // the boundary lies below the top. Few colours, so that equal and
            // black channel sums decide which candidates are the brightest.
            for (const int colours : {2, 4})
                for (const int levels : {3, 256}) {
                    cv::Mat bgr8 = testing_support::randomImage(size.height, size.width, CV_8UC3, 0, colours, 7u * r);
                    bgr8 *= 60;
                    const cv::Mat dark8 = testing_support::randomImage(size.height, size.width, CV_8UC1, 0, levels, 5u * r);
                    const AirlightGrid grid = makeAirlightGrid(r, size);
                    cv::Mat got[3], expected[3];
                    fastWindowAirlight(grid, bgr8, dark8, got);
                    literal::fastWindowAirlight(r, bgr8, dark8, expected);
                    for (int c = 0; c < 3; ++c) {
                        cv::Mat expected32;
                        expected[c].convertTo(expected32, CV_32F);
                        EXPECT_EQ(cv::norm(got[c], expected32, cv::NORM_INF), 0.0)
                            << "colours " << colours << " levels " << levels << " channel " << c;
                    }
                    EXPECT_EQ(cv::norm(fastWindowMaxima(grid, dark8), literal::gridWindowMaxima(r, dark8), cv::NORM_INF),
                              0.0) << "levels " << levels;
                    // The lights' means over the windows covering each pixel, on the
                    // 0..1 scale, averaged onto a coarser grid.
                    cv::Mat means;
                    literal::gridWindowMeans(r, expected[0], size).convertTo(means, CV_32F, 1.0 / 255);
                    for (const int s : {1, 2, 3})
                        EXPECT_LE(cv::norm(gridWindowBlockMeans(grid, got[0], size, 1.0f / 255, s),
                                           literal::blockMeans(means, s), cv::NORM_INF), 1e-6) << "s " << s;
                }
        }
}

// A streamed filter's rows, gathered into a plane (each row exactly once,
// every value finite).
template <typename Filter>
cv::Mat gatheredRows(cv::Size size, const Filter& filter) {
    cv::Mat result(size, CV_32FC1, cv::Scalar(std::numeric_limits<float>::quiet_NaN()));
    std::vector<int> seen(size.height, 0);
    filter([&](int y, const float* row) {
        ++seen[y];
        std::copy_n(row, size.width, result.ptr<float>(y));
    });
    for (int y = 0; y < size.height; ++y) EXPECT_EQ(seen[y], 1) << "row " << y;
    EXPECT_TRUE(cv::checkRange(result)) << "a value that is not finite";  // cv::norm passes over NaN
    return result;
}

// The colour filter from its streamed coefficients, at full resolution.
cv::Mat streamedResult(const cv::Mat& photo, const cv::Mat& plane, int r, double eps) {
    const CoarseGuide full(photo, 1);
    const ColorCoefficients coefficients = full.fitStreamed(plane, r, eps);
    ColorFilterRows rows = full.rows(coefficients);
    return gatheredRows(photo.size(), [&](const FilteredRowSink& sink) {
        std::vector<float> row(photo.cols);
        for (int y = 0; y < photo.rows; ++y) {
            rows.row(y, row.data());
            sink(y, row.data());
        }
    });
}

cv::Mat streamedSelfGuided(const cv::Mat& plane, int r, double eps) {
    return gatheredRows(plane.size(), [&](const FilteredRowSink& sink) { streamedSelfGuidedFilter(plane, r, eps, sink); });
}

// At full resolution (s = 1) the fast guided filters, the streamed one
// included, are the exact ones in single precision.
TEST(FastKernels, GuidedFiltersAtFullResolutionMatchTheExactFilters) {
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(5, 9), cv::Size(90, 64), cv::Size(23, 101)})
        for (const int r : {1, 5, 16, 40}) {
            SCOPED_TRACE(testing::Message() << size << " r " << r);
            const cv::Mat photo = testing_support::randomPhoto(size.height, size.width, 40u + r);
            cv::Mat plane;
            cv::extractChannel(photo, plane, 2);
            plane.convertTo(plane, CV_32F, 1.0 / 255);

            const CoarseGuide full(photo, 1);
            const ColorCoefficients fitted = FastColorFilter(full, r, 0.01).fit(plane);
            ColorFilterRows rows = full.rows(fitted);
            cv::Mat fast(size, CV_32FC1), guide, exact;
            for (int y = 0; y < size.height; ++y) rows.row(y, fast.ptr<float>(y));
            photo.convertTo(guide, CV_64F, 1.0 / 255);
            guidedFilterColor(r, exact, guide, plane, 0.01);
            exact.convertTo(exact, CV_32F);
            EXPECT_LE(cv::norm(fast, exact, cv::NORM_INF), 2e-4);
            EXPECT_LE(cv::norm(streamedResult(photo, plane, r, 0.01), exact, cv::NORM_INF), 2e-4);

            guidedFilterGray(r, exact, plane, plane, 0.01);
            exact.convertTo(exact, CV_32F);
            EXPECT_LE(cv::norm(streamedSelfGuided(plane, r, 0.01), exact, cv::NORM_INF), 2e-5);

            // On coarser grids the rows apply the interpolated coefficients
            // to the guide: ((a0*I0 + a1*I1) + a2*I2) + b, I = byte / 255.
            for (const int s : {2, 3}) {
                const CoarseGuide coarse(photo, s);
                const ColorCoefficients c = FastColorFilter(coarse, r, 0.01).fit(plane);
                ColorFilterRows coarseRows = coarse.rows(c);
                cv::Mat got(size, CV_32FC1), expected(size, CV_32FC1);
                for (int y = 0; y < size.height; ++y) coarseRows.row(y, got.ptr<float>(y));
                cv::Mat up[4];
                for (int k = 0; k < 4; ++k) up[k] = literal::upsampled(k < 3 ? c.a[k] : c.b, size, s);
                for (int y = 0; y < size.height; ++y)
                    for (int x = 0; x < size.width; ++x) {
                        const cv::Vec3b pixel = photo.at<cv::Vec3b>(y, x);
                        const float unit = static_cast<float>(1.0 / 255.0);
                        float sum = up[0].at<float>(y, x) * (pixel[0] * unit);
                        for (int k = 1; k < 3; ++k) sum = sum + up[k].at<float>(y, x) * (pixel[k] * unit);
                        expected.at<float>(y, x) = sum + up[3].at<float>(y, x);
                    }
                EXPECT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0) << "s " << s;
            }
        }
}

// The streamed filters' running sums span whole rows: a row as wide as a
// 24-megapixel picture's (6000) keeps them as close to the exact filters.
TEST(FastKernels, StreamedFiltersStayAccurateAlongRowsOf24Megapixels) {
    const cv::Mat photo = testing_support::randomPhoto(40, 6000, 77);
    cv::Mat plane, guide, exact;
    cv::extractChannel(photo, plane, 1);
    plane.convertTo(plane, CV_32F, 1.0 / 255);
    photo.convertTo(guide, CV_64F, 1.0 / 255);
    guidedFilterColor(32, exact, guide, plane, 0.01);
    exact.convertTo(exact, CV_32F);
    EXPECT_LE(cv::norm(streamedResult(photo, plane, 32, 0.01), exact, cv::NORM_INF), 2e-4);
    guidedFilterGray(10, exact, plane, plane, 0.01);
    exact.convertTo(exact, CV_32F);
    EXPECT_LE(cv::norm(streamedSelfGuided(plane, 10, 0.01), exact, cv::NORM_INF), 2e-5);
}

// A picture of several bands (128 rows each), with windows narrower and
// wider than a band: every thread count splits it into other runs, whose
// edges fit their neighbours' rows again, and the rows stay the same bits
// and as close to the exact filters.
TEST(FastKernels, StreamedFiltersKeepTheirBitsAcrossBandsAndThreads) {
    const cv::Mat photo = testing_support::randomPhoto(400, 31, 12);
    cv::Mat plane, guide, exact;
    cv::extractChannel(photo, plane, 0);
    plane.convertTo(plane, CV_32F, 1.0 / 255);
    photo.convertTo(guide, CV_64F, 1.0 / 255);
    const int before = cv::getNumThreads();
    for (const int r : {5, 40, 130}) {
        SCOPED_TRACE(testing::Message() << "r " << r);
        cv::setNumThreads(1);
        const cv::Mat color = streamedResult(photo, plane, r, 0.01), self = streamedSelfGuided(plane, r, 0.01);
        for (const int threads : {2, 3}) {
            cv::setNumThreads(threads);
            EXPECT_EQ(cv::norm(streamedResult(photo, plane, r, 0.01), color, cv::NORM_INF), 0.0) << threads;
            EXPECT_EQ(cv::norm(streamedSelfGuided(plane, r, 0.01), self, cv::NORM_INF), 0.0) << threads;
        }
        guidedFilterColor(r, exact, guide, plane, 0.01);
        exact.convertTo(exact, CV_32F);
        EXPECT_LE(cv::norm(color, exact, cv::NORM_INF), 2e-4);
        guidedFilterGray(r, exact, plane, plane, 0.01);
        exact.convertTo(exact, CV_32F);
        EXPECT_LE(cv::norm(self, exact, cv::NORM_INF), 2e-5);

        // The coefficients alone under a guide of float planes: those of the
        // filter that keeps its statistics, the same bits on any threads.
        const CoarseGuide planes(photo, 1);
        const ColorCoefficients kept = FastColorFilter(planes, r, 0.01).fitCoarse(plane);
        cv::setNumThreads(1);
        const ColorCoefficients streamed = planes.fitStreamed(plane, r, 0.01);
        cv::setNumThreads(3);
        const ColorCoefficients onThree = planes.fitStreamed(plane, r, 0.01);
        for (int k = 0; k < 4; ++k) {
            const cv::Mat& expected = k < 3 ? kept.a[k] : kept.b;
            const cv::Mat& got = k < 3 ? streamed.a[k] : streamed.b;
            EXPECT_LE(cv::norm(got, expected, cv::NORM_INF), 1e-5 * (1.0 + cv::norm(expected, cv::NORM_INF))) << k;
            EXPECT_EQ(cv::norm(got, k < 3 ? onThree.a[k] : onThree.b, cv::NORM_INF), 0.0) << k;
        }
    }
    cv::setNumThreads(before);
}

// Under a flat guide with eps = 0 every window is singular: a = 0 and b is
// the window mean of p, so the result is the mean of those means (a black
// plane, its own guide, stays black).
TEST(FastKernels, StreamedFilterUnderAFlatGuideGivesTheMeanOfMeans) {
    const cv::Mat flat(70, 45, CV_8UC3, cv::Scalar(90, 20, 200));
    const cv::Mat plane = adversarialPlane(flat.size(), CV_32FC1, 9, false);
    const int r = 6;
    cv::Mat expected;
    literal::fastWindowSums(r, literal::fastWindowSums(r, plane, true), true).convertTo(expected, CV_32F);
    EXPECT_LE(cv::norm(streamedResult(flat, plane, r, 0.0), expected, cv::NORM_INF), 1e-6);
    const cv::Mat black = cv::Mat::zeros(flat.size(), CV_32FC1);
    EXPECT_EQ(cv::norm(streamedSelfGuided(black, r, 0.0), black, cv::NORM_INF), 0.0);
}

TEST(FastKernels, PowerAndRoundingMatchTheCLibraryAndTheConversion) {
    for (const float p : {1.0f / 3, 1.0f / 1.2f, 2.0f, 0.05f})
        for (float x = 1e-30f; x < 1e30f; x *= 1.37f) {
            const double expected = std::pow(static_cast<double>(x), static_cast<double>(p));
            if (expected > 1e37 || expected < 1e-37) continue;  // beyond single precision's normal range
            // Single precision's rounding of p * log2(x), carried into the power.
            const double bound = (1e-6 + 1e-7 * std::abs(std::log2(expected))) * expected;
            EXPECT_LE(std::abs(powNonNegative(x, p) - expected), bound) << x << "^" << p;
        }
    EXPECT_EQ(powNonNegative(0.0f, 0.5f), 0.0f);
    EXPECT_EQ(powNonNegative(-1.0f, 0.5f), 0.0f);
    EXPECT_EQ(powNonNegative(std::numeric_limits<float>::quiet_NaN(), 0.5f), 0.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::pair<float, int> cases[] = {{0.5f, 0}, {1.5f, 2}, {2.5f, 2}, {254.5f, 254}, {254.51f, 255},
                                           {-0.5f, 0}, {-3.0f, 0}, {300.0f, 255}, {2147483520.0f, 255},
                                           {2147483648.0f, 0}, {-2147483648.0f, 0}, {-3e9f, 0}, {inf, 0},
                                           {nan, 0}, {1e30f, 0}};
    for (const auto& [value, expected] : cases) EXPECT_EQ(roundedByte(value), expected) << value;
    // The row kernels, long enough for vector code: split, round, merge.
    std::vector<float> values;
    for (int k = 0; k < 60; ++k)
        for (const auto& [value, expected] : cases) values.push_back(k % 2 ? value : value * 0.37f + k);
    const int n = static_cast<int>(values.size()) / 3;
    onBothKernelPaths([&] {
        std::vector<float> rows[3];
        for (int c = 0; c < 3; ++c)
            for (int x = 0; x < n; ++x) rows[c].push_back(values[3 * x + c]);
        std::vector<uchar> bytes(3 * n), split(3 * n);
        std::vector<float> back[3] = {std::vector<float>(n), std::vector<float>(n), std::vector<float>(n)};
        withVectorKernels([&]() NIGHTDEHAZE_LAMBDA_INLINE {
            for (std::vector<float>& row : rows) roundToBytes(row.data(), n);
            mergeChannels(rows[0].data(), rows[1].data(), rows[2].data(), n, bytes.data());
            splitChannels(bytes.data(), n, back[0].data(), back[1].data(), back[2].data());
        });
        for (int i = 0; i < 3 * n; ++i) {
            ASSERT_EQ(bytes[i], roundedByte(values[i])) << values[i];
            ASSERT_EQ(back[i % 3][i / 3], bytes[i]);
        }
    });
}

TEST(FastKernels, WholePipelineGivesTheSameBytesOnBothKernelPaths) {
    const cv::Mat photo = testing_support::randomPhoto(83, 117, 5);
    DehazeContext fast;
    fast.fast = true;
    fast.clean = true;
    cv::Mat first;
    HazeMaps firstMaps;
    onBothKernelPaths([&] {
        HazeMaps maps;
        const cv::Mat out = enhance(photo, fast, &maps);
        if (first.empty()) {
            first = out;
            firstMaps = maps;
            return;
        }
        EXPECT_EQ(cv::norm(out, first, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(maps.airlight, firstMaps.airlight, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(maps.transmission, firstMaps.transmission, cv::NORM_INF), 0.0);
    });
}
