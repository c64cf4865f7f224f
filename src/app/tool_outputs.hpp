#pragma once
#include "app/output_files.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <optional>
#include <string>
#include <vector>

// The files the tool writes for one picture: dehazed at outputPath, or at the
// path derived from inputPath; with maps also the airlight and the
// transmission (0..1 written as 0..255), named from the same base.
std::vector<OutputImage> toolOutputs(const std::string& inputPath,
                                     const std::optional<std::string>& outputPath,
                                     const cv::Mat& dehazed, const nightdehaze::HazeMaps* maps);
