#include "fuzz/fuzz_one_input.hpp"

#include "files/input_image.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

using namespace nightdehaze::files;

using namespace nightdehaze;

namespace fuzzing {

namespace {

cv::Mat shrunkToMaxSide(const cv::Mat& image) {
    const int longest = std::max(image.cols, image.rows);
    if (longest <= kMaxSide) return image;
    const double scale = static_cast<double>(kMaxSide) / longest;
    const cv::Size size(std::max(1, static_cast<int>(image.cols * scale)),
                        std::max(1, static_cast<int>(image.rows * scale)));
    cv::Mat small;
    cv::resize(image, small, size, 0, 0, cv::INTER_AREA);
    return small;
}

std::string checkResult(const cv::Mat& dehazed, const HazeMaps& maps, cv::Size size) {
    if (dehazed.size() != size || dehazed.type() != CV_8UC3)
        return "the dehazed picture has the wrong size or type";
    if (maps.airlight.size() != size || maps.airlight.type() != CV_8UC3)
        return "the airlight has the wrong size or type";
    if (maps.transmission.size() != size || maps.transmission.type() != CV_64FC1)
        return "the transmission has the wrong size or type";
    if (!cv::checkRange(maps.transmission, true, nullptr, 0.0, 1.0 + 1e-12))
        return "the transmission leaves 0..1 or is not finite";
    return "";
}

}  // namespace

std::string processBytes(const std::uint8_t* data, std::size_t size) {
    cv::Mat image;
    try {
        image = decodeColorImage(std::vector<uchar>(data, data + size), "fuzz input");
    } catch (const std::runtime_error&) {
        return "";
    }
    image = shrunkToMaxSide(image);
    for (const bool fast : {false, true}) {
        DehazeContext context;
        context.fast = fast;
        HazeMaps maps;
        const cv::Mat dehazed = enhance(image, context, &maps);
        const std::string problem = checkResult(dehazed, maps, image.size());
        if (!problem.empty()) return (fast ? "fast engine: " : "") + problem;
    }
    return "";
}

}  // namespace fuzzing
