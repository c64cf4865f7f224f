#pragma once
// The tool on a live source: frames enhanced as they come, dropped before
// enhancing when the enhancement falls behind, written to a file, segments
// or a stream until the source ends or a signal stops the run.
#include "files/options.hpp"

namespace nightdehaze::video {

// Runs job (inputPath a live source, outputPath set) until the source ends,
// stays lost for job.reconnectSeconds (30 s unless given) or SIGINT/SIGTERM
// asks to stop; then finishes the output so that it plays and prints one
// line saying why the run ended and what it did. Throws UsageError for
// options that do not apply and std::runtime_error when the source never
// answers, no frame came or the output fails.
void runLive(const files::Options& job);

}  // namespace nightdehaze::video
