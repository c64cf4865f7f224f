#include "app/output_files.hpp"

#include "app/file_error.hpp"
#include "app/opencv_scratch_directory.hpp"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
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

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot);
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<uchar> encode(const OutputImage& output) {
    std::vector<uchar> bytes;
    bool ok = false;
    try {
        ok = cv::imencode(extensionOf(output.path), output.image, bytes);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw;
        ok = false;
    }
    if (!ok) throw std::runtime_error("cannot encode an image for '" + output.path + "'");
    return bytes;
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
std::string writeTemporary(const OutputImage& output, const std::vector<uchar>& bytes) {
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
        writeAll(fd, bytes, output.path);
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

}  // namespace

bool canEncodeFor(const std::string& path) {
    try {
        return !extensionOf(path).empty() && cv::haveImageWriter(path);
    } catch (const cv::Exception&) {
        return false;
    }
}

void writeImagesAtomically(const std::vector<OutputImage>& outputs) {
    if (static_cast<int>(outputs.size()) > kMaxPending)
        throw std::runtime_error("too many output files in one write");
    std::vector<std::vector<uchar>> encoded;
    {
        OpenCvScratchDirectory scratch;
        for (const OutputImage& output : outputs) encoded.push_back(encode(output));
    }

    SignalGuard guard;
    std::vector<std::string> temporaries;
    try {
        for (size_t k = 0; k < outputs.size(); ++k)
            temporaries.push_back(writeTemporary(outputs[k], encoded[k]));
        for (size_t k = 0; k < outputs.size(); ++k) {
            if (std::rename(temporaries[k].c_str(), outputs[k].path.c_str()) != 0)
                fail("cannot move the finished file into place", outputs[k].path, errno);
        }
    } catch (...) {
        removeAll(temporaries);
        throw;
    }
}
