#pragma once
#include "nightdehaze/nightdehaze.hpp"

#include <cstdint>
#include <vector>

namespace nightdehaze::detail {

// Filters several inputs under one guide in one sweep: the patch weights and
// the guide statistics are computed once and shared. outputs[k] is bit for bit
// what nonLocalGuidedFilter(r, s, outputs[k], I, inputs[k], sigma, eps) gives.
// outputs is resized to inputs.size(); its elements may be the inputs.
// Throws std::invalid_argument as nonLocalGuidedFilter does, for every input.
void nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps);

// As above, with a bound on the memory (bytes) kept between the two sweeps so
// that the second reads the first's patch weights back instead of recomputing
// them. The bound changes only the speed, never the results; the other
// functions choose it from the image size.
void nonLocalGuidedFilterMany(int r, int s, std::vector<cv::Mat>& outputs, cv::Mat I,
                              const std::vector<cv::Mat>& inputs, double sigma, double eps,
                              std::int64_t weightLogBytes);

}  // namespace nightdehaze::detail
