#include "video/clip_plan.hpp"

#include "video/video_input.hpp"

#include <algorithm>
#include <cmath>

namespace nightdehaze::video {

ClipPlan planClip(const std::string& path, double partSeconds, double warmSeconds) {
    VideoInput input(path, [](const std::string&) {});
    ClipPlan plan;
    plan.seconds = input.declaredSeconds();
    plan.framesPerSecond = av_q2d(input.frameRate());
    plan.frames = input.expectedFrames() > 0 ? input.expectedFrames()
                                             : std::llround(plan.seconds * plan.framesPerSecond);
    if (!(partSeconds > 0.0) || !(plan.seconds > partSeconds)) return plan;
    const double ticksPerSecond = 1.0 / av_q2d(input.videoStream()->time_base);
    const std::int64_t start = input.startTime();
    const auto ticks = [&](double seconds) { return static_cast<std::int64_t>(std::llround(seconds * ticksPerSecond)); };
    // Parts of equal cost: every part after the first also enhances its
    // warm-up, so the first is longer by as much.
    const long long parts = std::max(2LL, std::llround(plan.seconds / partSeconds));
    double head = warmSeconds;  // what the first part has more
    double length = (plan.seconds - head) / static_cast<double>(parts);
    if (!(length > head)) head = 0.0, length = plan.seconds / static_cast<double>(parts);
    std::int64_t previous = start;
    for (long long k = 1; k < parts; ++k) {
        const std::int64_t cut = input.keyFrameAtOrBefore(start + ticks(head + static_cast<double>(k) * length));
        if (cut <= previous) continue;  // no key frame since the last cut
        plan.cuts.push_back(cut);
        plan.warmFrom.push_back(input.keyFrameAtOrBefore(cut - ticks(warmSeconds)));
        previous = cut;
    }
    return plan;
}

}  // namespace nightdehaze::video
