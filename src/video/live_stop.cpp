#include "video/live_stop.hpp"

#include <atomic>
#include <csignal>

namespace nightdehaze::video {

namespace {

std::atomic<int> g_signal{0};  // lock-free on every target: safe in a handler
struct sigaction g_previousInt, g_previousTerm;

extern "C" void askToStop(int signal) {
    int none = 0;
    if (g_signal.compare_exchange_strong(none, signal)) return;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

StopOnSignals::StopOnSignals() {
    g_signal = 0;
    struct sigaction handler {};
    handler.sa_handler = askToStop;
    handler.sa_flags = SA_RESTART;
    sigemptyset(&handler.sa_mask);
    sigaction(SIGINT, &handler, &g_previousInt);
    sigaction(SIGTERM, &handler, &g_previousTerm);
}

StopOnSignals::~StopOnSignals() {
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
}

bool StopOnSignals::requested() { return g_signal.load(std::memory_order_relaxed) != 0; }

const char* StopOnSignals::signalName() {
    switch (g_signal.load()) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        default: return nullptr;
    }
}

}  // namespace nightdehaze::video
