#include "video/live_report.hpp"

#include <gtest/gtest.h>

using nightdehaze::video::LiveReport;

// The summary counts as the run did: drops as a share of the frames offered,
// the rate between the first and last frame written, the delays to the
// histogram's 10 ms above each frame's own.
TEST(LiveReport, SummarySaysWhatTheRunWrote) {
    LiveReport report;
    EXPECT_EQ(report.summary("stopped by SIGINT"),
              "stopped by SIGINT: 0 frames written, 0 dropped (0.0 %), 0.0 frames/s, delay median 0.00 s, "
              "95th percentile 0.00 s");
    report.frameWritten(10.0, 0.004);
    report.frameWritten(10.5, 0.254);
    report.frameWritten(11.0, 0.304);
    report.framesDropped();
    EXPECT_EQ(report.summary("the source ended"),
              "the source ended: 3 frames written, 1 dropped (25.0 %), 2.0 frames/s, delay median 0.26 s, "
              "95th percentile 0.31 s");
    report.framesLost(4);
    report.frameWritten(12.0, 1e9);  // beyond the histogram: counted in its last bin
    EXPECT_DOUBLE_EQ(report.delayQuantile(1.0), 60.0);
    EXPECT_NE(report.summary("x").find(", 4 lost in transport, 1.5 frames/s"), std::string::npos) << report.summary("x");
}
