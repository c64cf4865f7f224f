// Measures of the video path on a generated clip: a still night scene (the
// bundled sample, scaled) with fresh sensor noise in every frame and a bright
// light that swings in and out of the frame.
//
// Every command takes --fast first to measure the fast engine instead.
//   video_measures flicker W H FRAMES FPS SECONDS [noise|light]
//                                            flicker, steady (smoothing over SECONDS)
//                                            against per-frame (both disturbances, or
//                                            only the one named)
//   video_measures settle W H FPS            frames until a still clip equals the pictures
//   video_measures speed W H FRAMES          seconds per frame of the library paths
//   video_measures frames W H FRAMES DIR     writes the clip's frames as DIR/frame%04d.png
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr double kNoiseSigma = 6.0;          // grey levels: a high-gain night sensor
constexpr double kLightPeriodSeconds = 1.2;  // one swing of the light in and out
constexpr double kNominalRate = 25.0;        // frames per second of the generated clip

nightdehaze::DehazeContext engine;  // the exact engine, or the fast one with --fast

cv::Mat scene(cv::Size size) {
    const cv::Mat picture = cv::imread(NIGHTDEHAZE_SAMPLE, cv::IMREAD_COLOR);
    if (picture.empty()) throw std::runtime_error("cannot read the sample picture");
    cv::Mat scaled;
    cv::resize(picture, scaled, size, 0, 0, cv::INTER_AREA);
    return scaled;
}

// Frame k: the scene, noise of its own, and the light at its place in the swing
// (centre from half the width to well past the right edge).
cv::Mat frameAt(const cv::Mat& still, int k, bool noisy, bool lit) {
    cv::Mat frame = still.clone();
    if (noisy) {
        cv::Mat noise(frame.size(), CV_16SC3);
        cv::RNG rng(1000 + k);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, kNoiseSigma);
        cv::Mat sum;
        frame.convertTo(sum, CV_16SC3);
        sum += noise;
        sum.convertTo(frame, CV_8UC3);
    }
    if (lit) {
        const double phase = 2.0 * CV_PI * k / (kNominalRate * kLightPeriodSeconds);
        const int x = static_cast<int>(frame.cols * (1.1 + 0.6 * std::sin(phase)));
        const int radius = std::max(3, frame.rows / 16);
        cv::circle(frame, cv::Point(x, frame.rows * 2 / 3), radius, cv::Scalar(235, 245, 255), cv::FILLED,
                   cv::LINE_AA);
    }
    return frame;
}

std::vector<cv::Mat> enhanceAll(const std::vector<cv::Mat>& frames, bool steady, double fps,
                                double smoothing = nightdehaze::VideoOptions().smoothingSeconds) {
    nightdehaze::VideoOptions options;
    options.smoothingSeconds = smoothing;
    options.framesPerSecond = fps;
    options.steady = steady;
    nightdehaze::VideoEnhancer enhancer(engine, options);
    std::vector<cv::Mat> out;
    for (const cv::Mat& frame : frames) {
        cv::Mat done = enhancer.push(frame);
        if (!done.empty()) out.push_back(done);
    }
    for (cv::Mat& done : enhancer.flush()) out.push_back(done);
    return out;
}

// Mean over consecutive frames and channels of |change of the channel's mean|.
double flicker(const std::vector<cv::Mat>& frames) {
    double total = 0.0;
    for (size_t k = 1; k < frames.size(); ++k) {
        const cv::Scalar now = cv::mean(frames[k]), before = cv::mean(frames[k - 1]);
        for (int c = 0; c < 3; ++c) total += std::abs(now[c] - before[c]);
    }
    return total / (3.0 * static_cast<double>(frames.size() - 1));
}

double seconds(const std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int measureFlicker(cv::Size size, int count, double fps, double smoothing, const std::string& only) {
    const cv::Mat still = scene(size);
    std::vector<cv::Mat> frames;
    for (int k = 0; k < count; ++k) frames.push_back(frameAt(still, k, only != "light", only != "noise"));
    const double perFrame = flicker(enhanceAll(frames, false, fps));
    const double steady = flicker(enhanceAll(frames, true, fps, smoothing));
    const double input = flicker(frames);
    std::printf("%sflicker %s %dx%d, %d frames, smoothing %.2f s: input %.3f, per-frame %.3f, steady %.3f levels/frame; ratio %.2f\n",
                engine.fast ? "fast " : "", only.empty() ? "noise+light" : only.c_str(), size.width, size.height, count, smoothing, input, perFrame, steady, perFrame / steady);
    return 0;
}

// A still clip after a second of the light swinging: the first frame from
// which every steady output equals enhance of its frame.
int measureSettling(cv::Size size, double fps) {
    const cv::Mat still = scene(size);
    const int lit = static_cast<int>(fps);
    const int total = lit + static_cast<int>(10 * fps);
    std::vector<cv::Mat> frames;
    for (int k = 0; k < total; ++k) frames.push_back(frameAt(still, k, false, k < lit));
    const std::vector<cv::Mat> steady = enhanceAll(frames, true, fps);
    const cv::Mat picture = nightdehaze::enhance(frames.back(), engine);
    int settled = total;
    while (settled > lit && cv::norm(steady[settled - 1], picture, cv::NORM_INF) == 0.0) --settled;
    if (settled == total) {
        std::printf("settle %dx%d: the still clip never equalled its pictures in %d frames\n", size.width,
                    size.height, total - lit);
        return 1;
    }
    std::printf("settle %dx%d at %.0f fps: still from frame %d, equal to the picture from frame %d "
                "(%.2f s after the scene stopped) to the end, frame %d\n",
                size.width, size.height, fps, lit, settled, (settled - lit) / fps, total - 1);
    return 0;
}

// Seconds per frame: enhance one frame at a time on every thread and on one
// thread, and the VideoEnhancer's several frames at a time.
int measureSpeed(cv::Size size, int count) {
    const cv::Mat still = scene(size);
    std::vector<cv::Mat> frames;
    for (int k = 0; k < count; ++k) frames.push_back(frameAt(still, k, true, true));
    const int threads = cv::getNumThreads();
    auto start = std::chrono::steady_clock::now();
    for (const cv::Mat& frame : frames) nightdehaze::enhance(frame, engine);
    const double pictures = seconds(start) / count;
    start = std::chrono::steady_clock::now();
    enhanceAll(frames, true, kNominalRate);
    const double video = seconds(start) / count;
    cv::setNumThreads(1);
    start = std::chrono::steady_clock::now();
    for (const cv::Mat& frame : frames) nightdehaze::enhance(frame, engine);
    const double oneThread = seconds(start) / count;
    cv::setNumThreads(threads);
    std::printf("speed %dx%d, %d frames, %d threads: enhance %.3f s/frame, VideoEnhancer %.3f s/frame, "
                "enhance on 1 thread %.3f s/frame\n",
                size.width, size.height, count, threads, pictures, video, oneThread);
    return 0;
}

int writeFrames(cv::Size size, int count, const std::string& dir) {
    const cv::Mat still = scene(size);
    char name[64];
    for (int k = 0; k < count; ++k) {
        std::snprintf(name, sizeof name, "/frame%04d.png", k);
        if (!cv::imwrite(dir + name, frameAt(still, k, true, true))) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--fast") {
        engine.fast = true;
        args.erase(args.begin());
    }
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: see the header of bench/video_measures.cpp\n");
        return 2;
    }
    const cv::Size size(std::atoi(args[1].c_str()), std::atoi(args[2].c_str()));
    if (args[0] == "flicker" && (args.size() == 6 || args.size() == 7))
        return measureFlicker(size, std::atoi(args[3].c_str()), std::atof(args[4].c_str()),
                              std::atof(args[5].c_str()), args.size() == 7 ? args[6] : "");
    if (args[0] == "settle" && args.size() == 4) return measureSettling(size, std::atof(args[3].c_str()));
    if (args[0] == "speed" && args.size() == 4) return measureSpeed(size, std::atoi(args[3].c_str()));
    if (args[0] == "frames" && args.size() == 5) return writeFrames(size, std::atoi(args[3].c_str()), args[4]);
    std::fprintf(stderr, "usage: see the header of bench/video_measures.cpp\n");
    return 2;
}
