#include "file_job.hpp"

#include "files/picture_job.hpp"
#include "interruption.hpp"

using namespace nightdehaze::files;

namespace nightdehaze_python {

std::string enhanceFile(const Options& options) {
    std::string result;
    runWithoutGil([&](nightdehaze::ProgressMonitor& monitor) {
        JobHooks hooks;
        hooks.monitor = &monitor;
        hooks.signalsWaitForTheWrite = true;
        result = enhancePictureFile(options, hooks);
    });
    return result;
}

}  // namespace nightdehaze_python
