// The filter choice of the context: every smoothing step of colour correction
// and dehazing switches to the non-local filter, with its own parameters.
#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

using namespace nightdehaze;

namespace {

struct StageOutputs {
    cv::Mat map, dehazed, airlight, transmission;
};

StageOutputs runStages(const DehazeContext& context, const cv::Mat& image) {
    StageOutputs out;
    context.colorCorrection(5, out.map, image, 0.01);
    context.dehaze(5, out.dehazed, out.airlight, out.transmission, image, 0.01);
    return out;
}

void expectSame(const StageOutputs& a, const StageOutputs& b) {
    EXPECT_BIT_EQUAL(a.map, b.map);
    EXPECT_BIT_EQUAL(a.dehazed, b.dehazed);
    EXPECT_BIT_EQUAL(a.transmission, b.transmission);
}

DehazeContext nonLocal(int flag) {
    DehazeContext context;
    context.useNonLocalFilter = flag;
    return context;
}

}  // namespace

TEST(NonLocalStages, AnyNonZeroFlagSelectsTheNonLocalFilter) {
    const cv::Mat image = testing_support::randomPhoto(26, 31, 5);
    const StageOutputs one = runStages(nonLocal(1), image);
    expectSame(one, runStages(nonLocal(-1), image));
    const StageOutputs guided = runStages(DehazeContext(), image);
    EXPECT_NE(testing_support::firstBitDifference(one.map, guided.map), -1);
    EXPECT_NE(testing_support::firstBitDifference(one.transmission, guided.transmission), -1);
}

TEST(NonLocalStages, ReadSearchRadiusAndNotRefineRadius) {
    const cv::Mat image = testing_support::randomPhoto(24, 28, 6);
    const StageOutputs base = runStages(nonLocal(1), image);
    DehazeContext otherRefine = nonLocal(1);
    otherRefine.refineRadius = 3;
    expectSame(base, runStages(otherRefine, image));
    DehazeContext otherSearch = nonLocal(1);
    otherSearch.searchRadius = 4;
    EXPECT_NE(testing_support::firstBitDifference(base.map, runStages(otherSearch, image).map), -1);
}

TEST(NonLocalStages, TinyPicturesGoThrough) {
    for (cv::Size size : {cv::Size(1, 1), cv::Size(7, 1), cv::Size(2, 3)}) {
        const StageOutputs out =
            runStages(nonLocal(1), testing_support::randomImage(size.height, size.width, CV_8UC3, 0, 256, 3));
        EXPECT_EQ(out.dehazed.size(), size);
        EXPECT_EQ(out.map.type(), CV_64FC3);
        EXPECT_TRUE(cv::checkRange(out.map));
    }
}
