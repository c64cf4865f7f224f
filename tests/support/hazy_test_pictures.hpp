#pragma once
// Seeded pictures for the dark-channel and light tests: white noise, smooth
// photographs, and pictures full of ties (few grey levels, flat blocks,
// saturated areas), at sizes from one pixel up.
#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "test_images.hpp"

namespace hazy_pictures {

enum class Kind { Noise, Photo, FewLevels, FlatSaturated };

inline const std::vector<Kind>& allKinds() {
    static const std::vector<Kind> kinds{Kind::Noise, Kind::Photo, Kind::FewLevels,
                                         Kind::FlatSaturated};
    return kinds;
}

inline const std::vector<cv::Size>& allSizes() {  // width x height
    static const std::vector<cv::Size> sizes{{1, 1},   {7, 1},   {1, 7},   {2, 2},   {5, 5},
                                             {30, 20}, {47, 33}, {65, 64}, {90, 100}};
    return sizes;
}

inline std::string name(Kind kind, cv::Size size) {
    static const char* names[] = {"noise", "photo", "few levels", "flat saturated"};
    return std::string(names[static_cast<int>(kind)]) + " " + std::to_string(size.height) + "x" +
           std::to_string(size.width);
}

// Four grey levels per channel: long runs of equal values in every window.
inline cv::Mat fewLevels(cv::Mat picture) {
    cv::Mat levels;
    picture.convertTo(levels, CV_8U, 1.0 / 64);
    levels.convertTo(levels, CV_8U, 85);
    return levels;
}

// Flat blocks of a few colours, one saturated white block and one black one.
inline cv::Mat flatSaturated(cv::Size size, std::uint64_t seed) {
    cv::Mat blocks = fewLevels(testing_support::randomImage(
        std::max(1, size.height / 6), std::max(1, size.width / 6), CV_8UC3, 0, 256, seed));
    cv::Mat picture;
    cv::resize(blocks, picture, size, 0, 0, cv::INTER_NEAREST);
    picture(cv::Rect(0, 0, (size.width + 2) / 3, (size.height + 2) / 3))
        .setTo(cv::Scalar::all(255));
    picture(cv::Rect(size.width / 2, size.height / 2, size.width - size.width / 2,
                     size.height - size.height / 2))
        .setTo(cv::Scalar::all(0));
    return picture;
}

inline cv::Mat picture(Kind kind, cv::Size size, std::uint64_t seed) {
    switch (kind) {
        case Kind::Noise:
            return testing_support::randomImage(size.height, size.width, CV_8UC3, 0, 256, seed);
        case Kind::Photo:
            return testing_support::randomPhoto(size.height, size.width, seed);
        case Kind::FewLevels:
            return fewLevels(testing_support::randomPhoto(size.height, size.width, seed));
        case Kind::FlatSaturated:
            return flatSaturated(size, seed);
    }
    return cv::Mat();
}

inline std::vector<cv::Mat> planesOf(const cv::Mat& picture) {
    std::vector<cv::Mat> planes;
    cv::split(picture, planes);
    return planes;
}

}  // namespace hazy_pictures
