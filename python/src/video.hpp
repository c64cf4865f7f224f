#pragma once
// nightdehaze._core.VideoEnhancer: the library's VideoEnhancer on numpy frames.
#include <pybind11/pybind11.h>

namespace nightdehaze_python {

// Adds the class VideoEnhancer to the module. Its push and flush take and give
// C-contiguous (H, W, 3) uint8 BGR arrays, run without the GIL, and take turns
// when several Python threads share one enhancer.
void bindVideoEnhancer(pybind11::module_& module);

}  // namespace nightdehaze_python
