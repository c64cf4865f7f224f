#include "files/opencv_scratch_directory.hpp"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace nightdehaze::files {

namespace {

constexpr const char* kVariable = "OPENCV_TEMP_PATH";

}  // namespace

OpenCvScratchDirectory::OpenCvScratchDirectory() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return;
    const std::string pattern = (base / "nightdehaze-codec-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) return;
    path_ = name.data();
    if (const char* previous = std::getenv(kVariable)) {
        previous_ = previous;
        hadPrevious_ = true;
    }
    setenv(kVariable, path_.c_str(), 1);
}

OpenCvScratchDirectory::~OpenCvScratchDirectory() {
    if (path_.empty()) return;
    if (hadPrevious_) {
        setenv(kVariable, previous_.c_str(), 1);
    } else {
        unsetenv(kVariable);
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace nightdehaze::files
