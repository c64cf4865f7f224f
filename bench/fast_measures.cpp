// The fast engine against the exact one (scripts/measure-fast runs these):
//   fast_measures speed W H RUNS        enhance, exact and fast, in this process on
//                                       1 and 2 threads, the sample scaled to W x H
//   fast_measures fidelity FILE...      PSNR (8-bit, all channels) and the 99th and
//                                       99.9th percentiles of |fast - exact| per picture
//   fast_measures difference FILE OUT   |fast - exact| amplified 16 times, grey,
//                                       with a scale of 0..16 levels under it
//   fast_measures crop FILE OUT         the 160x160 square where |fast - exact| sums
//                                       highest: input | exact | fast, at 100 %
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kAmplification = 16;
constexpr int kCropSide = 160;

nightdehaze::DehazeContext engine(bool fast) {
    nightdehaze::DehazeContext context;
    context.fast = fast;
    return context;
}

// The shortest of runs calls, in milliseconds.
double bestMilliseconds(const cv::Mat& picture, bool fast, int runs) {
    double best = 1e300;
    for (int k = 0; k < runs; ++k) {
        const auto start = std::chrono::steady_clock::now();
        nightdehaze::enhance(picture, engine(fast));
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

int measureSpeed(cv::Size size, int runs) {
    const cv::Mat sample = cv::imread(NIGHTDEHAZE_SAMPLE, cv::IMREAD_COLOR);
    if (sample.empty()) return 1;
    cv::Mat picture;
    cv::resize(sample, picture, size, 0, 0, cv::INTER_CUBIC);
    for (const int threads : {1, 2}) {
        cv::setNumThreads(threads);
        const double fast = bestMilliseconds(picture, true, runs);
        const double exact = bestMilliseconds(picture, false, std::max(1, runs / 4));
        std::printf("speed %dx%d, %d thread%s: exact %.0f ms, fast %.1f ms, %.2f times faster\n", size.width,
                    size.height, threads, threads == 1 ? "" : "s", exact, fast, exact / fast);
    }
    return 0;
}

// |fast - exact| of every channel of every pixel, as one line of bytes.
std::vector<uchar> differences(const cv::Mat& fast, const cv::Mat& exact) {
    cv::Mat difference;
    cv::absdiff(fast, exact, difference);
    difference = difference.reshape(1, 1);
    return std::vector<uchar>(difference.begin<uchar>(), difference.end<uchar>());
}

// The smallest level that at least perMille thousandths of the values do not exceed.
int percentile(const std::vector<uchar>& values, size_t perMille) {
    std::array<size_t, 256> counts{};
    for (uchar v : values) ++counts[v];
    const size_t rank = (values.size() * perMille + 999) / 1000;  // ceil(perMille / 1000 * n)
    size_t seen = 0;
    for (int level = 0; level < 256; ++level)
        if ((seen += counts[level]) >= rank) return level;
    return 255;
}

int measureFidelity(const std::vector<std::string>& files) {
    double worstPsnr = 1e300;
    int worst99 = 0, worst999 = 0;
    for (const std::string& file : files) {
        const cv::Mat picture = cv::imread(file, cv::IMREAD_COLOR);
        if (picture.empty()) {
            std::fprintf(stderr, "fast_measures: cannot read '%s'\n", file.c_str());
            return 1;
        }
        const cv::Mat exact = nightdehaze::enhance(picture, engine(false));
        const cv::Mat fast = nightdehaze::enhance(picture, engine(true));
        const double psnr = cv::PSNR(fast, exact);
        const std::vector<uchar> difference = differences(fast, exact);
        const int p99 = percentile(difference, 990), p999 = percentile(difference, 999);
        worstPsnr = std::min(worstPsnr, psnr);
        worst99 = std::max(worst99, p99);
        worst999 = std::max(worst999, p999);
        std::printf("fidelity %-40s %5dx%-5d PSNR %6.2f dB, 99th percentile %3d, 99.9th %3d levels\n",
                    file.substr(file.rfind('/') + 1).c_str(), picture.cols, picture.rows, psnr, p99, p999);
    }
    std::printf("fidelity worst of %zu: PSNR %.2f dB, 99th percentile %d, 99.9th %d levels\n", files.size(),
                worstPsnr, worst99, worst999);
    return 0;
}

int writeDifference(const std::string& file, const std::string& out) {
    const cv::Mat picture = cv::imread(file, cv::IMREAD_COLOR);
    if (picture.empty()) return 1;
    cv::Mat difference, grey;
    cv::absdiff(nightdehaze::enhance(picture, engine(true)), nightdehaze::enhance(picture, engine(false)),
                difference);
    cv::transform(difference, grey, cv::Matx13f(1, 1, 1));  // the three channels' differences summed
    grey.convertTo(grey, CV_8U, kAmplification / 3.0);
    // The scale: 0 to 16 levels left to right, marked every 4 levels.
    const int barHeight = std::max(12, picture.rows / 20);
    cv::Mat bar(barHeight, picture.cols, CV_8UC1);
    for (int x = 0; x < bar.cols; ++x)
        bar.col(x).setTo(std::min(255, x * 16 * kAmplification / std::max(1, bar.cols - 1)));
    for (int level = 0; level <= 16; level += 4) {
        const int x = std::min(bar.cols - 1, level * (bar.cols - 1) / 16);
        cv::line(bar, {x, 0}, {x, barHeight / 3}, cv::Scalar(level < 8 ? 255 : 0), 2);
    }
    cv::Mat page;
    cv::vconcat(grey, bar, page);
    return cv::imwrite(out, page) ? 0 : 1;
}

// The top-left corner of the side x side square whose summed |fast - exact| is largest.
cv::Point largestDifferenceSquare(const cv::Mat& difference, int side) {
    cv::Mat grey, sums;
    cv::transform(difference, grey, cv::Matx13f(1, 1, 1));
    cv::integral(grey, sums, CV_64F);
    double best = -1;
    cv::Point corner;
    for (int y = 0; y + side <= difference.rows; y += 4)
        for (int x = 0; x + side <= difference.cols; x += 4) {
            const double sum = sums.at<double>(y + side, x + side) - sums.at<double>(y, x + side) -
                               sums.at<double>(y + side, x) + sums.at<double>(y, x);
            if (sum > best) best = sum, corner = {x, y};
        }
    return corner;
}

int writeCrop(const std::string& file, const std::string& out) {
    const cv::Mat picture = cv::imread(file, cv::IMREAD_COLOR);
    if (picture.empty()) return 1;
    const cv::Mat exact = nightdehaze::enhance(picture, engine(false));
    const cv::Mat fast = nightdehaze::enhance(picture, engine(true));
    cv::Mat difference;
    cv::absdiff(fast, exact, difference);
    const int side = std::min({kCropSide, picture.cols, picture.rows});
    const cv::Rect square(largestDifferenceSquare(difference, side), cv::Size(side, side));
    std::printf("crop of %s at (%d, %d), %d pixels wide\n", file.c_str(), square.x, square.y, side);
    cv::Mat page;
    cv::hconcat(std::vector<cv::Mat>{picture(square), exact(square), fast(square)}, page);
    return cv::imwrite(out, page) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "speed")
        return measureSpeed({std::atoi(args[1].c_str()), std::atoi(args[2].c_str())}, std::atoi(args[3].c_str()));
    if (args.size() >= 2 && args[0] == "fidelity") return measureFidelity({args.begin() + 1, args.end()});
    if (args.size() == 3 && args[0] == "difference") return writeDifference(args[1], args[2]);
    if (args.size() == 3 && args[0] == "crop") return writeCrop(args[1], args[2]);
    std::fprintf(stderr, "usage: see the header of bench/fast_measures.cpp\n");
    return 2;
}
