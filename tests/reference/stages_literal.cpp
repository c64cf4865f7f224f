#include "reference/stages_literal.hpp"

#include "nightdehaze/nightdehaze.hpp"
#include "core/filters/guided_filter_color.hpp"
#include "core/filters/non_local_guided_filter.hpp"
#include "core/stages/local_airlight.hpp"
#include "core/filters/window_extrema.hpp"
#include "test_images.hpp"

#include <opencv2/imgproc.hpp>

#include <vector>

using namespace nightdehaze;
using namespace nightdehaze::detail;

namespace literal {

namespace {

// Smoothing steps shared by colour correction and dehazing.

cv::Mat unitGuide(const cv::Mat& image8u) {
    cv::Mat guide = image8u.clone();
    guide.convertTo(guide, CV_64F);
    return guide / 255.0;
}

void filterNonLocally(const DehazeContext& context, int searchRadius,
                      const std::vector<cv::Mat*>& outputs, const cv::Mat& guide,
                      const std::vector<cv::Mat>& inputs) {
    std::vector<cv::Mat> results;
    nonLocalGuidedFilterMany(context.patchRadius, searchRadius, results, guide * 255.0, inputs,
                             context.noiseSigma, context.nonLocalEps);
    for (size_t k = 0; k < outputs.size(); ++k) *outputs[k] = results[k];
}

void smoothLightSums(const DehazeContext& context, int radius, std::vector<cv::Mat*> sums,
                     const cv::Mat& counts, const cv::Mat& guide, double eps) {
    if (context.useNonLocalFilter == 0) {
        for (cv::Mat* plane : sums) {
            *plane = (*plane / counts) / 255.0;
            guidedFilterColor(radius, *plane, guide, *plane, eps);
            *plane = *plane * 255.0;
        }
        return;
    }
    std::vector<cv::Mat> means;
    for (cv::Mat* plane : sums) means.push_back(*plane / counts);
    filterNonLocally(context, radius, sums, guide, means);
}

void refineMaps(const DehazeContext& context, std::vector<cv::Mat*> maps, const cv::Mat& guide,
                double eps) {
    if (context.useNonLocalFilter == 0) {
        for (cv::Mat* map : maps) guidedFilterColor(context.refineRadius, *map, guide, *map, eps);
        return;
    }
    std::vector<cv::Mat> scaled;
    for (cv::Mat* map : maps) scaled.push_back(*map * 255.0);
    filterNonLocally(context, context.searchRadius, maps, guide, scaled);
    for (cv::Mat* map : maps) *map = *map / 255.0;
}

// Light compensation.

cv::Mat smoothedPlane(int r, const cv::Mat& plane, double eps) {
    cv::Mat t = plane.clone();
    t.convertTo(t, CV_64F);
    t = t / 255.0;
    guidedFilterGray(r, t, t, t, eps);
    t = t * 255.0;
    t.convertTo(t, CV_8U);
    return t;
}

std::vector<cv::Mat> hsvPlanes(const cv::Mat& bgr) {
    cv::Mat hsv;
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    return planes;
}

// Colour correction.

cv::Mat valuePlane(const cv::Mat& image) {
    cv::Mat hsv;
    cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV, 0);
    std::vector<cv::Mat> planes;
    cv::split(hsv, planes);
    return planes.at(2).clone();
}

void turnLightIntoFactors(cv::Mat* light[3], const cv::Mat& brightness, double gamma) {
    const cv::Mat flooredBrightness = cv::max(brightness, 25.5);
    cv::Mat meanLight = cv::Mat::zeros(brightness.size(), CV_64F);
    for (int c = 0; c < 3; ++c) meanLight += *light[c] / flooredBrightness;
    meanLight.convertTo(meanLight, -1, 1.0 / 3.0, 0);

    cv::Mat gain;
    elementwisePower(gain, meanLight, 1.0 / gamma);
    gain = gain / (meanLight + 1e-7);

    for (int c = 0; c < 3; ++c) {
        cv::Mat e = (light[c]->mul(gain)) / flooredBrightness;
        *light[c] = cv::min(e + 0.1, 1.0);
    }
}

// Dehazing.

void liftAirlight(cv::Mat& a0, cv::Mat& a1, cv::Mat& a2) {
    cv::Mat grey = ((a0 + a1) + a2) / 3.0 / 255.0;
    cv::Mat lift;
    elementwisePower(lift, grey, 1.0 / 3.0);
    lift = lift / (grey + 1e-7);
    for (cv::Mat* a : {&a0, &a1, &a2}) *a = cv::max(a->mul(lift), 51.0);
}

cv::Mat normalisedDarkChannel(int h, const std::vector<cv::Mat>& planes,
                              const std::vector<cv::Mat*>& light) {
    std::vector<cv::Mat> planeMin(3), lightMax(3);
    for (int c = 0; c < 3; ++c) {
        windowMinimum(h, planeMin[c], planes.at(c));
        windowMaximum(h, lightMax[c], *light[c]);
    }
    cv::Mat dark(planes.at(0).size(), CV_64F);
    for (int i = 0; i < dark.rows; ++i) {
        for (int j = 0; j < dark.cols; ++j) {
            double running = 255.0;
            for (int c = 0; c < 3; ++c) {
                const double v =
                    planeMin[c].at<uchar>(i, j) / (lightMax[c].at<double>(i, j) + 1e-7);
                if (v < running) running = v;
            }
            dark.at<double>(i, j) = running;
        }
    }
    return dark;
}

cv::Mat recoverPlane(const cv::Mat& plane8u, const cv::Mat& light, const cv::Mat& flooredT) {
    cv::Mat x;
    plane8u.convertTo(x, CV_64F);
    cv::Mat j = (x - light) / flooredT + light;
    j = cv::min(cv::max(j, 0.0), 255.0);
    j.convertTo(j, CV_8U);
    return j;
}

cv::Mat merged8u(const std::vector<cv::Mat>& planes) {
    cv::Mat merged;
    cv::merge(planes, merged);
    merged.convertTo(merged, CV_8U);
    return merged;
}

}  // namespace

void lightCompensationLiteral(int r, cv::Mat& dst, cv::Mat src, double eps) {
    const testing_support::DispatchOff dispatchOff;
    std::vector<cv::Mat> planes;
    cv::split(src, planes);
    std::vector<cv::Mat> filtered;
    for (int c = 0; c < 3; ++c) filtered.push_back(smoothedPlane(r, planes.at(c), eps));
    cv::Mat smoothed;
    cv::merge(filtered, smoothed);

    std::vector<cv::Mat> source = hsvPlanes(src);
    cv::Mat vs, vf;
    source.at(2).convertTo(vs, CV_64F);
    hsvPlanes(smoothed).at(2).convertTo(vf, CV_64F);

    cv::Mat ratio = vs / (vf + 1e-8);
    guidedFilterGray(r + 5, ratio, ratio, ratio, eps);

    cv::Mat value = vs.clone() / 255.0;
    elementwisePower(value, value, 1.0 / 3.0);
    value = 255.0 * value.mul(ratio);
    value.convertTo(value, CV_8U);

    std::vector<cv::Mat> rebuilt{source.at(0), source.at(1), value};
    cv::Mat hsv;
    cv::merge(rebuilt, hsv);
    cv::cvtColor(hsv, dst, cv::COLOR_HSV2BGR);
}

void colorCorrectionLiteral(const DehazeContext& context, int radius, cv::Mat& correctionMap,
                            cv::Mat image, double eps) {
    const testing_support::DispatchOff dispatchOff;
    cv::Mat guide = unitGuide(image);
    std::vector<cv::Mat> factors(3);
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    cv::Mat dark, counts;
    darkChannel(radius + 2, dark, planes);
    localAirlight(radius, planes, dark, factors[0], factors[1], factors[2], counts);
    const AirlightGrid grid = makeAirlightGrid(radius, image.size());
    cv::Mat brightness = cv::Mat::zeros(image.size(), CV_64F);
    accumulateOverWindows(grid, windowMaxima(grid, valuePlane(image)), brightness);

    smoothLightSums(context, radius, {&factors[0], &factors[1], &factors[2], &brightness}, counts,
                    guide, eps);
    cv::Mat* light[3] = {&factors[0], &factors[1], &factors[2]};
    turnLightIntoFactors(light, brightness, context.gamma);
    refineMaps(context, {&factors[0], &factors[1], &factors[2]}, guide, eps);
    cv::merge(factors, correctionMap);
}

void dehazeLiteral(const DehazeContext& context, int radius, cv::Mat& dehazed, cv::Mat& airlight,
                   cv::Mat& transmission, cv::Mat image, double eps) {
    const testing_support::DispatchOff dispatchOff;
    cv::Mat guide = unitGuide(image);
    std::vector<cv::Mat> planes;
    cv::split(image, planes);

    cv::Mat a0, a1, a2;
    cv::Mat dark, counts;
    darkChannel(radius + 2, dark, planes);
    localAirlight(radius, planes, dark, a0, a1, a2, counts);
    smoothLightSums(context, 2 * radius, {&a0, &a1, &a2}, counts, guide, eps);
    liftAirlight(a0, a1, a2);

    cv::Mat t = 1 - 0.95 * normalisedDarkChannel(radius + 2, planes, {&a0, &a1, &a2});
    refineMaps(context, {&t}, guide, eps);
    t = cv::min(cv::max(t, 0.0), 1.0);

    const cv::Mat light = merged8u({a0, a1, a2});
    const cv::Mat flooredT = cv::max(t, 0.1);
    std::vector<cv::Mat> recovered{recoverPlane(planes.at(0), a0, flooredT),
                                   recoverPlane(planes.at(1), a1, flooredT),
                                   recoverPlane(planes.at(2), a2, flooredT)};
    cv::merge(recovered, dehazed);
    airlight = light;
    transmission = t;
}

cv::Mat dividedByMapLiteral(const cv::Mat& image, const cv::Mat& map) {
    const testing_support::DispatchOff dispatchOff;
    cv::Mat working;
    image.convertTo(working, CV_64F);
    cv::Mat quotient(working.size(), working.type());
    for (int i = 0; i < working.rows; ++i)
        for (int j = 0; j < working.cols * working.channels(); ++j) {
            const double d = map.ptr<double>(i)[j];
            quotient.ptr<double>(i)[j] = d != 0.0 ? working.ptr<double>(i)[j] / d : 0.0;
        }
    working = quotient;
    working.convertTo(working, CV_8U);
    return working;
}

}  // namespace literal
