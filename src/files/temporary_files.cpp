#include "files/temporary_files.hpp"

#include "files/file_error.hpp"
#include "files/signals_held.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace nightdehaze::files {

namespace {

// What the handler reads. Plain fixed storage: it may only call
// async-signal-safe functions.
constexpr size_t kMaxPath = 4096;
char g_temporaries[SignalSafeTemporaries::kMaxTemporaries][kMaxPath];
volatile sig_atomic_t g_count = 0;
pthread_t g_owner;
struct sigaction g_previousInt, g_previousTerm;

extern "C" void removeTemporariesAndExit(int signal) {
    if (!pthread_equal(pthread_self(), g_owner)) {
        pthread_kill(g_owner, signal);
        return;
    }
    for (int k = 0; k < g_count; ++k) unlink(g_temporaries[k]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
    throw FileError("cannot write '" + path + "': " + what + ": " + std::strerror(error), error);
}

}  // namespace

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t defaultFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

SignalSafeTemporaries::SignalSafeTemporaries() {
    g_owner = pthread_self();
    g_count = 0;
    struct sigaction handler {};
    handler.sa_handler = removeTemporariesAndExit;
    handler.sa_flags = SA_RESTART;  // a thread the signal is passed on from resumes its calls
    sigemptyset(&handler.sa_mask);
    sigaction(SIGINT, &handler, &g_previousInt);
    sigaction(SIGTERM, &handler, &g_previousTerm);
}

SignalSafeTemporaries::~SignalSafeTemporaries() {
    const SignalsHeld held;
    for (int k = 0; k < g_count; ++k) unlink(g_temporaries[k]);
    g_count = 0;
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
}

namespace {

std::vector<char> temporaryPattern(const std::string& finalPath) {
    const std::string pattern = directoryOf(finalPath) + "/.nightdehaze-XXXXXX";
    if (pattern.size() + 1 > kMaxPath) fail("the path is too long", finalPath, ENAMETOOLONG);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return name;
}

void giveDefaultMode(int fd, const std::string& finalPath) {
    if (fchmod(fd, defaultFileMode()) == 0) return;
    const int modeError = errno;
    close(fd);
    fail("cannot set permissions", finalPath, modeError);
}

}  // namespace

std::string createTemporaryBeside(const std::string& finalPath, int& fd) {
    std::vector<char> name = temporaryPattern(finalPath);
    fd = mkstemp(name.data());
    if (fd < 0) fail("cannot create a file in its directory", finalPath, errno);
    try {
        giveDefaultMode(fd, finalPath);
    } catch (...) {
        unlink(name.data());
        throw;
    }
    return name.data();
}

std::string SignalSafeTemporaries::create(const std::string& finalPath, int& fd) {
    std::vector<char> name = temporaryPattern(finalPath);
    if (g_count >= kMaxTemporaries) throw std::runtime_error("too many output files in one write");
    int createError = 0;
    {
        const SignalsHeld held;
        fd = mkstemp(name.data());
        createError = errno;
        if (fd >= 0) {
            std::memcpy(g_temporaries[g_count], name.data(), name.size());
            g_count = g_count + 1;
        }
    }
    if (fd < 0) fail("cannot create a file in its directory", finalPath, createError);
    giveDefaultMode(fd, finalPath);
    return name.data();
}

void SignalSafeTemporaries::keepAll() {
    const SignalsHeld held;
    g_count = 0;
}

}  // namespace nightdehaze::files
