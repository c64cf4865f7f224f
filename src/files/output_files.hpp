#pragma once
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace nightdehaze::files {

struct OutputFile {
    std::string path;
    std::vector<uchar> bytes;
};

// Checks, before any work, that a file could be written at each path: its
// directory exists and takes a new file of the name's length, and an existing
// file there may be replaced (the checks of writeFilesAtomically). Leaves
// nothing behind; throws std::runtime_error naming the path and the reason.
void checkOutputTargets(const std::vector<std::string>& paths);

// Writes every file all-or-nothing. Each is written to a temporary file in its
// directory and synced.
// Then every target is checked (not a directory, writable, on the same file
// system as its temporary) before any is replaced; the targets are replaced
// from the last to the first, so the first (the main output) comes last, and
// if a replacement still fails the targets already replaced get back what
// they held (where the file system can swap two files; Linux's local ones
// can). On any failure the temporaries are removed and a std::runtime_error
// names the path and the reason. SIGINT and SIGTERM while the
// temporaries are written remove them before the process ends, on whichever
// thread they land; during the replacements they wait until all are done.
// Call from one thread at a time.
void writeFilesAtomically(const std::vector<OutputFile>& outputs);

}  // namespace nightdehaze::files
