#include "files/same_file.hpp"

#include "files/usage_error.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The path with its existing part resolved and the rest normalised; the
// path as given when even that fails.
fs::path resolved(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error) return fs::path(path).lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : canonical;
}

}  // namespace

bool namesSameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0)
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    return resolved(a) == resolved(b);
}

void refuseOutputsOverInput(const std::string& input, const std::vector<std::string>& outputs) {
    for (const std::string& output : outputs) {
        if (!namesSameFile(input, output)) continue;
        const std::string what = output == input ? "'" + output + "' is the input"
                                                 : "'" + output + "' is another name of the input '" + input + "'";
        throw UsageError(what + ": writing it would replace the original; name another output");
    }
}
