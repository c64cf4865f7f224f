#include "app/output_files.hpp"

#include "app/file_error.hpp"
#include "app/signals_held.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <stdexcept>

namespace {

// Temporaries that a signal handler must remove. Plain fixed storage: the
// handler may only call async-signal-safe functions.
constexpr int kMaxPending = 8;
constexpr size_t kMaxPath = 4096;
char g_pending[kMaxPending][kMaxPath];
volatile sig_atomic_t g_pendingCount = 0;
pthread_t g_writerThread;

// Only the writing thread removes the temporaries: it blocks the signals while
// it creates and registers one, so it never leaves a file the list misses. A
// signal that lands on another thread (the thread pool's) is passed to it.
extern "C" void removeTemporariesAndExit(int signal) {
    if (!pthread_equal(pthread_self(), g_writerThread)) {
        pthread_kill(g_writerThread, signal);
        return;
    }
    for (int k = 0; k < g_pendingCount; ++k) unlink(g_pending[k]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class SignalGuard {
public:
    SignalGuard() {
        g_writerThread = pthread_self();
        oldInt_ = std::signal(SIGINT, removeTemporariesAndExit);
        oldTerm_ = std::signal(SIGTERM, removeTemporariesAndExit);
    }
    ~SignalGuard() {
        std::signal(SIGINT, oldInt_);
        std::signal(SIGTERM, oldTerm_);
        g_pendingCount = 0;
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

private:
    void (*oldInt_)(int);
    void (*oldTerm_)(int);
};

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw FileError("cannot write '" + path + "': " + what + ": " + std::strerror(error), error);
}

mode_t defaultFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
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

// Creates, fills and syncs one temporary beside its final path; registers it
// for removal on a signal before a single byte is written.
std::string writeTemporary(const OutputFile& output) {
    std::string pattern = directoryOf(output.path) + "/.nightdehaze-XXXXXX";
    if (pattern.size() + 1 > kMaxPath) fail("path too long", output.path, ENAMETOOLONG);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &previous);
    const int fd = mkstemp(name.data());
    const int createError = errno;
    if (fd >= 0) {
        std::memcpy(g_pending[g_pendingCount], name.data(), name.size());
        g_pendingCount = g_pendingCount + 1;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) fail("cannot create a file in its directory", output.path, createError);
    try {
        if (fchmod(fd, defaultFileMode()) != 0) fail("cannot set permissions", output.path, errno);
        writeAll(fd, output.bytes, output.path);
        if (fsync(fd) != 0) fail("cannot flush to disk", output.path, errno);
    } catch (...) {
        close(fd);
        unlink(name.data());
        throw;
    }
    if (close(fd) != 0) {
        const int closeError = errno;
        unlink(name.data());
        fail("cannot close", output.path, closeError);
    }
    return std::string(name.data());
}

void removeAll(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) unlink(p.c_str());
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
void replaceAll(std::vector<Replacement>& replacements) {
    SignalsHeld held;
    try {
        for (auto r = replacements.rbegin(); r != replacements.rend(); ++r) replace(*r);
    } catch (...) {
        undo(replacements);
        throw;
    }
    for (const Replacement& r : replacements)
        if (r.swapped) unlink(r.temporary.c_str());
    g_pendingCount = 0;
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
    if (static_cast<int>(outputs.size()) > kMaxPending)
        throw std::runtime_error("too many output files in one write");

    SignalGuard guard;
    std::vector<std::string> temporaries;
    try {
        for (size_t k = 0; k < outputs.size(); ++k)
            temporaries.push_back(writeTemporary(outputs[k]));
        std::vector<Replacement> replacements;
        for (size_t k = 0; k < outputs.size(); ++k) {
            checkReplaceable(outputs[k].path, temporaries[k]);
            replacements.push_back({temporaries[k], outputs[k].path});
        }
        replaceAll(replacements);
    } catch (...) {
        removeAll(temporaries);
        throw;
    }
}
