#include "bench_pictures.hpp"

#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace nightdehaze;

namespace {

// Every benchmark, ours and the anchors alike, allocates its memory as the
// tool does.
const bool kToolAllocator = (installBufferReuse(), retainFreedHeapMemory(), true);

}  // namespace

cv::Mat benchPicture(cv::Size size) {
    const char* chosen = std::getenv("NIGHTDEHAZE_BENCH_PICTURE");
    const std::string path = chosen ? chosen : NIGHTDEHAZE_SAMPLE;
    cv::Mat picture = cv::imread(path, cv::IMREAD_COLOR);
    if (picture.empty()) throw std::runtime_error("cannot read benchmark picture " + path);
    cv::resize(picture, picture, size, 0, 0, cv::INTER_CUBIC);
    return picture;
}
