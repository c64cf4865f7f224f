#include "files/output_name.hpp"

#include <cctype>

namespace nightdehaze::files {

std::string derivedOutputPath(const std::string& inputPath, const std::string& suffix) {
    // substr clamps a count beyond the end, so paths shorter than four
    // characters keep all of them.
    return inputPath.substr(0, inputPath.size() - 4) + suffix;
}

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot);
}

std::string lowerExtensionOf(const std::string& path) {
    std::string extension = extensionOf(path);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

}  // namespace nightdehaze::files
