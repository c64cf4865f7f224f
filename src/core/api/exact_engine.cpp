#include "core/api/engine.hpp"

#include "core/stages/bytes_divided_by_map.hpp"

namespace nightdehaze::detail {

namespace {

// The non-local filter makes the last two stages far longer.
constexpr StageEnds kGuidedStageEnds{0.12, 0.62};
constexpr StageEnds kNonLocalStageEnds{0.02, 0.52};

class ExactEngine : public Engine {
public:
    ExactEngine(const StageParameters& parameters, int r, double eps) : parameters_(parameters), r_(r), eps_(eps) {}

    StageEnds stageEnds() const override {
        return parameters_.useNonLocalFilter ? kNonLocalStageEnds : kGuidedStageEnds;
    }

    cv::Mat compensateLight(const cv::Mat& bgr8) const override {
        cv::Mat compensated;
        lightCompensation(r_, compensated, bgr8, eps_);
        return compensated;
    }

    StretchLimits measureStretch(const cv::Mat& bgr8) const override { return measureStretchLimits(bgr8); }

    void applyStretch(cv::Mat& bgr8, const StretchLimits& limits) const override {
        applyStretchLimits(bgr8, bgr8, limits);
    }

    cv::Mat correctColour(const cv::Mat& bgr8) const override {
        cv::Mat correctionMap;
        parameters_.colorCorrection(r_, correctionMap, bgr8, eps_);
        return bytesDividedByMap(bgr8, correctionMap);
    }

    cv::Mat dehaze(const cv::Mat& bgr8, HazeMaps* maps) const override {
        cv::Mat dehazed;
        HazeMaps discarded;
        HazeMaps& out = maps ? *maps : discarded;
        parameters_.dehaze(r_, dehazed, out.airlight, out.transmission, bgr8, eps_);
        return dehazed;
    }

private:
    const StageParameters parameters_;
    const int r_;
    const double eps_;
};

}  // namespace

std::unique_ptr<const Engine> makeExactEngine(const StageParameters& parameters, int r, double eps) {
    return std::make_unique<ExactEngine>(parameters, r, eps);
}

}  // namespace nightdehaze::detail
