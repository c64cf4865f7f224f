// _bench_timing: the bare C++ enhance call timed in C++, for
// scripts/measure-python to compare the package's call against. Built with
// the benchmarks, never shipped.
#include "nightdehaze/nightdehaze.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <stdexcept>

namespace py = pybind11;

namespace {

// Seconds of one enhance call on a C-contiguous (H, W, 3) uint8 BGR array.
double bareEnhanceSeconds(const py::array_t<unsigned char, py::array::c_style>& image) {
    if (image.ndim() != 3 || image.shape(2) != 3) throw std::invalid_argument("expected (H, W, 3) uint8");
    const cv::Mat bgr8(static_cast<int>(image.shape(0)), static_cast<int>(image.shape(1)), CV_8UC3,
                       const_cast<unsigned char*>(image.data()));
    const nightdehaze::DehazeContext context;
    py::gil_scoped_release released;
    const auto start = std::chrono::steady_clock::now();
    const cv::Mat dehazed = nightdehaze::enhance(bgr8, context);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

PYBIND11_MODULE(_bench_timing, m) { m.def("bare_enhance_seconds", &bareEnhanceSeconds, py::arg("image")); }
