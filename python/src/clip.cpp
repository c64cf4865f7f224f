#include "clip.hpp"

#include "files/exit_status.hpp"
#include "files/file_error.hpp"
#include "files/video_module_loader.hpp"

#include <pybind11/stl.h>

#include <climits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace nightdehaze_python {

namespace {

// What a call of the module answered, and its message when it failed.
struct Answer {
    std::string reply;
    std::string failure;
};

void keepReply(void* receiver, const char* text) { static_cast<Answer*>(receiver)->reply = text; }
void keepFailure(void* receiver, const char* text) { static_cast<Answer*>(receiver)->failure = text; }

// The module, or OSError naming what is missing (a worker installed without it).
const NightdehazeVideoModule& videoModule() {
    try {
        return nightdehaze::files::loadVideoModule();
    } catch (const std::runtime_error& e) {
        throw nightdehaze::files::FileError(std::string("videos cannot be read here: ") + e.what(), 0);
    }
}

// Runs call without the GIL; ValueError for a usage error, OSError otherwise.
template <typename Call>
std::string answered(Call&& call) {
    const NightdehazeVideoModule& module = videoModule();
    Answer answer;
    int status;
    {
        py::gil_scoped_release released;
        status = call(module, answer);
    }
    if (status == nightdehaze::files::kExitUsage) throw py::value_error(answer.failure);
    if (status != nightdehaze::files::kExitSuccess) throw nightdehaze::files::FileError(answer.failure, 0);
    return answer.reply;
}

std::string clipPlan(const std::string& path, double partSeconds, double warmSeconds) {
    return answered([&](const NightdehazeVideoModule& m, Answer& a) {
        return m.plan(path.c_str(), partSeconds, warmSeconds, keepReply, keepFailure, &a);
    });
}

long long clipPart(const std::string& path, const std::map<std::string, std::string>& options,
                   const std::string& partPath, std::optional<long long> from, std::optional<long long> to,
                   std::optional<long long> warmFrom) {
    std::vector<NightdehazeVideoOption> given;
    for (const auto& [keyword, text] : options) given.push_back({keyword.c_str(), text.c_str()});
    const NightdehazeVideoJob job{path.c_str(), given.data(), static_cast<int>(given.size())};
    const NightdehazeVideoPart part{partPath.c_str(), from.value_or(LLONG_MIN), to.value_or(LLONG_MAX),
                                    warmFrom.value_or(from.value_or(LLONG_MIN)), !from && !to};
    return std::stoll(answered([&](const NightdehazeVideoModule& m, Answer& a) {
        return m.runPart(&job, &part, keepReply, keepFailure, &a);
    }));
}

void clipJoin(const std::string& source, const std::vector<std::string>& parts, const std::string& joined) {
    std::vector<const char*> paths;
    for (const std::string& part : parts) paths.push_back(part.c_str());
    answered([&](const NightdehazeVideoModule& m, Answer& a) {
        return m.join(source.c_str(), paths.data(), static_cast<int>(paths.size()), joined.c_str(), keepFailure, &a);
    });
}

bool isVideo(const std::string& path) {
    if (!nightdehaze::files::mayBeVideo(path)) return false;
    const NightdehazeVideoModule& module = videoModule();
    py::gil_scoped_release released;
    return module.isVideo(path.c_str()) != 0;
}

}  // namespace

void bindClipCalls(py::module_& m) {
    m.def("clip_plan", &clipPlan, "path"_a, "part_seconds"_a, "warm_seconds"_a);
    m.def("clip_part", &clipPart, "path"_a, "options"_a, "part_path"_a, "start"_a = py::none(),
          "end"_a = py::none(), "warm_from"_a = py::none());
    m.def("clip_join", &clipJoin, "source"_a, "parts"_a, "joined"_a);
    m.def("is_video", &isVideo, "path"_a);
}

}  // namespace nightdehaze_python
