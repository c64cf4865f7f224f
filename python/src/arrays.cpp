#include "arrays.hpp"

#include <climits>
#include <string>

namespace py = pybind11;

namespace nightdehaze_python {

namespace {

int depthOf(const py::array& array, const char* what) {
    if (array.dtype().is(py::dtype::of<std::uint8_t>())) return CV_8U;
    if (array.dtype().is(py::dtype::of<double>())) return CV_64F;
    throw py::type_error(std::string(what) + ": expected a uint8 or float64 array, got dtype " +
                         py::str(array.dtype()).cast<std::string>());
}

int dimensionOf(py::ssize_t extent, const char* what) {
    if (extent <= 0 || extent > INT_MAX)
        throw py::value_error(std::string(what) + ": every dimension must be between 1 and " +
                              std::to_string(INT_MAX) + ", got " + std::to_string(extent));
    return static_cast<int>(extent);
}

py::dtype dtypeOf(int depth) {
    if (depth == CV_8U) return py::dtype::of<std::uint8_t>();
    if (depth == CV_64F) return py::dtype::of<double>();
    throw std::logic_error("a result of an unexpected depth");
}

}  // namespace

cv::Mat matView(const py::array& array, const char* what) {
    const int depth = depthOf(array, what);
    if (array.ndim() != 2 && array.ndim() != 3)
        throw py::value_error(std::string(what) + ": expected 2 or 3 dimensions, got " +
                              std::to_string(array.ndim()));
    if (!(array.flags() & py::array::c_style))
        throw py::value_error(std::string(what) + ": expected a C-contiguous array");
    const int rows = dimensionOf(array.shape(0), what);
    const int cols = dimensionOf(array.shape(1), what);
    const int channels = array.ndim() == 3 ? dimensionOf(array.shape(2), what) : 1;
    if (channels > CV_CN_MAX)
        throw py::value_error(std::string(what) + ": at most " + std::to_string(CV_CN_MAX) +
                              " channels, got " + std::to_string(channels));
    return cv::Mat(rows, cols, CV_MAKETYPE(depth, channels), const_cast<void*>(array.data()));
}

py::array arrayOf(cv::Mat matrix) {
    if (!matrix.u) matrix = matrix.clone();
    auto* kept = new cv::Mat(std::move(matrix));
    py::capsule owner(kept, [](void* m) { delete static_cast<cv::Mat*>(m); });
    std::vector<py::ssize_t> shape{kept->rows, kept->cols};
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(kept->step[0]),
                                     static_cast<py::ssize_t>(kept->elemSize())};
    if (kept->channels() > 1) {
        shape.push_back(kept->channels());
        strides.push_back(static_cast<py::ssize_t>(kept->elemSize1()));
    }
    return py::array(dtypeOf(kept->depth()), shape, strides, kept->data, owner);
}

}  // namespace nightdehaze_python
