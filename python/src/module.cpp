// nightdehaze._core: the library's entry points on numpy arrays. The package
// (nightdehaze/__init__.py) checks and converts arguments and documents them;
// this layer takes C-contiguous uint8/float64 arrays only, releases the GIL
// while the library runs and lets Ctrl-C stop it.
#include "clip.hpp"
#include "files/one_line.hpp"
#include "files/output_name.hpp"
#include "files/file_error.hpp"
#include "files/option_help.hpp"
#include "files/options.hpp"
#include "files/picture_job.hpp"
#include "files/picture_steps.hpp"
#include "files/thumbnail.hpp"
#include "files/usage_error.hpp"
#include "arrays.hpp"
#include "file_job.hpp"
#include "interruption.hpp"
#include "keyword_options.hpp"
#include "nightdehaze/nightdehaze.hpp"
#include "video.hpp"

#include <opencv2/core/utility.hpp>
#include <pybind11/stl.h>

#include <cerrno>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace nightdehaze::files;

namespace py = pybind11;
using namespace py::literals;
using nightdehaze::ProgressMonitor;
using nightdehaze_python::arrayOf;
using nightdehaze_python::Cancellation;
using nightdehaze_python::matView;
using nightdehaze_python::runWithoutGil;

namespace {

// FileError as the exception a Python caller expects: ValueError when the
// content or the request is at fault, MemoryError, else the OSError subclass of
// its errno (FileNotFoundError, PermissionError, ...), whose str() is the message.
void raiseFileError(const FileError& error) {
    const std::string message = oneLine(error.what());
    if (error.systemError() == 0) throw py::value_error(message);
    if (error.systemError() == ENOMEM) {
        PyErr_SetString(PyExc_MemoryError, message.c_str());
        throw py::error_already_set();
    }
    const py::object osError = py::reinterpret_borrow<py::object>(PyExc_OSError);
    // A read-only file system refuses as a lack of permission does; Python's
    // own mapping of EROFS is the bare OSError.
    const py::object kind = error.systemError() == EROFS
                                ? py::reinterpret_borrow<py::object>(PyExc_PermissionError)
                                : py::type::of(osError(error.systemError(), ""));
    const py::object exception = kind(message);
    exception.attr("errno") = error.systemError();
    PyErr_SetObject(kind.ptr(), exception.ptr());
    throw py::error_already_set();
}

void translateExceptions(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const FileError& error) {
        try {
            raiseFileError(error);
        } catch (py::error_already_set& raised) {
            raised.restore();
        } catch (const py::builtin_exception& raised) {
            raised.set_error();
        }
    } catch (const UsageError& error) {
        PyErr_SetString(PyExc_ValueError, oneLine(error.what()).c_str());
    } catch (const cv::Exception& error) {
        PyErr_SetString(error.code == cv::Error::StsNoMem ? PyExc_MemoryError : PyExc_RuntimeError,
                        oneLine(error.what()).c_str());
    }
}

py::object enhance(const py::array& image, const std::map<std::string, std::string>& keywords, bool wantMaps,
                   const std::shared_ptr<Cancellation>& cancellation) {
    const cv::Mat bgr8 = matView(image, "image");
    Options options = nightdehaze_python::keywordOptions(keywords, kPythonArrays, "enhance");
    options.writeMaps = wantMaps;
    cv::Mat dehazed;
    nightdehaze::HazeMaps maps;
    runWithoutGil([&](ProgressMonitor& monitor) {
        dehazed = nightdehaze::enhance(bgr8, options.context, options.writeMaps ? &maps : nullptr, monitor);
    }, cancellation.get());
    if (!options.writeMaps) return arrayOf(dehazed);
    return py::make_tuple(arrayOf(dehazed), arrayOf(maps.airlight), arrayOf(maps.transmission));
}

// The tool's job for one picture, with the options given by their keywords
// and their values as the command line writes them ("" for a flag that is on).
std::string enhanceFileWith(const std::string& path, const std::map<std::string, std::string>& keywords) {
    Options options = nightdehaze_python::keywordOptions(keywords, kPythonFiles, "enhance_file");
    options.inputPath = path;
    return nightdehaze_python::enhanceFile(options);
}

// The picture the tool would enhance for path (B, G, R, upright, 8-bit).
py::array imread(const std::string& path) {
    cv::Mat picture;
    runWithoutGil([&](ProgressMonitor&) { picture = readPictureFile(path); });
    return arrayOf(picture);
}

py::bytes bytesOf(const std::vector<uchar>& encoded) {
    return py::bytes(reinterpret_cast<const char*>(encoded.data()), encoded.size());
}

// A JPEG preview of the picture at path, its longer side at most maxSide.
py::bytes thumbnail(const std::string& path, int maxSide) {
    std::vector<uchar> jpeg;
    runWithoutGil([&](ProgressMonitor&) { jpeg = thumbnailJpeg(path, maxSide); });
    return bytesOf(jpeg);
}

// image (8-bit grey or BGR) shrunk by area averaging to fit maxSide.
py::array shrinkToFit(const py::array& image, int maxSide) {
    const cv::Mat picture = matView(image, "image");
    cv::Mat shrunk;
    runWithoutGil([&](ProgressMonitor&) { shrunk = shrunkToFit(picture, maxSide).clone(); });
    return arrayOf(shrunk);
}

// image (8-bit grey or BGR) as JPEG bytes.
py::bytes encodeJpeg(const py::array& image, int quality) {
    const cv::Mat picture = matView(image, "image");
    std::vector<uchar> jpeg;
    runWithoutGil([&](ProgressMonitor&) { jpeg = jpegBytes(picture, quality); });
    return bytesOf(jpeg);
}

// image (8-bit grey or BGR) as PNG bytes, quickly compressed.
py::bytes encodePng(const py::array& image) {
    const cv::Mat picture = matView(image, "image");
    std::vector<uchar> png;
    runWithoutGil([&](ProgressMonitor&) { png = fastPngBytes(picture); });
    return bytesOf(png);
}

// transmission (float64, rows x cols, 0..1) as the tool writes it: uint8 0..255.
py::array transmissionAsBytes(const py::array& transmission) {
    const cv::Mat map = matView(transmission, "transmission");
    if (map.type() != CV_64FC1) throw py::type_error("transmission must be a 2-D float64 array");
    cv::Mat bytes;
    runWithoutGil([&](ProgressMonitor&) { bytes = nightdehaze::transmissionBytes(map); });
    return arrayOf(bytes);
}

void bindCancellation(py::module_& m) {
    py::register_exception<nightdehaze::Cancelled>(m, "Cancelled").attr("__doc__") =
        "Raised by a call whose Cancellation was cancelled; it returns nothing.";
    py::class_<Cancellation, std::shared_ptr<Cancellation>>(
        m, "Cancellation", "Stops the enhance calls it is given when cancel() is called, from any thread.")
        .def(py::init<>())
        .def("cancel", [](Cancellation& c) { c.requested.store(true, std::memory_order_relaxed); })
        .def_property_readonly("cancelled",
                               [](const Cancellation& c) { return c.requested.load(std::memory_order_relaxed); });
}

// The declarations of the options, for the package's checks, defaults and
// docstrings and for nightdehaze-batch's arguments.
py::list declaredOptions() {
    static const char* const kinds[] = {"flag", "whole_number", "number", "path"};
    py::list declarations;
    for (const OptionDeclaration& option : optionDeclarations()) {
        py::dict d;
        d["keyword"] = option.keyword;
        d["command_line"] = option.longName && (option.surfaces & kCommandLine) ? py::object(py::str(option.longName))
                                                                           : py::object(py::none());
        d["kind"] = kinds[static_cast<int>(option.kind)];
        d["value_name"] = option.valueName ? py::object(py::str(option.valueName)) : py::object(py::none());
        d["range"] = option.range;
        d["default"] = option.defaultText;
        d["help"] = option.help;
        d["python_help"] = helpOn(option, kPythonFiles);
        d["batch_help"] = helpOn(option, kBatch);
        d["arrays"] = (option.surfaces & kPythonArrays) != 0;
        d["files"] = (option.surfaces & kPythonFiles) != 0;
        d["batch"] = (option.surfaces & kBatch) != 0;
        declarations.append(d);
    }
    return declarations;
}

// The value of a declared option from its text as the tool checks it (an int
// for a whole number, a float for a number, the text of a path), the option
// named as name in the ValueError of a text it refuses.
py::object optionValue(const std::string& keyword, const std::string& text, const std::string& name) {
    const OptionDeclaration* option = findOption(keyword);
    if (!option || keyword != option->keyword) throw py::key_error(keyword);
    const OptionValue value = checkedOptionValue(*option, text, name);
    switch (option->kind) {
        case OptionKind::wholeNumber: return py::int_(static_cast<long long>(value.number));
        case OptionKind::number: return py::float_(value.number);
        case OptionKind::flag:
        case OptionKind::path: break;
    }
    return py::str(value.text);
}

void bindNumberRange(py::module_& m) {
    using nightdehaze::NumberRange;
    py::class_<NumberRange>(m, "NumberRange", "The numbers a parameter takes (see the library's NumberRange).")
        .def(py::init([](double low, double high, bool lowIncluded, bool highIncluded, bool whole) {
                 return NumberRange{low, high, lowIncluded, highIncluded, whole};
             }),
             py::kw_only(), "low"_a = -HUGE_VAL, "high"_a = HUGE_VAL, "low_included"_a = true,
             "high_included"_a = true, "whole"_a = false)
        .def_readonly("low", &NumberRange::low)
        .def_readonly("high", &NumberRange::high)
        .def_readonly("low_included", &NumberRange::lowIncluded)
        .def_readonly("high_included", &NumberRange::highIncluded)
        .def_readonly("whole", &NumberRange::whole)
        .def("holds", &NumberRange::holds, "value"_a)
        .def("expected", &NumberRange::expected);
    m.def("out_of_range_message",
          py::overload_cast<const std::string&, const NumberRange&, const std::string&>(
              &nightdehaze::outOfRangeMessage),
          "name"_a, "range"_a, "given"_a);
}

// (first keyword, second keyword, why) of two options given together that do
// not combine, or None; keywords as enhance_file takes them.
py::object optionConflict(const std::map<std::string, std::string>& keywords) {
    const OptionConflict conflict =
        conflictingOptions(nightdehaze_python::keywordOptions(keywords, kPythonFiles | kBatch, "option_conflict", false));
    if (!conflict.first) return py::none();
    return py::make_tuple(conflict.first->keyword, conflict.second->keyword, conflict.why);
}

py::array lightCompensation(const py::array& image, int radius, double eps) {
    const cv::Mat src = matView(image, "image");
    cv::Mat dst;
    runWithoutGil([&](ProgressMonitor&) { nightdehaze::lightCompensation(radius, dst, src, eps); });
    return arrayOf(dst);
}

py::array contrastStretch(const py::array& image) {
    const cv::Mat src = matView(image, "image");
    cv::Mat dst;
    runWithoutGil([&](ProgressMonitor&) { nightdehaze::contrastStretch(dst, src); });
    return arrayOf(dst);
}

py::array colorCorrection(const nightdehaze::StageParameters& context, const py::array& image,
                          int radius, double eps) {
    const cv::Mat src = matView(image, "image");
    cv::Mat map;
    runWithoutGil([&](ProgressMonitor&) { context.colorCorrection(radius, map, src, eps); });
    return arrayOf(map);
}

py::tuple dehaze(const nightdehaze::StageParameters& context, const py::array& image, int radius,
                 double eps) {
    const cv::Mat src = matView(image, "image");
    cv::Mat dehazed, airlight, transmission;
    runWithoutGil([&](ProgressMonitor&) {
        context.dehaze(radius, dehazed, airlight, transmission, src, eps);
    });
    return py::make_tuple(arrayOf(dehazed), arrayOf(airlight), arrayOf(transmission));
}

py::array boxFilter(const py::array& image, int radius) {
    const cv::Mat src = matView(image, "image");
    cv::Mat sums;
    runWithoutGil([&](ProgressMonitor&) { nightdehaze::cumBoxFilter(radius, sums, src); });
    return arrayOf(sums);
}

py::array guidedFilterGray(const py::array& guide, const py::array& image, int radius, double eps) {
    const cv::Mat I = matView(guide, "guide"), p = matView(image, "image");
    cv::Mat q;
    runWithoutGil([&](ProgressMonitor&) { nightdehaze::guidedFilterGray(radius, q, I, p, eps); });
    return arrayOf(q);
}

py::array guidedFilterColor(const py::array& guide, const py::array& image, int radius, double eps) {
    const cv::Mat I = matView(guide, "guide"), p = matView(image, "image");
    cv::Mat q;
    runWithoutGil([&](ProgressMonitor&) { nightdehaze::guidedFilterColor(radius, q, I, p, eps); });
    return arrayOf(q);
}

py::array nonLocalGuidedFilter(const py::array& guide, const py::array& image, int patchRadius,
                               int searchRadius, double sigma, double eps) {
    const cv::Mat I = matView(guide, "guide"), p = matView(image, "image");
    cv::Mat q;
    runWithoutGil([&](ProgressMonitor&) {
        nightdehaze::nonLocalGuidedFilter(patchRadius, searchRadius, q, I, p, sigma, eps);
    });
    return arrayOf(q);
}

py::array padSymmetric(const py::array& image, int radius) {
    const cv::Mat src = matView(image, "image");
    cv::Mat padded;
    runWithoutGil([&](ProgressMonitor&) { nightdehaze::padSymmetric(radius, padded, src); });
    return arrayOf(padded);
}

py::array darkChannel(const py::array& image, int radius) {
    const cv::Mat bgr = matView(image, "image");
    cv::Mat dark;
    runWithoutGil([&](ProgressMonitor&) {
        std::vector<cv::Mat> planes;
        cv::split(bgr, planes);
        nightdehaze::darkChannel(radius, dark, planes);
    });
    return arrayOf(dark);
}

void bindContext(py::module_& m) {
    using nightdehaze::StageParameters;
    py::class_<StageParameters>(m, "Context")
        .def(py::init([](int refineRadius, int patchRadius, int searchRadius, double noiseSigma,
                         double nonLocalEps, bool nonLocal, double gamma) {
                 StageParameters parameters;
                 parameters.refineRadius = refineRadius;
                 parameters.patchRadius = patchRadius;
                 parameters.searchRadius = searchRadius;
                 parameters.noiseSigma = noiseSigma;
                 parameters.nonLocalEps = nonLocalEps;
                 parameters.useNonLocalFilter = nonLocal;
                 parameters.gamma = gamma;
                 return parameters;
             }),
             py::kw_only(), "refine_radius"_a = 32, "patch_radius"_a = 1, "search_radius"_a = 16,
             "noise_sigma"_a = 25.0, "non_local_eps"_a = 100.0, "non_local"_a = false,
             "gamma"_a = 1.2)
        .def_readwrite("refine_radius", &StageParameters::refineRadius)
        .def_readwrite("patch_radius", &StageParameters::patchRadius)
        .def_readwrite("search_radius", &StageParameters::searchRadius)
        .def_readwrite("noise_sigma", &StageParameters::noiseSigma)
        .def_readwrite("non_local_eps", &StageParameters::nonLocalEps)
        .def_readwrite("non_local", &StageParameters::useNonLocalFilter)
        .def_readwrite("gamma", &StageParameters::gamma)
        .def("color_correction", &colorCorrection, "image"_a, "radius"_a, "eps"_a)
        .def("dehaze", &dehaze, "image"_a, "radius"_a, "eps"_a);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled core of the nightdehaze package; use the nightdehaze package.";
    nightdehaze_python::rememberMainThread();
    py::register_exception_translator(&translateExceptions);

    m.attr("__version__") = nightdehaze::nightdehazeVersion();
    bindCancellation(m);
    bindNumberRange(m);
    m.def("enhance", &enhance, "image"_a, "options"_a, "maps"_a = false, "cancellation"_a = nullptr);
    m.def("enhance_file", &enhanceFileWith, "path"_a, "options"_a);
    nightdehaze_python::bindClipCalls(m);
    m.def("option_declarations", &declaredOptions);
    m.def("option_conflict", &optionConflict, "options"_a);
    m.def("option_value", &optionValue, "keyword"_a, "text"_a, "name"_a);
    m.def("output_stem", &outputStemOf, "path"_a);
    m.def("imread", &imread, "path"_a);
    m.def("thumbnail", &thumbnail, "path"_a, "max_side"_a);
    m.def("shrink_to_fit", &shrinkToFit, "image"_a, "max_side"_a);
    m.def("encode_jpeg", &encodeJpeg, "image"_a, "quality"_a);
    m.def("encode_png", &encodePng, "image"_a);
    m.def("transmission_bytes", &transmissionAsBytes, "transmission"_a);
    m.def("light_compensation", &lightCompensation, "image"_a, "radius"_a, "eps"_a);
    m.def("contrast_stretch", &contrastStretch, "image"_a);
    m.def("box_filter", &boxFilter, "image"_a, "radius"_a);
    m.def("guided_filter_gray", &guidedFilterGray, "guide"_a, "image"_a, "radius"_a, "eps"_a);
    m.def("guided_filter_color", &guidedFilterColor, "guide"_a, "image"_a, "radius"_a, "eps"_a);
    m.def("non_local_guided_filter", &nonLocalGuidedFilter, "guide"_a, "image"_a,
          "patch_radius"_a, "search_radius"_a, "sigma"_a, "eps"_a);
    m.def("pad_symmetric", &padSymmetric, "image"_a, "radius"_a);
    m.def("dark_channel", &darkChannel, "image"_a, "radius"_a);
    m.def("set_num_threads", [](int n) { cv::setNumThreads(n); }, "n"_a);
    m.def("get_num_threads", [] { return cv::getNumThreads(); });
    bindContext(m);
    nightdehaze_python::bindVideoEnhancer(m);
}
