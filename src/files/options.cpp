#include "files/options.hpp"

#include "files/usage_error.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace nightdehaze::files {

namespace {

constexpr unsigned kEverySurface = kCommandLine | kPythonArrays | kPythonFiles | kBatch;
constexpr unsigned kEveryFileSurface = kCommandLine | kPythonFiles | kBatch;
constexpr double kUnbounded = std::numeric_limits<double>::infinity();
constexpr double kMaxThreads = 1024;
constexpr NumberRange kNoRange{};
constexpr NumberRange kQualityRange{1, 100, true, true, true};
constexpr NumberRange kThreadsRange{1, kMaxThreads, true, true, true};
constexpr NumberRange kSecondsRange{0, kUnbounded, false};
constexpr NumberRange kSecondsOrZeroRange{0, kUnbounded, true};

// A complete finite number in text, without leading white space, or nullopt.
std::optional<double> numberIn(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
    return value;
}

// A complete decimal integer in text, or nullopt.
std::optional<double> wholeNumberIn(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' || errno != 0)
        return std::nullopt;
    return static_cast<double>(n);
}

// An option's value as the text its declaration applies: a flag that is on as
// "", a number in digits enough to read back exactly; nullopt when unset.
std::optional<std::string> flagText(bool on) { return on ? std::optional<std::string>("") : std::nullopt; }

std::optional<std::string> numberText(std::optional<double> value) {
    if (!value) return std::nullopt;
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", *value);
    return std::string(text);
}

std::optional<std::string> wholeNumberText(std::optional<int> value) {
    if (!value) return std::nullopt;
    return std::to_string(*value);
}

const std::vector<OptionDeclaration> kDeclarations = {
    {"--output", "-o", "output", OptionKind::path, "PATH", kNoRange, "derived from INPUT",
     "write the result to PATH instead; the format follows\n"
     "PATH's extension (.bmp, .png, .jpg, .tif, .webp, .heic,\n"
     ".avif, ...; for a video .mp4, .mkv, .mov, .avi, ...)",
     kCommandLine | kPythonFiles,
     [](Options& o, const OptionValue& v) { o.outputPath = v.text; },
     [](const Options& o) { return o.outputPath; }},
    {nullptr, nullptr, "gamma", OptionKind::number, "GAMMA", kGammaRange, "1.2",
     "colour-correction exponent, a number greater than 0 (default 1.2).\n"
     "A larger GAMMA darkens dim neighbourhoods, a smaller one brightens\n"
     "them; useful values lie from about 0.5 to 2. At 0.3 and below the\n"
     "picture washes out towards white; above about 5 nothing changes.",
     kEverySurface,
     [](Options& o, const OptionValue& v) { o.context.gamma = v.number; },
     [](const Options& o) { return numberText(o.context.gamma); }},
    {"--quality", nullptr, "quality", OptionKind::wholeNumber, "N", kQualityRange, "the encoder's",
     "JPEG, WebP, HEIC and AVIF quality from 1 to 100\n"
     "(default: JPEG 95, WebP lossless, HEIC and AVIF 90)",
     kEveryFileSurface,
     [](Options& o, const OptionValue& v) { o.quality = static_cast<int>(v.number); },
     [](const Options& o) { return wholeNumberText(o.quality); }},
    {"--maps", nullptr, "maps", OptionKind::flag, nullptr, kNoRange, "off",
     "also write the local atmospheric light as <stem>_A<ext>\n"
     "and the transmission (0..1 as 0..255) as <stem>_T<ext>:\n"
     "<stem> is the -o path, or else INPUT, without its\n"
     "extension, <ext> the result's (night.png gives\n"
     "night_J.bmp, night_A.bmp and night_T.bmp; -o out/r.png\n"
     "gives out/r_A.png and out/r_T.png)",
     kEveryFileSurface,
     [](Options& o, const OptionValue&) { o.writeMaps = true; },
     [](const Options& o) { return flagText(o.writeMaps); }},
    {"--non-local", nullptr, "non_local", OptionKind::flag, nullptr, kNoRange, "off",
     "smooth colour correction and dehazing with the non-local\n"
     "guided filter instead of the colour guided filter (slower)",
     kEverySurface,
     [](Options& o, const OptionValue&) { o.context.useNonLocalFilter = true; },
     [](const Options& o) { return flagText(o.context.useNonLocalFilter); }},
    {"--clean", nullptr, "clean", OptionKind::flag, nullptr, kNoRange, "off",
     "suppress what the enhancement would amplify from JPEG\n"
     "compression and sensor noise: smooth the 8x8 block steps\n"
     "of JPEG input and its noise where it is dark, flatten\n"
     "variations below the picture's noise level in the result\n"
     "and turn its dark colour speckles grey (about 25 % slower)",
     kEverySurface,
     [](Options& o, const OptionValue&) { o.context.clean = true; },
     [](const Options& o) { return flagText(o.context.clean); }},
    {"--fast", nullptr, "fast", OptionKind::flag, nullptr, kNoRange, "off",
     "the single-precision engine, several times as fast, its\n"
     "result at least 38 dB PSNR from the exact one (99 % of\n"
     "the values within 10 levels, 99.9 % within 20); video\n"
     "also encodes with a faster x264 preset. Not with\n"
     "--non-local",
     kEverySurface,
     [](Options& o, const OptionValue&) { o.context.fast = true; },
     [](const Options& o) { return flagText(o.context.fast); }},
    {"--per-frame", nullptr, "per_frame", OptionKind::flag, nullptr, kNoRange, "off",
     "video: enhance every frame on its own, exactly as a\n"
     "picture, without smoothing brightness and colour over time",
     kCommandLine | kBatch,
     [](Options& o, const OptionValue&) { o.perFrame = true; },
     [](const Options& o) { return flagText(o.perFrame); }},
    {"--segment", nullptr, "segment", OptionKind::number, "SECONDS", kSecondsRange, "one file",
     "live: write a new file every SECONDS of the source\n"
     "(-o night.mkv gives night_000.mkv, night_001.mkv, ...),\n"
     "each complete and playable on its own",
     kCommandLine,
     [](Options& o, const OptionValue& v) { o.segmentSeconds = v.number; },
     [](const Options& o) { return numberText(o.segmentSeconds); }},
    {"--reconnect", nullptr, "reconnect", OptionKind::number, "SECONDS", kSecondsRange, "30",
     "live: how long to wait for a source that is lost or\n"
     "silent, reconnecting, before the run ends (default 30:\n"
     "time for a camera or a router to restart); a source\n"
     "that never answers fails after as long",
     kCommandLine,
     [](Options& o, const OptionValue& v) { o.reconnectSeconds = v.number; },
     [](const Options& o) { return numberText(o.reconnectSeconds); }},
    {"--split", nullptr, "split", OptionKind::number, "SECONDS", kSecondsOrZeroRange, "300",
     "share a clip longer than SECONDS among the workers: cut\n"
     "it at key frames into parts of about SECONDS, enhance\n"
     "the parts side by side and join them by stream copy into\n"
     "one output, the frames those of one run within a level\n"
     "(default 300; 0: every clip in one piece)",
     kBatch,
     [](Options& o, const OptionValue& v) { o.splitSeconds = v.number; },
     [](const Options& o) { return numberText(o.splitSeconds); }},
    {"--threads", nullptr, "threads", OptionKind::wholeNumber, "N", kThreadsRange, "all cores",
     "use N threads (default: all cores)",
     kCommandLine,
     [](Options& o, const OptionValue& v) { o.threads = static_cast<int>(v.number); },
     [](const Options& o) { return wholeNumberText(o.threads); }},
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

OptionValue checkedOptionValue(const OptionDeclaration& option, const std::string& text, const std::string& name) {
    OptionValue value{text};
    switch (option.kind) {
        case OptionKind::flag:
            if (!text.empty()) throw UsageError("option " + name + " takes no value");
            return value;
        case OptionKind::path:
            if (text.empty()) throw UsageError("the " + std::string(option.keyword) + " path is empty");
            return value;
        case OptionKind::wholeNumber:
        case OptionKind::number: break;
    }
    const std::optional<double> number = option.kind == OptionKind::wholeNumber ? wholeNumberIn(text) : numberIn(text);
    if (!number || !option.range.holds(*number))
        throw UsageError(outOfRangeMessage(name, option.range, "'" + text + "'"));
    value.number = *number;
    return value;
}

std::string commandLineName(const OptionDeclaration& option) {
    return option.longName ? option.longName : option.keyword;
}

void applyOption(Options& options, const OptionDeclaration& option, const std::string& text) {
    option.apply(options, checkedOptionValue(option, text, commandLineName(option)));
}

std::vector<OptionText> optionTexts(const Options& options) {
    std::vector<OptionText> texts;
    for (const OptionDeclaration& option : kDeclarations)
        if (const std::optional<std::string> text = option.textIn(options)) texts.push_back({option.keyword, *text});
    return texts;
}

Options optionsFromTexts(const std::string& inputPath, const std::vector<OptionText>& texts) {
    Options options;
    options.inputPath = inputPath;
    for (const OptionText& given : texts) {
        const OptionDeclaration* option = findOption(given.keyword);
        if (!option || given.keyword != option->keyword) throw UsageError("unknown option '" + given.keyword + "'");
        option->apply(options, checkedOptionValue(*option, given.text, given.keyword));
    }
    return options;
}

}  // namespace nightdehaze::files
