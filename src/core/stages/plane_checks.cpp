#include "core/stages/plane_checks.hpp"

#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

void checkEightBitPlanes(const char* who, const std::vector<cv::Mat>& planes) {
    const std::string name(who);
    if (planes.size() != 3)
        throw std::invalid_argument(name + ": expected 3 planes, got " + std::to_string(planes.size()));
    for (const cv::Mat& plane : planes) {
        if (plane.type() != CV_8UC1) throw std::invalid_argument(name + ": every plane must be CV_8UC1");
        if (plane.size() != planes[0].size()) throw std::invalid_argument(name + ": planes differ in size");
    }
}

void require(bool ok, const std::string& message) {
    if (!ok) throw std::invalid_argument(message);
}

}  // namespace nightdehaze::detail
