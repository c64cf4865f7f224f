#pragma once
// The glue of the stages as plain whole-matrix OpenCV expressions, evaluated
// on one thread with OpenCV's run-time dispatch off (the value every machine
// must give): light compensation, colour correction, dehazing and the
// division by the correction map. The filters they call are the library's own
// (tested against their own references); only the arithmetic between them is
// written out here.
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core.hpp>

namespace literal {

void lightCompensationLiteral(int r, cv::Mat& dst, cv::Mat src, double eps);

void colorCorrectionLiteral(const nightdehaze::DehazeContext& context, int radius, cv::Mat& correctionMap,
                            cv::Mat image, double eps);

void dehazeLiteral(const nightdehaze::DehazeContext& context, int radius, cv::Mat& dehazed, cv::Mat& airlight,
                   cv::Mat& transmission, cv::Mat image, double eps);

// The image (CV_8UC3) divided by the map (CV_64FC3), a zero factor giving 0,
// rounded and saturated to 8 bits.
cv::Mat dividedByMapLiteral(const cv::Mat& image, const cv::Mat& map);

}  // namespace literal
