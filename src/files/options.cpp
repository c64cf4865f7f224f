#include "files/options.hpp"

#include "files/usage_error.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

int wholeNumber(const char* option, const std::string& text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || n < low || n > high)
        throw UsageError(std::string(option) + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    return static_cast<int>(n);
}

double seconds(const char* option, const std::string& text) {
    const std::optional<double> value = parsePositiveNumber(text);
    if (!value) throw UsageError(std::string(option) + " needs a number of seconds greater than 0, not '" + text + "'");
    return *value;
}

constexpr unsigned kEverySurface = kCommandLine | kPythonArrays | kPythonFiles | kBatch;
constexpr unsigned kEveryFileSurface = kCommandLine | kPythonFiles | kBatch;
constexpr long kMaxThreads = 1024;

const std::vector<OptionDeclaration> kDeclarations = {
    {"--output", "-o", "output", OptionKind::path, "PATH", 0, 0, "derived from INPUT",
     "write the result to PATH instead; the format follows\n"
     "PATH's extension (.bmp, .png, .jpg, .tif, .webp, .heic,\n"
     ".avif, ...; for a video .mp4, .mkv, .mov, .avi, ...)",
     kCommandLine | kPythonFiles,
     [](Options& o, const std::string& v) {
         if (v.empty()) throw UsageError("the output path is empty");
         o.outputPath = v;
     }},
    {nullptr, nullptr, "gamma", OptionKind::positiveNumber, "GAMMA", 0, 0, "1.2",
     "colour-correction exponent, a number greater than 0 (default 1.2).\n"
     "A larger GAMMA darkens dim neighbourhoods, a smaller one brightens\n"
     "them; useful values lie from about 0.5 to 2. At 0.3 and below the\n"
     "picture washes out towards white; above about 5 nothing changes.",
     kEverySurface,
     [](Options& o, const std::string& v) {
         const std::optional<double> gamma = parsePositiveNumber(v);
         if (!gamma) throw UsageError("gamma must be a number greater than 0, not '" + v + "'");
         o.context.gamma = *gamma;
     }},
    {"--quality", nullptr, "quality", OptionKind::wholeNumber, "N", 1, 100, "the encoder's",
     "JPEG, WebP, HEIC and AVIF quality from 1 to 100\n"
     "(default: JPEG 95, WebP lossless, HEIC and AVIF 90)",
     kEveryFileSurface,
     [](Options& o, const std::string& v) { o.quality = wholeNumber("--quality", v, 1, 100); }},
    {"--maps", nullptr, "maps", OptionKind::flag, nullptr, 0, 0, "off",
     "also write the local atmospheric light as <stem>_A<ext>\n"
     "and the transmission (0..1 as 0..255) as <stem>_T<ext>:\n"
     "<stem> is the -o path, or else INPUT, without its\n"
     "extension, <ext> the result's (night.png gives\n"
     "night_J.bmp, night_A.bmp and night_T.bmp; -o out/r.png\n"
     "gives out/r_A.png and out/r_T.png)",
     kEveryFileSurface,
     [](Options& o, const std::string&) { o.writeMaps = true; }},
    {"--non-local", nullptr, "non_local", OptionKind::flag, nullptr, 0, 0, "off",
     "smooth colour correction and dehazing with the non-local\n"
     "guided filter instead of the colour guided filter (slower)",
     kEverySurface,
     [](Options& o, const std::string&) { o.context.useNonLocalFilter = 1; }},
    {"--clean", nullptr, "clean", OptionKind::flag, nullptr, 0, 0, "off",
     "suppress what the enhancement would amplify from JPEG\n"
     "compression and sensor noise: smooth the 8x8 block steps\n"
     "of JPEG input and its noise where it is dark, flatten\n"
     "variations below the picture's noise level in the result\n"
     "and turn its dark colour speckles grey (about 25 % slower)",
     kEverySurface,
     [](Options& o, const std::string&) { o.context.clean = true; }},
    {"--fast", nullptr, "fast", OptionKind::flag, nullptr, 0, 0, "off",
     "the fast engine: the same stages in single precision\n"
     "with the wide smoothing fitted on coarser grids; a few\n"
     "levels from the exact result (see docs/performance.md);\n"
     "video also encodes with a faster x264 preset. Not with\n"
     "--non-local",
     kEverySurface,
     [](Options& o, const std::string&) { o.context.fast = true; }},
    {"--per-frame", nullptr, "per_frame", OptionKind::flag, nullptr, 0, 0, "off",
     "video: enhance every frame on its own, exactly as a\n"
     "picture, without smoothing brightness and colour over time",
     kCommandLine,
     [](Options& o, const std::string&) { o.perFrame = true; }},
    {"--segment", nullptr, "segment", OptionKind::positiveNumber, "SECONDS", 0, 0, "one file",
     "live: write a new file every SECONDS of the source\n"
     "(-o night.mkv gives night_000.mkv, night_001.mkv, ...),\n"
     "each complete and playable on its own",
     kCommandLine,
     [](Options& o, const std::string& v) { o.segmentSeconds = seconds("--segment", v); }},
    {"--reconnect", nullptr, "reconnect", OptionKind::positiveNumber, "SECONDS", 0, 0, "30",
     "live: how long to wait for a source that is lost or\n"
     "silent, reconnecting, before the run ends (default 30:\n"
     "time for a camera or a router to restart); a source\n"
     "that never answers fails after as long",
     kCommandLine,
     [](Options& o, const std::string& v) { o.reconnectSeconds = seconds("--reconnect", v); }},
    {"--threads", nullptr, "threads", OptionKind::wholeNumber, "N", 1, kMaxThreads, "all cores",
     "use N threads (default: all cores)",
     kCommandLine,
     [](Options& o, const std::string& v) { o.threads = wholeNumber("--threads", v, 1, kMaxThreads); }},
};

}  // namespace

const std::vector<OptionDeclaration>& optionDeclarations() { return kDeclarations; }

const OptionDeclaration* findOption(const std::string& name) {
    for (const OptionDeclaration& option : kDeclarations) {
        if ((option.longName && name == option.longName) || (option.shortName && name == option.shortName) ||
            name == option.keyword)
            return &option;
    }
    return nullptr;
}

OptionConflict conflictingOptions(const Options& options) {
    if (options.context.fast && options.context.useNonLocalFilter)
        return {findOption("fast"), findOption("non_local"), "the fast engine has no non-local filter"};
    return {};
}

void checkOptionsCombine(const Options& options) {
    const OptionConflict conflict = conflictingOptions(options);
    if (conflict.first)
        throw UsageError(std::string(conflict.first->longName) + " and " + conflict.second->longName +
                         " cannot be combined: " + conflict.why);
}

std::optional<double> parsePositiveNumber(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value) || !(value > 0.0)) return std::nullopt;
    return value;
}
