#include "video.hpp"

#include "arrays.hpp"
#include "keyword_options.hpp"

#include <pybind11/stl.h>
#include "nightdehaze/nightdehaze.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using namespace nightdehaze::files;

namespace py = pybind11;
using namespace py::literals;

namespace nightdehaze_python {

namespace {

nightdehaze::VideoOptions videoOptions(double framesPerSecond, bool steady, double smoothingSeconds,
                                       int parallelFrames) {
    nightdehaze::VideoOptions options;
    options.framesPerSecond = framesPerSecond;
    options.steady = steady;
    options.smoothingSeconds = smoothingSeconds;
    options.parallelFrames = parallelFrames;
    return options;
}

py::list arraysOf(const std::vector<cv::Mat>& frames) {
    py::list arrays;
    for (const cv::Mat& frame : frames) arrays.append(arrayOf(frame));
    return arrays;
}

// The library's enhancer is for one thread at a time; Python threads sharing
// one take turns here, waiting without the GIL.
class SharedVideoEnhancer {
public:
    // keywords: the options enhance takes (maps excepted), as keywordOptions reads them.
    SharedVideoEnhancer(const std::map<std::string, std::string>& keywords, double framesPerSecond, bool steady,
                        double smoothingSeconds, int parallelFrames)
        : enhancer_(keywordOptions(keywords, kPythonArrays, "VideoEnhancer").context,
                    videoOptions(framesPerSecond, steady, smoothingSeconds, parallelFrames)) {}

    // The oldest enhanced frame once the pipeline is full, else None.
    py::object push(const py::array& frame, std::optional<double> seconds) {
        const cv::Mat bgr8 = matView(frame, "frame");
        cv::Mat out;
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> turn(turn_);
            out = seconds ? enhancer_.push(bgr8, *seconds) : enhancer_.push(bgr8);
        }
        if (out.empty()) return py::none();
        return arrayOf(out);
    }

    // Takes a copy of frame unless the pipeline is full; never waits for a frame.
    bool offer(const py::array& frame, std::optional<double> seconds) {
        const cv::Mat bgr8 = matView(frame, "frame");
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> turn(turn_);
        return seconds ? enhancer_.offer(bgr8, *seconds) : enhancer_.offer(bgr8);
    }

    // The frames done so far, oldest first, without waiting for the others.
    py::list ready() {
        std::vector<cv::Mat> frames;
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> turn(turn_);
            frames = enhancer_.takeReady();
        }
        return arraysOf(frames);
    }

    py::list flush() {
        std::vector<cv::Mat> frames;
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> turn(turn_);
            frames = enhancer_.flush();
        }
        return arraysOf(frames);
    }

    int framesInFlight() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> turn(turn_);
        return enhancer_.framesInFlight();
    }

private:
    std::mutex turn_;
    nightdehaze::VideoEnhancer enhancer_;
};

}  // namespace

void bindVideoEnhancer(py::module_& module) {
    py::class_<SharedVideoEnhancer>(module, "VideoEnhancer")
        .def(py::init<const std::map<std::string, std::string>&, double, bool, double, int>(), py::kw_only(),
             "options"_a, "frames_per_second"_a, "steady"_a, "smoothing_seconds"_a, "parallel_frames"_a)
        .def("push", &SharedVideoEnhancer::push, "frame"_a, "seconds"_a)
        .def("offer", &SharedVideoEnhancer::offer, "frame"_a, "seconds"_a)
        .def("ready", &SharedVideoEnhancer::ready)
        .def("flush", &SharedVideoEnhancer::flush)
        .def_property_readonly("frames_in_flight", &SharedVideoEnhancer::framesInFlight);
}

}  // namespace nightdehaze_python
