#pragma once
#include "core/filters/non_local_layout.hpp"

#include <opencv2/core.hpp>

#include <vector>

namespace nightdehaze::detail::nonlocal {

// First sweep: adds w * features of the window pixels in image row k to the
// weighted sums of the tile pixels of row i (scratch.sums, featureStride
// values per pixel), w from scratch.weightRow. Window pixels in row-major
// order: columns (dx) in increasing order within the row.
void accumulateFeatures(const FilterData& data, const Tile& tile, int i, int k, TileScratch& scratch);

// Second sweep: adds w * model output of the window pixels in image row k to
// the sums of the tile pixels of row i; scratch.sums holds one value per pixel
// and input, input-major. Where scratch.unitPlane marks an offset, w is 1.
void accumulateModels(const FilterData& data, const std::vector<cv::Mat>& models, const Tile& tile, int i,
                      int k, TileScratch& scratch);

}  // namespace nightdehaze::detail::nonlocal
