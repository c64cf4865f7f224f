#pragma once
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>

// The weight of a patch distance and the table that holds the weights of a
// filter call. Header only: look-ups are inlined into the weight loops.

namespace nightdehaze::detail::nonlocal {

// Largest weight table (entries); beyond it weights are computed directly.
// Memory is committed only for the chunks that are actually filled.
constexpr std::int64_t kMaxTableEntries = std::int64_t(1) << 25;
constexpr int kTableChunkBits = 9;

struct PatchWeightRule {
    double patchArea;   // (2r+1)^2 samples per channel
    double noiseFloor;  // 2 sigma^2: expected squared difference of two noisy samples
    double bandwidth2;  // h^2

    double operator()(double distance) const {
        double d = distance / patchArea / 3.0 - noiseFloor;
        if (d < 0) d = 0;
        return std::exp(-d / bandwidth2);
    }

    // Largest distance whose mean squared difference does not exceed the
    // noise floor: its weight and that of every smaller distance is exactly 1.
    std::int64_t lastUnitDistance() const {
        std::int64_t lo = 0, hi = std::int64_t(1) << 62;
        while (hi - lo > 1) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            (static_cast<double>(mid) / patchArea / 3.0 - noiseFloor <= 0 ? lo : hi) = mid;
        }
        return lo;
    }
};

// Weight of every integer patch distance up to a bound: 1 up to the noise
// floor, beyond it computed on first use in chunks; any thread may fill a
// chunk, every thread reads the same values.
class PatchWeights {
public:
    PatchWeights(const PatchWeightRule& rule, std::int64_t maxDistance)
        : rule_(rule), lastUnit_(std::min(rule.lastUnitDistance(), maxDistance)) {
        if (maxDistance >= kMaxTableEntries || maxDistance <= lastUnit_) return;
        const std::int64_t chunks = (maxDistance >> kTableChunkBits) + 1;
        values_.reset(new double[chunks << kTableChunkBits]);
        ready_.reset(new std::atomic<bool>[chunks]);
        for (std::int64_t c = 0; c < chunks; ++c) ready_[c].store(false, std::memory_order_relaxed);
    }

    // Distances up to this one weigh exactly 1; it never exceeds the largest
    // distance, so float and double hold it exactly.
    std::int64_t lastUnitDistance() const { return lastUnit_; }

    double operator()(std::int64_t distance) const {
        if (distance <= lastUnit_) return 1.0;
        if (!values_) return rule_(static_cast<double>(distance));
        const std::int64_t chunk = distance >> kTableChunkBits;
        if (!ready_[chunk].load(std::memory_order_acquire)) fill(chunk);
        return values_[distance];
    }

    // Starts loading the table entry of a distance above the noise floor, so
    // that look-ups wait for memory together rather than one after another.
    void prefetch(std::int64_t distance) const {
        if (values_) __builtin_prefetch(values_.get() + distance);
    }

private:
    void fill(std::int64_t chunk) const {
        std::lock_guard<std::mutex> lock(fillMutex_);
        if (ready_[chunk].load(std::memory_order_relaxed)) return;
        const std::int64_t first = chunk << kTableChunkBits;
        for (std::int64_t d = first; d < first + (1 << kTableChunkBits); ++d)
            values_[d] = rule_(static_cast<double>(d));
        ready_[chunk].store(true, std::memory_order_release);
    }

    PatchWeightRule rule_;
    std::int64_t lastUnit_;
    std::unique_ptr<double[]> values_;
    std::unique_ptr<std::atomic<bool>[]> ready_;
    mutable std::mutex fillMutex_;
};

}  // namespace nightdehaze::detail::nonlocal
