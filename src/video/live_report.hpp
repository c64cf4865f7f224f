#pragma once
// What a live run tells at its end: frames written and dropped, the rate of
// the frames written on the source's clock and the delay from a frame's decoding to its enhanced frame's
// encoding, from a histogram of fixed size whatever the run's length.
#include <string>
#include <vector>

namespace nightdehaze::video {

class LiveReport {
public:
    LiveReport();

    // A frame at seconds on the run's clock, written delaySeconds after its decoding.
    void frameWritten(double seconds, double delaySeconds);
    void framesDropped(long long count = 1) { dropped_ += count; }
    // Frames the source's timestamps show were lost before they reached the decoder.
    void framesLost(long long count) { lost_ += count; }

    // The delay below which share (0..1) of the frames written left, in
    // seconds, to the histogram's 10 ms; 0 before any frame.
    double delayQuantile(double share) const;

    // "<why>: 1200 frames written, 12 dropped (1.0 %)[, 3 lost in transport],
    // 24.7 frames/s, delay median 0.21 s, 95th percentile 0.34 s"
    std::string summary(const std::string& why) const;

private:
    std::vector<long long> delays_;  // frames per 10 ms of delay; the last bin holds the rest
    long long written_ = 0;
    long long dropped_ = 0;
    long long lost_ = 0;
    double firstSeconds_ = 0.0, lastSeconds_ = 0.0;  // of the first and last frame written
};

}  // namespace nightdehaze::video
