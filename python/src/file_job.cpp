#include "file_job.hpp"

#include "app/file_error.hpp"
#include "app/input_image.hpp"
#include "app/memory_budget.hpp"
#include "app/output_files.hpp"
#include "app/tool_outputs.hpp"
#include "interruption.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <new>

namespace nightdehaze_python {

namespace {

// Decoding and writing redirect standard error, point OpenCV's scratch
// directory elsewhere and install signal handlers: one thread at a time.
std::mutex fileAccess;

// While writing, the tool's writer replaces the SIGINT and SIGTERM handlers
// with its own, which remove the temporaries and end the process. Here the
// signals stay blocked on the writing thread and wait until the write is done
// and the interpreter's handlers are back: Ctrl-C then raises KeyboardInterrupt
// as usual and the process lives on.
class SignalsWaitForTheWrite {
public:
    SignalsWaitForTheWrite() {
        sigaction(SIGINT, nullptr, &interrupt_);
        sigaction(SIGTERM, nullptr, &terminate_);
        sigset_t both;
        sigemptyset(&both);
        sigaddset(&both, SIGINT);
        sigaddset(&both, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &both, &previousMask_);
    }
    ~SignalsWaitForTheWrite() {
        sigaction(SIGINT, &interrupt_, nullptr);
        sigaction(SIGTERM, &terminate_, nullptr);
        pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    }
    SignalsWaitForTheWrite(const SignalsWaitForTheWrite&) = delete;
    SignalsWaitForTheWrite& operator=(const SignalsWaitForTheWrite&) = delete;

private:
    struct sigaction interrupt_ {}, terminate_ {};
    sigset_t previousMask_{};
};

std::string outOfMemoryMessage(const std::string& path, const cv::Mat& image) {
    return "not enough memory to process '" + path + "' (" + std::to_string(image.cols) + "x" +
           std::to_string(image.rows) + " pixels)";
}

cv::Mat readPicture(const std::string& path) {
    std::lock_guard<std::mutex> lock(fileAccess);
    cv::Mat image = readColorImage(path);
    if (exceedsMachineMemory(image.size()))
        throw FileError(outOfMemoryMessage(path, image), 0);
    return image;
}

void writeOutputs(const std::vector<OutputImage>& outputs) {
    std::lock_guard<std::mutex> lock(fileAccess);
    SignalsWaitForTheWrite signalsWait;
    writeImagesAtomically(outputs);
}

}  // namespace

std::string enhanceFile(const FileJob& job) {
    if (job.outputPath && !canEncodeFor(*job.outputPath))
        throw FileError("cannot write images of the kind named by '" + *job.outputPath + "'", 0);
    nightdehaze::DehazeContext context;
    context.gamma = job.gamma;
    context.useNonLocalFilter = job.nonLocal ? 1 : 0;
    cv::Mat image, dehazed;
    nightdehaze::HazeMaps maps;
    try {
        runWithoutGil([&](nightdehaze::ProgressMonitor& monitor) {
            image = readPicture(job.inputPath);
            dehazed = nightdehaze::enhance(image, context, job.writeMaps ? &maps : nullptr, monitor);
        });
        const std::vector<OutputImage> outputs =
            toolOutputs(job.inputPath, job.outputPath, dehazed, job.writeMaps ? &maps : nullptr);
        runWithoutGil([&](nightdehaze::ProgressMonitor&) { writeOutputs(outputs); });
        return outputs.front().path;
    } catch (const std::bad_alloc&) {
        throw FileError(outOfMemoryMessage(job.inputPath, image), ENOMEM);
    } catch (const cv::Exception& e) {
        if (e.code != cv::Error::StsNoMem) throw;
        throw FileError(outOfMemoryMessage(job.inputPath, image), ENOMEM);
    }
}

}  // namespace nightdehaze_python
