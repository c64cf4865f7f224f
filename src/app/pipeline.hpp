#pragma once
#include "app/dehaze_context.hpp"

#include <opencv2/core.hpp>
#include <ostream>

// The three results of one run: the dehazed image (CV_8UC3), the local
// atmospheric light (CV_8UC3) and the transmission (CV_64FC1, 0..1).
struct PipelineResult {
    cv::Mat dehazed;
    cv::Mat airlight;
    cv::Mat transmission;
};

// The tool's fixed sequence on an 8-bit BGR image: light compensation, contrast
// stretch, colour correction and the division by its map, contrast stretch,
// dehazing; with window radius 5 and regularisation 0.01. Writes one line to
// progress as each stage begins. The input is never written.
PipelineResult runPipeline(const cv::Mat& bgr, const DehazeContext& context, std::ostream& progress);
