// libFuzzer target: arbitrary bytes through the tool's decoding and the whole
// pipeline of both engines. Built by scripts/fuzz; a finding aborts with its reason.
#include "fuzz/fuzz_one_input.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// The decoder refuses headers that declare more pixels than this, so that a
// few bytes cannot demand gigabytes and minutes and drown real findings in
// timeouts. The tool itself is tested with large pictures elsewhere. OpenCV
// reads the setting once, when it is loaded, so the target sets it and starts
// itself again.
static const char* const kMaxDecodedPixelsVariable = "OPENCV_IO_MAX_IMAGE_PIXELS";
static const char* const kMaxDecodedPixels = "1048576";

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    const char* current = std::getenv(kMaxDecodedPixelsVariable);
    if (!current || std::string(current) != kMaxDecodedPixels) {
        setenv(kMaxDecodedPixelsVariable, kMaxDecodedPixels, 1);
        execv("/proc/self/exe", *argv);
        std::perror("fuzz_pipeline: cannot restart with the decoder limit");
        std::exit(1);
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::setNumThreads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fuzzing::processBytes(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "fuzz_pipeline: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
