#pragma once
// nightdehaze: enhancement of colour photographs taken at night in haze.
//
// Link with the CMake target nightdehaze::nightdehaze (find_package(nightdehaze)).
// Everything below is in namespace nightdehaze. Conventions of every function:
// - Images are cv::Mat with channels in B, G, R order. 8-bit planes hold
//   0..255; the filters compute in double precision and return CV_64F.
// - A window of radius r is the square of side 2r+1 centred on a pixel,
//   clipped at the image border: pixels outside are neither read nor counted.
//   Only the patches of the non-local filter read a mirrored border.
// - An output is passed by reference and written last, after every input has
//   been read, so it may be the same object as an input; several outputs of
//   one call must be distinct objects. Inputs passed by value are shallow
//   headers; their pixels are not written unless they are also an output. As
//   with OpenCV's own functions, an output that already has the result's size
//   and type may be filled in place: never pass as output a matrix that shares
//   its pixels with one still needed.
// - Arguments a function cannot process throw std::invalid_argument with a
//   message naming the function and the problem; cv::Exception and
//   std::bad_alloc propagate unchanged.
// - Work is spread over OpenCV's threads (cv::setNumThreads); the results are
//   identical, bit for bit, whatever the number of threads.
#include <opencv2/core.hpp>

#include <functional>
#include <iosfwd>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nightdehaze {

// The version of the library, "MAJOR.MINOR.PATCH".
const char* nightdehazeVersion();

// The numbers a parameter takes: finite, from low to high, each end included
// or not, and only integers when whole. The library's checks, the tool's
// options and the Python package refuse a value outside one with the same
// sentence, outOfRangeMessage.
struct NumberRange {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool lowIncluded = true;
    bool highIncluded = true;
    bool whole = false;

    // True for a finite value within the range (an integer when whole).
    bool holds(double value) const;
    // The range as a message says it: "a finite number greater than 0",
    // "a whole number from 1 to 100".
    std::string expected() const;
};

// "<name> must be <range.expected()>, not <given>": given is the value as
// the caller quotes it (the tool quotes the text it was given, 'abc'), or a
// number written in the fewest digits that read back as it.
std::string outOfRangeMessage(const std::string& name, const NumberRange& range, const std::string& given);
std::string outOfRangeMessage(const std::string& name, const NumberRange& range, double given);

// The range of StageParameters::gamma: above 0.
inline constexpr NumberRange kGammaRange{0.0, std::numeric_limits<double>::infinity(), false};

// The parameters of colour correction and dehazing, with their defaults, and
// the two stages that read them, as the exact engine computes them. The
// stages only read the parameters, so one object may be shared between
// threads once it is set up.
class StageParameters {
public:
    int refineRadius = 32;           // guided-filter radius of each stage's final map
    int patchRadius = 1;             // non-local filter: patch radius
    int searchRadius = 16;           // non-local filter: search radius of the final maps
    double noiseSigma = 25.0;        // non-local filter: noise level, 0..255 scale
    double nonLocalEps = 100.0;      // non-local filter: regulariser, 0..255 scale
    bool useNonLocalFilter = false;  // false: colour guided filter; true: non-local
    double gamma = 1.2;              // in kGammaRange; colour correction raises by 1/gamma

    // Both stages take a non-empty 8-bit BGR image (CV_8UC3), the window
    // radius of the light estimate (at least 1; enhance uses 5) and eps, the
    // guided-filter regularisation on the 0..1 scale (enhance uses 0.01).
    // Every output has the image's size and may be the image's object. They
    // throw std::invalid_argument for another image type, radius < 1 or
    // refineRadius < 0.

    // Correction map: CV_64FC3 factors (mostly 0.1..1) by which the caller
    // divides the image to neutralise the colour of the local light.
    void colorCorrection(int radius, cv::Mat& correctionMap, cv::Mat image, double eps) const;

    // Removes haze: dehazed (CV_8UC3), the local atmospheric light (CV_8UC3,
    // saturated) and the transmission in 0..1 (CV_64FC1).
    void dehaze(int radius, cv::Mat& dehazed, cv::Mat& airlight, cv::Mat& transmission,
                cv::Mat image, double eps) const;
};

// What enhance and VideoEnhancer read: the stage parameters, the engine and
// the clean-up.
class DehazeContext : public StageParameters {
public:
    // Also suppress what the enhancement would amplify from compression and
    // noise: the 8x8 block steps of JPEG compression are smoothed out of the
    // input and its noise is smoothed where it is dark; in the result every
    // variation smaller than the input's noise level times the local gain is
    // flattened and the colour noise of dark areas turned grey. Either engine
    // (the fast one in single precision). false gives the plain pipeline,
    // bit for bit.
    bool clean = false;
    // The fast engine: the same stages, parameters and contrast stretches in
    // single precision (sums in double), with the wide smoothing fitted on
    // coarser grids and the full-resolution filters streamed row by row;
    // several times as fast as the exact engine, in less memory, and within
    // a few grey levels of its result almost everywhere. Its bytes depend
    // neither on the number of threads nor on the CPU. Cannot be combined
    // with useNonLocalFilter (std::invalid_argument). false: the exact engine.
    bool fast = false;

    // Deprecated, kept for one version: the stages of StageParameters, which
    // read neither clean nor fast. Call them on a StageParameters (the
    // context's base, or a copy of it).
    [[deprecated("the stages read neither fast nor clean: call them on a nightdehaze::StageParameters")]]
    void colorCorrection(int radius, cv::Mat& correctionMap, cv::Mat image, double eps) const {
        StageParameters::colorCorrection(radius, correctionMap, image, eps);
    }
    [[deprecated("the stages read neither fast nor clean: call them on a nightdehaze::StageParameters")]]
    void dehaze(int radius, cv::Mat& dehazed, cv::Mat& airlight, cv::Mat& transmission, cv::Mat image,
                double eps) const {
        StageParameters::dehaze(radius, dehazed, airlight, transmission, image, eps);
    }
};

// ---------------------------------------------------------------------------
// The whole pipeline in one call.

// The two maps of the dehazing stage, each of the size of the image.
struct HazeMaps {
    cv::Mat airlight;      // local atmospheric light, CV_8UC3, 0..255
    cv::Mat transmission;  // share of the scene's light that passes the haze, CV_64FC1, 0..1
};

// Follows a long call and may stop it. Override what you need; the defaults
// ignore the reports and never stop.
class ProgressMonitor {
public:
    virtual ~ProgressMonitor() = default;

    // A stage begins: "Light Compensation", "Color Correction" or "Dehazing".
    // Called on the thread that made the call.
    virtual void stageBegins(const char* stage);

    // share: the part of the whole call's work done so far, 0..1, never
    // decreasing from one report to the next. Called on any of the library's
    // threads, one report at a time; keep it short.
    virtual void advanced(double share);

    // Polled on any of the library's threads, between rows, bands or tiles of
    // work (a few times per second of work or more). Once it returns true the
    // call stops soon and throws Cancelled. Keep it short and thread-safe.
    virtual bool stopRequested();
};

// Writes and flushes the line enhance writes to its progress stream as a
// stage begins, "Current step: <stage>": for a ProgressMonitor that prints the
// stages as the tool does.
void writeStageLine(std::ostream& out, const char* stage);

// Thrown by a call that a ProgressMonitor stopped. Nothing is returned; the
// inputs are unchanged.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("cancelled") {}
};

// Enhances an 8-bit BGR photograph (CV_8UC3, non-empty) exactly as the
// nightdehaze tool does: light compensation, contrast stretch, colour
// correction (the image divided by the correction map, a zero factor giving
// 0), contrast stretch, dehazing, each stage at window radius 5 with
// regularisation 0.01 and the other parameters from context. Returns the
// dehazed image, a new CV_8UC3 matrix of the input's size. When maps is given
// it receives the dehazing stage's maps (new matrices). When progress is given
// one line is written and flushed to it as each stage begins:
// "Current step: Light Compensation", "... Color Correction", "... Dehazing".
// bgr8 is never written. Throws std::invalid_argument for an empty image, an
// image of another type, a context.gamma outside kGammaRange,
// context radii the stages reject, or context.fast with useNonLocalFilter.
cv::Mat enhance(const cv::Mat& bgr8, const DehazeContext& context, HazeMaps* maps = nullptr,
                std::ostream* progress = nullptr);

// enhance as above, reporting to monitor: the stage that begins, the share of
// the work done, and stopping with Cancelled when the monitor asks for it.
cv::Mat enhance(const cv::Mat& bgr8, const DehazeContext& context, HazeMaps* maps,
                ProgressMonitor& monitor);

// enhance as above for a picture the caller gives up (std::move): its pixels
// are freed once light compensation has read them (with context.clean, once
// it has its deblocked copy), unless other matrices share them, which lowers
// the peak memory by three bytes per pixel. bgr8 is left empty, also when
// it throws.
cv::Mat enhance(cv::Mat&& bgr8, const DehazeContext& context, HazeMaps* maps, ProgressMonitor& monitor);

// Runs work, which may call any function of this library, with monitor
// polled for stop requests by the kernels work runs (between rows, bands or
// tiles), so that a long stage or kernel call outside enhance can be stopped
// too; no progress is reported. Once the monitor asks to stop, the running
// kernels cut their work short, and runMonitored throws Cancelled when work
// returns: whatever work computed is then incomplete and must be discarded.
// Exceptions from work propagate unchanged.
void runMonitored(ProgressMonitor& monitor, const std::function<void()>& work);

// The transmission of HazeMaps as the tool writes it: each value times 255,
// rounded to a byte as cv::Mat::convertTo rounds it on x86-64 with OpenCV's
// baseline vector code, whatever the CPU. Returns a new CV_8UC1 matrix of its
// size. Throws std::invalid_argument unless transmission is CV_64FC1.
cv::Mat transmissionBytes(const cv::Mat& transmission);

// ---------------------------------------------------------------------------
// Memory of a program that owns its process (a command-line tool), not of a
// program that only calls the library.

// Makes every cv::Mat the process allocates from now on take its large
// buffers from one allocator that keeps them for reuse once freed, instead of handing them back to the system and having the next plane
// of the same size fault in fresh pages; it keeps little more than the
// process's peak. enhance and VideoEnhancer use that allocator during their
// calls in any case. Idempotent; does nothing under AddressSanitizer, so that
// every buffer stays watched.
void installBufferReuse();

// Hands the buffers that allocator keeps back to the system: for a program
// about to do other work with the memory (encoding a finished picture), so
// that its peak is the enhancement's and not that plus the encoder's.
void releaseKeptBuffers();

// Makes the C library's allocator keep memory the program frees for its next
// allocations instead of handing it back to the system: large blocks come
// from its heap rather than from mappings of their own, and the heap is not
// trimmed after each free.
void retainFreedHeapMemory();

// ---------------------------------------------------------------------------
// Video.

// How a VideoEnhancer treats a stream of frames.
struct VideoOptions {
    // The stream's frame rate (finite, above 0): the smoothing spans a fixed
    // time whatever the rate.
    double framesPerSecond = 30.0;
    // Steady mode: the seconds over which the smoothed limits close 63 % of a
    // change (finite, above 0). Longer evens out more of a light that passes
    // in and out, and takes longer to follow a real change of the scene.
    double smoothingSeconds = 2.0;
    // true: the limits of both contrast stretches are smoothed over time, so
    // that the output keeps its brightness and colour when a light enters or
    // the noise changes, and a scene that holds still comes to exactly the
    // result of enhance on each frame (every limit moves a fixed share of the
    // way towards the frame's own limits per frame, and takes them outright
    // once what is left would move no output level by more than a quarter).
    // false: every frame is exactly enhance of that frame.
    bool steady = true;
    // Frames enhanced at the same time (each also spread over OpenCV's
    // threads); 0: cv::getNumThreads(). Memory grows with it: each frame in
    // flight holds the working memory of one enhance call.
    int parallelFrames = 0;
};

// Enhances a stream of 8-bit BGR frames (CV_8UC3) as enhance does, carrying
// the temporal state from frame to frame and working on several frames at a
// time. Frames come out in the order they went in. Use from one thread.
class VideoEnhancer {
public:
    // context is copied. When stageLines is given, the three stage lines of
    // enhance are written to it once, for the first frame. Throws
    // std::invalid_argument for options out of range or a context enhance
    // would reject.
    explicit VideoEnhancer(const DehazeContext& context, const VideoOptions& options = {},
                           std::ostream* stageLines = nullptr);
    // Stops the frames in flight soon and discards them.
    ~VideoEnhancer();
    VideoEnhancer(const VideoEnhancer&) = delete;
    VideoEnhancer& operator=(const VideoEnhancer&) = delete;

    // Takes a copy of a non-empty CV_8UC3 frame. Returns the oldest enhanced
    // frame (a new matrix of its size) once parallelFrames + 1 frames are in
    // flight, waiting for it, and an empty matrix while fewer are. Throws
    // std::invalid_argument for another frame type, before taking it; when
    // the oldest frame failed, throws what enhance threw for it (that frame
    // is dropped, the others stay in flight).
    cv::Mat push(const cv::Mat& frame);

    // Waits for every frame in flight and returns them, oldest first. More
    // frames may follow; the temporal state is kept. Throws as push does.
    std::vector<cv::Mat> flush();

    // For live sources, which must not wait: takes a copy of the frame and
    // returns true, or returns false without taking it when parallelFrames +
    // 1 frames are in flight already (the caller drops it, or tries later).
    // Throws std::invalid_argument for another frame type.
    bool offer(const cv::Mat& frame);

    // push and offer for a frame shown at seconds on the stream's clock
    // (finite, rising from frame to frame): steady mode then smooths over
    // the time between the frames given instead of one frame per
    // framesPerSecond, so that frames a live source drops before enhancing
    // do not slow it down. Throws std::invalid_argument also for seconds
    // that are not finite.
    cv::Mat push(const cv::Mat& frame, double seconds);
    bool offer(const cv::Mat& frame, double seconds);

    // The enhanced frames that are done, oldest first, without waiting: none
    // while the oldest frame in flight is still being enhanced. Throws as
    // push does for a frame that failed.
    std::vector<cv::Mat> takeReady();

    // Frames taken and not yet returned.
    int framesInFlight() const;

private:
    cv::Mat pushTimed(const cv::Mat& frame, double seconds);
    bool offerTimed(const cv::Mat& frame, double seconds);

    struct Pipeline;
    std::unique_ptr<Pipeline> pipeline_;
};

// ---------------------------------------------------------------------------
// Stages.

// Brightens an 8-bit BGR image in HSV space: hue and saturation are kept and
// the value V becomes 255*(V/255)^(1/3) times the ratio of V to the V of an
// edge-preserving smoothed copy (grey guided filter per plane at radius r, the
// ratio smoothed at r + 5), rounded to 8 bits. eps regularises both filters on
// the 0..1 scale. dst becomes CV_8UC3 and may be the same object as src.
// Throws std::invalid_argument unless src is non-empty CV_8UC3 and r >= 0.
void lightCompensation(int r, cv::Mat& dst, cv::Mat src, double eps);

// Stretches each plane of an 8-bit three-channel image so that the mean of its
// darkest 1 % maps to 0 and the mean of its brightest 1 % to 255, saturating
// outside. Each tail holds at least one pixel; a plane whose two tail means are
// equal is left unchanged. dst becomes CV_8UC3 and may be the same object as src.
// Throws std::invalid_argument unless src is CV_8UC3.
void contrastStretch(cv::Mat& dst, cv::Mat src);

// ---------------------------------------------------------------------------
// Filter kernels.

// Window sums (not means) of a single-channel image of any depth over the
// window of radius r: outside pixels are not counted. Values keep their units
// (an 8-bit source sums 0..255). dst becomes a new CV_64FC1 matrix of src's
// size and may be the same object as src. Throws std::invalid_argument when
// r < 0 or src has more than one channel.
void cumBoxFilter(int r, cv::Mat& dst, cv::Mat src);

// Guided filter under a single-channel guide: q = mean(a)*I + mean(b), with
// a = cov(I,p)/(var(I)+eps) and b = mean(p) - a*mean(I) over every window of
// radius r. I and p are one channel each, same size, any depth, not rescaled:
// pass them on the 0..1 scale, where eps (e.g. 0.01) applies. q becomes a new
// CV_64FC1 matrix; q, I and p may all be the same object. Throws
// std::invalid_argument for r < 0, a plane with several channels, or a size mismatch.
void guidedFilterGray(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps);

// Guided filter under a three-channel guide: over every window of radius r, p
// is fitted as a2*I2 + a1*I1 + a0*I0 + b (guide covariance + eps on the
// diagonal) and the window means of the coefficients are applied to the guide.
// I: three channels, p: one channel, same size, any depth, not rescaled (pass
// 0..1). q becomes a new CV_64FC1 matrix and may be p itself. Throws
// std::invalid_argument for r < 0, a guide without three channels, a p
// without one, or a size mismatch.
void guidedFilterColor(int r, cv::Mat& q, cv::Mat I, cv::Mat p, double eps);

// Guided filter whose local means are non-local-means weighted means over the
// search window of radius s (clipped at the border): the weight of a window
// pixel comes from the distance between the (2r+1)^2 guide patches around the
// two pixels (mirrored at the border, guide rounded to whole grey levels),
// noise level sigma. The output is the weighted mean of the per-pixel model
// a2*I2 + a1*I1 + a0*I0 + b; eps is added to the diagonal of each pixel's 3x3
// guide covariance. I: three channels, p: one channel, same size, any depth,
// both on the 0..255 scale, where sigma and eps apply. q becomes a new
// CV_64FC1 matrix and may be the matrix p was built from. Throws
// std::invalid_argument for r < 1, s < 0, sigma <= 0 or NaN, an empty or
// non-three-channel guide, or a p without one channel or of another size.
void nonLocalGuidedFilter(int r, int s, cv::Mat& q, cv::Mat I, cv::Mat p, double sigma,
                          double eps);

// Pads a single-channel image by r on every side, mirroring across each edge
// with the edge itself repeated (c b a | a b c d | d c b). The result is always
// CV_8UC1: other depths are rounded and saturated to 0..255 on the way in (as
// convertTo on x86-64: a double beyond the int range, or NaN, gives 0).
// A border wider than the image keeps reflecting (b b a | a b | b a a), so an
// image smaller than a patch still pads. dst becomes a new (R+2r) x (C+2r)
// matrix, never sharing storage with src (dst may be the same object as src).
// Throws std::invalid_argument unless src is non-empty with one channel and r >= 1.
void padSymmetric(int r, cv::Mat& dst, cv::Mat src);

// Dark channel: at every pixel the minimum over the three 8-bit planes and over
// the window of half-size h, as a CV_64FC1 matrix in 0..255 (255 when nothing
// is darker). dark becomes a new matrix and may be the object of a plane.
// Throws std::invalid_argument for h < 0 or planes that are not three CV_8UC1
// of one size.
void darkChannel(int h, cv::Mat& dark, const std::vector<cv::Mat>& planes);

// dst(i, j) = std::pow(src(i, j), p) for a single-channel source of any depth,
// taken as double without rescaling. dst becomes a new CV_64FC1 matrix and may
// be the same object as src. Throws std::invalid_argument when src has
// several channels.
void elementwisePower(cv::Mat& dst, cv::Mat src, double p);

}  // namespace nightdehaze
