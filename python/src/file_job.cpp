#include "file_job.hpp"

#include "app/file_error.hpp"
#include "app/output_files.hpp"
#include "app/photo_metadata.hpp"
#include "app/picture_job.hpp"
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

// The tool's checks that a run would fail, as FileError: a usage error of the
// tool is a request the file cannot satisfy (errno 0).
OutputPlan checkedPlan(const PictureJob& job) {
    const OutputPlan plan = planOutputs(job);
    try {
        checkOutputKind(job, plan);
        checkBeforeWork(plan);
    } catch (const FileError&) {
        throw;
    } catch (const std::runtime_error& e) {
        throw FileError(e.what(), 0);
    }
    return plan;
}

PictureInput readPicture(const PictureJob& job, const OutputPlan& plan) {
    std::lock_guard<std::mutex> lock(fileAccess);
    checkOutputTargets(plan.paths());
    return loadPicture(job, plan);
}

void writeOutputs(const std::vector<OutputFile>& outputs) {
    std::lock_guard<std::mutex> lock(fileAccess);
    SignalsWaitForTheWrite signalsWait;
    writeFilesAtomically(outputs);
}

PictureJob pictureJobOf(const FileJob& job) {
    PictureJob picture;
    picture.inputPath = job.inputPath;
    picture.outputPath = job.outputPath;
    picture.writeMaps = job.writeMaps;
    picture.quality = job.quality;
    picture.context.gamma = job.gamma;
    picture.context.useNonLocalFilter = job.nonLocal ? 1 : 0;
    picture.context.clean = job.clean;
    return picture;
}

}  // namespace

std::string enhanceFile(const FileJob& job) {
    static const bool metadataReady = (initializeMetadataLibrary(), true);
    (void)metadataReady;
    const PictureJob picture = pictureJobOf(job);
    const OutputPlan plan = checkedPlan(picture);
    PictureInput input;
    cv::Mat dehazed;
    nightdehaze::HazeMaps maps;
    try {
        runWithoutGil([&](nightdehaze::ProgressMonitor& monitor) {
            input = readPicture(picture, plan);
            dehazed = nightdehaze::enhance(input.image, picture.context, job.writeMaps ? &maps : nullptr,
                                           monitor);
        });
        const std::vector<OutputFile> outputs = encodeOutputs(picture, plan, dehazed, maps, input.metadata);
        runWithoutGil([&](nightdehaze::ProgressMonitor&) { writeOutputs(outputs); });
        return plan.result;
    } catch (const std::bad_alloc&) {
        throw FileError(outOfMemoryMessage(job.inputPath, input.image.size()), ENOMEM);
    } catch (const cv::Exception& e) {
        if (e.code != cv::Error::StsNoMem) throw;
        throw FileError(outOfMemoryMessage(job.inputPath, input.image.size()), ENOMEM);
    }
}

}  // namespace nightdehaze_python
