#pragma once
// nightdehaze._core's calls for clips in a batch: the plan of a clip's parts,
// one part enhanced, the parts joined. Each loads the video module on first
// use, runs without the GIL and raises with the tool's one-line message.
#include <pybind11/pybind11.h>

namespace nightdehaze_python {

// Adds clip_plan, clip_part, clip_join and is_video to the module.
void bindClipCalls(pybind11::module_& module);

}  // namespace nightdehaze_python
