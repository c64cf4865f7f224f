#include "video/live_report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace nightdehaze::video {

namespace {

constexpr double kBinSeconds = 0.01;
constexpr size_t kBins = 6000;  // one minute

}  // namespace

LiveReport::LiveReport() : delays_(kBins, 0) {}

void LiveReport::frameWritten(double seconds, double delaySeconds) {
    if (written_ == 0) firstSeconds_ = seconds;
    lastSeconds_ = seconds;
    const double bin = std::floor(std::max(0.0, delaySeconds) / kBinSeconds);
    ++delays_[static_cast<size_t>(std::min(bin, static_cast<double>(kBins - 1)))];
    ++written_;
}

double LiveReport::delayQuantile(double share) const {
    if (written_ == 0) return 0.0;
    const long long wanted = std::max(1LL, static_cast<long long>(std::ceil(share * written_)));
    long long seen = 0;
    for (size_t k = 0; k < kBins; ++k) {
        seen += delays_[k];
        if (seen >= wanted) return (k + 1) * kBinSeconds;
    }
    return kBins * kBinSeconds;
}

std::string LiveReport::summary(const std::string& why) const {
    const double elapsed = lastSeconds_ - firstSeconds_;
    const long long offered = written_ + dropped_;
    char counts[160], lost[64] = "", timing[160];
    std::snprintf(counts, sizeof counts, "%lld frames written, %lld dropped (%.1f %%)", written_, dropped_,
                  offered > 0 ? 100.0 * dropped_ / offered : 0.0);
    if (lost_ > 0) std::snprintf(lost, sizeof lost, ", %lld lost in transport", lost_);
    std::snprintf(timing, sizeof timing, ", %.1f frames/s, delay median %.2f s, 95th percentile %.2f s",
                  elapsed > 0.0 ? (written_ - 1) / elapsed : 0.0, delayQuantile(0.5), delayQuantile(0.95));
    return why + ": " + counts + lost + timing;
}

}  // namespace nightdehaze::video
