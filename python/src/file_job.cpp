#include "file_job.hpp"

#include "files/file_error.hpp"
#include "files/output_files.hpp"
#include "files/photo_metadata.hpp"
#include "files/picture_job.hpp"
#include "files/signals_held.hpp"
#include "interruption.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <cerrno>
#include <mutex>
#include <new>

namespace nightdehaze_python {

namespace {

// Decoding and writing redirect standard error, point OpenCV's scratch
// directory elsewhere and install signal handlers: one thread at a time.
std::mutex fileAccess;

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
    // The writer's own handlers stand in for the interpreter's meanwhile; a
    // signal waits on this thread until the write is done and the
    // interpreter's handlers are back, then raises KeyboardInterrupt as usual.
    const SignalsHeld held;
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
