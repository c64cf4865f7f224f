#pragma once
// Where a long clip is cut so that several workers can share it: at key
// frames, found without decoding, about every so many seconds.
#include <cstdint>
#include <string>
#include <vector>

namespace nightdehaze::video {

struct ClipPlan {
    long long frames = 0;       // declared by the container, else from its duration and rate; 0 unknown
    double seconds = 0.0;       // declared duration; 0 unknown
    double framesPerSecond = 0.0;
    // The key frames the parts after the first start at, rising (video
    // stream time base), and for each the key frame its steady warm-up
    // starts at: the last at or before warmSeconds earlier.
    std::vector<std::int64_t> cuts;
    std::vector<std::int64_t> warmFrom;
};

// The plan of the clip at path in parts of about partSeconds, two at least
// (none when the clip is not longer, or partSeconds is 0), each part after
// the first preceded by a warm-up of at least warmSeconds where the clip
// allows, the first longer by that much so that each costs about the same.
// Throws std::runtime_error naming path when it is not a video that decodes.
ClipPlan planClip(const std::string& path, double partSeconds, double warmSeconds);

}  // namespace nightdehaze::video
