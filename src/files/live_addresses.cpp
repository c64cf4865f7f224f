#include "files/live_addresses.hpp"

#include "files/usage_error.hpp"

#include <cctype>

namespace nightdehaze::files {

std::string urlScheme(const std::string& text) {
    const size_t colon = text.find("://");
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return "";
    for (size_t k = 0; k < colon; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return "";
    }
    std::string scheme = text.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

bool isCaptureDevice(const std::string& input) { return input.rfind("/dev/video", 0) == 0; }

bool isLiveSource(const std::string& input) {
    const std::string scheme = urlScheme(input);
    return (!scheme.empty() && scheme != "file") || isCaptureDevice(input);
}

bool isStreamOutput(const std::string& output) {
    const std::string scheme = urlScheme(output);
    return !scheme.empty() && scheme != "file";
}

void checkLiveOptions(const Options& options) {
    if (!isLiveSource(options.inputPath)) {
        if (options.segmentSeconds) throw UsageError("--segment applies to live sources (cameras and streams) only");
        if (options.reconnectSeconds)
            throw UsageError("--reconnect applies to live sources (cameras and streams) only");
        return;
    }
    if (!options.outputPath)
        throw UsageError("a live source needs an output: add -o night.mkv to record it, or -o udp://HOST:PORT "
                         "to pass it on as a stream");
    if (options.segmentSeconds && isStreamOutput(*options.outputPath))
        throw UsageError("--segment writes files; it does not apply to the stream output '" + *options.outputPath +
                         "'");
}

}  // namespace nightdehaze::files
