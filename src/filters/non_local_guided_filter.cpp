#include "filters/non_local_guided_filter.hpp"

#include <stdexcept>

void nonLocalGuidedFilter(int, int, cv::Mat&, cv::Mat, cv::Mat, double, double) {
    throw std::logic_error("the non-local guided filter is not available in this build");
}
