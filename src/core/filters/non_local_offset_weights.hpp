#pragma once
#include "core/filters/non_local_layout.hpp"
#include "core/filters/non_local_patch_weights.hpp"
#include "core/filters/sweep_log.hpp"

#include <cstddef>

namespace nightdehaze::detail::nonlocal {

// Where the weights of a search row come from in each sweep.
struct WeightSource {
    SweepLog& log;
    bool firstSweep;
    size_t logCursor = 0;  // second sweep: next logged weight of the tile
};

// Weights of every tile pixel in rows [iLo, iHi) to its window pixels in
// search row dy, for every dx that stays inside the image, into
// scratch.weightRow(dx, ...). The first sweep computes them and logs them; the
// second marks the offsets where every weight is 1 (scratch.unitPlane), reads
// the others back from the log, and computes them again only for tiles whose
// log did not fit.
void searchRowWeights(const FilterData& data, const PatchWeights& weightOf, const Tile& tile, int dy,
                      int iLo, int iHi, WeightSource& source, TileScratch& scratch);

}  // namespace nightdehaze::detail::nonlocal
