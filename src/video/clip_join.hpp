#pragma once
// A clip put back together from its parts: their video packets one after the
// other and the source's audio and subtitles, by stream copy (nothing is
// encoded again).
#include <string>
#include <vector>

namespace nightdehaze::video {

// Writes joinedPath (in place, synced; removed again on failure) in the
// container its extension names, the tool's output for sourcePath had it
// run in one piece: the video of partPaths in order, which runClipPart
// wrote from sourcePath, and every audio and subtitle stream of sourcePath
// that container holds. Throws std::runtime_error naming the file at fault.
void joinClipParts(const std::string& sourcePath, const std::vector<std::string>& partPaths,
                   const std::string& joinedPath);

}  // namespace nightdehaze::video
