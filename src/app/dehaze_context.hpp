#pragma once
#include <opencv2/core.hpp>

// The parameters of colour correction and dehazing, with their defaults, and
// the two stages that read them. The stages only read the context, so one
// context may be shared between threads once it is set up.
class DehazeContext {
public:
    int refineRadius = 32;      // guided-filter radius of each stage's final map
    int patchRadius = 1;        // non-local filter: patch radius
    int searchRadius = 16;      // non-local filter: search radius of the final maps
    double noiseSigma = 25.0;   // non-local filter: noise level, 0..255 scale
    double nonLocalEps = 100.0; // non-local filter: regulariser, 0..255 scale
    int useNonLocalFilter = 0;  // 0: colour guided filter; otherwise non-local
    double gamma = 1.2;         // brightness exponent of colour correction is 1/gamma

    // Correction map of an 8-bit BGR image: CV_64FC3 factors (mostly 0.1..1)
    // by which the caller divides the image to neutralise the colour of the
    // local light. radius: window radius of the light estimate; eps: guided
    // filter regularisation on the 0..1 scale.
    void colorCorrection(int radius, cv::Mat& correctionMap, cv::Mat image, double eps) const;

    // Removes haze from an 8-bit BGR image: dehazed (CV_8UC3), the local
    // atmospheric light (CV_8UC3, saturated) and the transmission in 0..1
    // (CV_64FC1). Every output is a new matrix; image is never written.
    void dehaze(int radius, cv::Mat& dehazed, cv::Mat& airlight, cv::Mat& transmission,
                cv::Mat image, double eps) const;
};
