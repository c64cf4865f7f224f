#include "files/output_files.hpp"

#include "files/file_error.hpp"
#include "files/signals_held.hpp"
#include "files/temporary_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <stdexcept>

namespace nightdehaze::files {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw FileError("cannot write '" + path + "': " + what + ": " + std::strerror(error), error);
}

void writeAll(int fd, const std::vector<uchar>& bytes, const std::string& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write failed", path, n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
}

// Creates, fills and syncs one temporary beside its final path.
std::string writeTemporary(SignalSafeTemporaries& temporaries, const OutputFile& output) {
    int fd = -1;
    const std::string name = temporaries.create(output.path, fd);
    try {
        writeAll(fd, output.bytes, output.path);
        if (fsync(fd) != 0) fail("cannot flush to disk", output.path, errno);
    } catch (...) {
        close(fd);
        throw;
    }
    if (close(fd) != 0) fail("cannot close", output.path, errno);
    return name;
}

[[noreturn]] void refuse(const std::string& path, const std::string& reason, int error) {
    throw FileError("cannot write '" + path + "': " + reason, error);
}

// Refuses a target that a rename could not replace, or should not: a
// directory, a file the user may not write (read-only or immutable), or a file
// on another file system than the temporary beside it (a bind mount). A
// symbolic link is replaced itself, not followed.
void checkReplaceable(const std::string& target, const std::string& temporary) {
    struct stat targetInfo {};
    if (lstat(target.c_str(), &targetInfo) != 0) {
        if (errno == ENOENT) return;
        fail("cannot inspect the existing file", target, errno);
    }
    if (S_ISDIR(targetInfo.st_mode)) refuse(target, "it is a directory", EISDIR);
    if (!S_ISLNK(targetInfo.st_mode) && access(target.c_str(), W_OK) != 0)
        fail("the existing file may not be replaced", target, errno);
    struct stat temporaryInfo {};
    if (stat(temporary.c_str(), &temporaryInfo) != 0) fail("cannot inspect its temporary", target, errno);
    if (temporaryInfo.st_dev != targetInfo.st_dev)
        refuse(target, "it is on another file system than its directory", EXDEV);
}

// One target being replaced by its finished temporary. When the target
// existed, the two are swapped, so that the temporary's name holds the old
// file until the whole write succeeds.
struct Replacement {
    std::string temporary, target;
    bool swapped = false;   // the temporary's name now holds the old file
    bool done = false;      // the target holds the new file
};

void replace(Replacement& r) {
    if (renameat2(AT_FDCWD, r.temporary.c_str(), AT_FDCWD, r.target.c_str(), RENAME_EXCHANGE) == 0) {
        r.swapped = r.done = true;
        return;
    }
    // No target to swap with, or a file system that cannot swap: a plain
    // rename, which leaves nothing to restore from.
    if (errno != ENOENT && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        fail("cannot move the finished file into place", r.target, errno);
    if (std::rename(r.temporary.c_str(), r.target.c_str()) != 0)
        fail("cannot move the finished file into place", r.target, errno);
    r.done = true;
}

// Puts back what the targets held before, newest replacement first.
void undo(std::vector<Replacement>& replacements) {
    for (auto r = replacements.rbegin(); r != replacements.rend(); ++r) {
        if (!r->done) continue;
        if (r->swapped) {
            std::rename(r->temporary.c_str(), r->target.c_str());
        } else {
            unlink(r->target.c_str());
        }
        r->done = false;
    }
}

// Replaces the targets from the last to the first; on a failure restores
// every target already replaced. Temporaries left over are the caller's.
void replaceAll(std::vector<Replacement>& replacements, SignalSafeTemporaries& temporaries) {
    SignalsHeld held;
    try {
        for (auto r = replacements.rbegin(); r != replacements.rend(); ++r) replace(*r);
    } catch (...) {
        undo(replacements);
        throw;
    }
    for (const Replacement& r : replacements)
        if (r.swapped) unlink(r.temporary.c_str());
    temporaries.keepAll();
}

std::string baseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A pattern for mkstemp in path's directory whose name is as long as path's
// own, so that creating it proves the final name fits the file system.
std::string probePattern(const std::string& path) {
    const std::string prefix = ".nightdehaze-probe-", unique = "XXXXXX";
    const size_t nameLength = std::max(baseNameOf(path).size(), prefix.size() + unique.size());
    return directoryOf(path) + "/" + prefix + std::string(nameLength - prefix.size() - unique.size(), '_') +
           unique;
}

void checkDirectory(const std::string& path) {
    struct stat info {};
    if (stat(directoryOf(path).c_str(), &info) != 0)
        fail("its directory '" + directoryOf(path) + "' cannot be used", path, errno);
    if (!S_ISDIR(info.st_mode)) refuse(path, "'" + directoryOf(path) + "' is not a directory", ENOTDIR);
}

// Creates and removes a file of the final name's length beside target, and
// checks that target could then be replaced by it.
void checkTarget(const std::string& target) {
    checkDirectory(target);
    std::string pattern = probePattern(target);
    SignalsHeld held;   // the probe exists for microseconds; never leave it behind
    const int fd = mkstemp(pattern.data());
    if (fd < 0) fail("cannot create a file in its directory", target, errno);
    close(fd);
    try {
        checkReplaceable(target, pattern);
    } catch (...) {
        unlink(pattern.c_str());
        throw;
    }
    unlink(pattern.c_str());
}

}  // namespace

void checkOutputTargets(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) checkTarget(path);
}

void writeFilesAtomically(const std::vector<OutputFile>& outputs) {
    if (static_cast<int>(outputs.size()) > SignalSafeTemporaries::kMaxTemporaries)
        throw std::runtime_error("too many output files in one write");
    SignalSafeTemporaries temporaries;  // on any failure, removes the temporaries written
    std::vector<std::string> written;
    for (const OutputFile& output : outputs) written.push_back(writeTemporary(temporaries, output));
    std::vector<Replacement> replacements;
    for (size_t k = 0; k < outputs.size(); ++k) {
        checkReplaceable(outputs[k].path, written[k]);
        replacements.push_back({written[k], outputs[k].path});
    }
    replaceAll(replacements, temporaries);
}

}  // namespace nightdehaze::files
