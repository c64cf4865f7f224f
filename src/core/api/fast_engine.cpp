#include "core/api/engine.hpp"

#include "core/fast/fast_contrast_stretch.hpp"
#include "core/fast/fast_stages.hpp"

namespace nightdehaze::detail {

namespace {

constexpr StageEnds kFastStageEnds{0.3, 0.65};

class FastEngine : public Engine {
public:
    FastEngine(const DehazeContext& context, int r, double eps) : context_(context), r_(r), eps_(eps) {}

    StageEnds stageEnds() const override { return kFastStageEnds; }

    cv::Mat compensateLight(const cv::Mat& bgr8) const override { return fastLightCompensation(bgr8, r_, eps_); }

    StretchLimits measureStretch(const cv::Mat& bgr8) const override { return fastMeasureStretchLimits(bgr8); }

    void applyStretch(cv::Mat& bgr8, const StretchLimits& limits) const override {
        fastApplyStretchLimits(bgr8, bgr8, limits);
    }

    cv::Mat correctColour(const cv::Mat& bgr8) const override {
        return fastColorCorrected(bgr8, context_, r_, eps_);
    }

    cv::Mat dehaze(const cv::Mat& bgr8, HazeMaps* maps) const override {
        return fastDehaze(bgr8, context_, r_, eps_, maps);
    }

private:
    const DehazeContext context_;
    const int r_;
    const double eps_;
};

}  // namespace

std::unique_ptr<const Engine> makeFastEngine(const DehazeContext& context, int r, double eps) {
    return std::make_unique<FastEngine>(context, r, eps);
}

}  // namespace nightdehaze::detail
