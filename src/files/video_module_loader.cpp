#include "files/video_module_loader.hpp"

#include "files/heif_picture.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/imgcodecs.hpp>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace nightdehaze::files {

namespace fs = std::filesystem;

namespace {

// Set by the build: the module's file name, and the installed library
// directory that holds it, relative to the installed executable's directory.
constexpr const char* kModuleName = NIGHTDEHAZE_VIDEO_MODULE_NAME;
constexpr const char* kInstalledFromBinDir = NIGHTDEHAZE_VIDEO_MODULE_FROM_BINDIR;
// The same directories relative to the Python package's folder, which holds
// the extension module this code is linked into there: <build>/python/nightdehaze
// in the build tree, <prefix>/lib/python3*/dist-packages/nightdehaze installed.
constexpr const char* kBuiltFromPackage = "../..";
constexpr const char* kInstalledFromPackage = NIGHTDEHAZE_VIDEO_MODULE_FROM_PACKAGE;

fs::path executableDirectory() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) throw std::runtime_error("cannot find the video module: /proc/self/exe: " + error.message());
    return executable.parent_path();
}

// The folder of the shared object this code is linked into, when it is not
// the executable (the Python extension module); empty otherwise.
fs::path sharedObjectDirectory() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&sharedObjectDirectory), &info) || !info.dli_fname) return {};
    std::error_code error;
    const fs::path object = fs::canonical(info.dli_fname, error);
    if (error || object == fs::canonical("/proc/self/exe", error)) return {};
    return object.parent_path();
}

fs::path findModule() {
    const fs::path directory = executableDirectory();
    std::vector<fs::path> folders{directory, (directory / kInstalledFromBinDir).lexically_normal()};
    const fs::path package = sharedObjectDirectory();
    if (!package.empty()) {
        folders.push_back((package / kBuiltFromPackage).lexically_normal());
        folders.push_back((package / kInstalledFromPackage).lexically_normal());
    }
    std::error_code error;
    std::string looked;
    for (const fs::path& folder : folders) {
        if (fs::exists(folder / kModuleName, error)) return folder / kModuleName;
        looked += (looked.empty() ? "" : ", ") + folder.string();
    }
    throw std::runtime_error("the video module " + std::string(kModuleName) + " is missing (looked in " + looked +
                             ")");
}

const NightdehazeVideoModule& openModule() {
    const fs::path path = findModule();
    // Never closed: the module's code runs until the process ends.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error("cannot load the video module: " + std::string(dlerror()));
    using Entry = const NightdehazeVideoModule* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(handle, NIGHTDEHAZE_VIDEO_MODULE_ENTRY));
    const NightdehazeVideoModule* module = entry ? entry() : nullptr;
    if (!module || !module->libraryVersion || !module->isVideo || !module->run || !module->plan || !module->runPart ||
        !module->join)
        throw std::runtime_error("the video module '" + path.string() +
                                 "' belongs to another version of nightdehaze; reinstall nightdehaze");
    const std::string version = nightdehaze::nightdehazeVersion();
    if (version != module->libraryVersion)
        throw std::runtime_error("the video module '" + path.string() + "' belongs to nightdehaze " +
                                 module->libraryVersion + ", not " + version + "; reinstall nightdehaze");
    return *module;
}

}  // namespace

namespace {

// HEIF and AVIF pictures are ISO base media files, as MP4 is: FFmpeg takes
// an AVIF picture for a one-frame video.
bool isHeifFile(const std::string& path) {
    constexpr size_t kHeaderBytes = 64;  // the ftyp box with its first brands
    std::ifstream in(path, std::ios::binary);
    std::vector<uchar> header(kHeaderBytes);
    in.read(reinterpret_cast<char*>(header.data()), static_cast<std::streamsize>(header.size()));
    header.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    return looksLikeHeif(header);
}

}  // namespace

bool mayBeVideo(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return false;
    if (isHeifFile(path)) return false;
    try {
        return !cv::haveImageReader(path);
    } catch (...) {
        return true;
    }
}

const NightdehazeVideoModule& loadVideoModule() {
    static const NightdehazeVideoModule& module = openModule();
    return module;
}

}  // namespace nightdehaze::files
