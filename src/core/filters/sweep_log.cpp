#include "core/filters/sweep_log.hpp"

#include <algorithm>
#include <utility>

namespace nightdehaze::detail::nonlocal {

bool SweepLog::reserve(int tile, int count) {
    TileLog& log = logs_[tile];
    if (!log.complete) return false;
    if (log.weights.empty()) reuseReleased(log);
    const size_t needed = log.size + count;
    if (needed <= log.weights.size()) return true;
    const size_t room = std::max(needed, 2 * log.weights.size());
    const std::int64_t extra = static_cast<std::int64_t>(room - log.weights.size()) * kEntryBytes;
    if (used_.fetch_add(extra) + extra > budget_) {
        used_.fetch_sub(extra);
        drop(log);
        return false;
    }
    log.positions.resize(room);
    log.weights.resize(room);
    return true;
}

void SweepLog::release(int tile) {
    TileLog& log = logs_[tile];
    log.complete = true;
    log.size = 0;
    if (log.weights.empty()) return;
    std::lock_guard<std::mutex> lock(releasedMutex_);
    released_.push_back(std::move(log));
    log = TileLog();
}

void SweepLog::reuseReleased(TileLog& log) {
    std::lock_guard<std::mutex> lock(releasedMutex_);
    if (released_.empty()) return;
    log = std::move(released_.back());
    released_.pop_back();
}

void SweepLog::drop(TileLog& log) {
    used_.fetch_sub(static_cast<std::int64_t>(log.weights.size()) * kEntryBytes);
    log = TileLog();
    log.complete = false;
}

}  // namespace nightdehaze::detail::nonlocal
