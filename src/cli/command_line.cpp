#include "cli/command_line.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr const char* kDashHint = "; a file name starting with '-' goes after --";
constexpr const char* kSeveralPicturesHint =
    "; to enhance several pictures, run nightdehaze-batch or a shell loop";

int parseWholeNumber(const std::string& option, const std::string& text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || n < low || n > high)
        throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    return static_cast<int>(n);
}

// One option: its names, the name of its value (nullptr for a flag), its
// description in --help, and what it sets.
struct Option {
    const char* shortName;   // "-o", or nullptr
    const char* longName;    // "--output"
    const char* valueName;   // "PATH", or nullptr for a flag
    const char* help;        // lines of the description, '\n' between them
    void (*apply)(CommandLine& line, const std::string& value);
};

const Option kOptions[] = {
    {"-o", "--output", "PATH",
     "write the result to PATH instead; the format follows\n"
     "PATH's extension (.bmp, .png, .jpg, .tif, .webp, ...;\n"
     "for a video .mp4, .mkv, .mov, .avi, ...)",
     [](CommandLine& l, const std::string& v) {
         if (v.empty()) throw UsageError("the output path is empty");
         l.outputPath = v;
     }},
    {nullptr, "--quality", "N",
     "JPEG and WebP quality from 1 to 100 (default: the\n"
     "encoder's: JPEG 95, WebP lossless)",
     [](CommandLine& l, const std::string& v) { l.quality = parseWholeNumber("--quality", v, 1, 100); }},
    {nullptr, "--maps", nullptr,
     "also write the local atmospheric light as <stem>_A<ext>\n"
     "and the transmission (0..1 as 0..255) as <stem>_T<ext>:\n"
     "<stem> is the output path without its last four\n"
     "characters, <ext> the output's extension (night_J.bmp\n"
     "gives night_A.bmp and night_T.bmp; -o out/r.png gives\n"
     "out/r_A.png and out/r_T.png)",
     [](CommandLine& l, const std::string&) { l.writeMaps = true; }},
    {nullptr, "--non-local", nullptr,
     "smooth colour correction and dehazing with the non-local\n"
     "guided filter instead of the colour guided filter (slower)",
     [](CommandLine& l, const std::string&) { l.nonLocal = true; }},
    {nullptr, "--clean", nullptr,
     "suppress what the enhancement would amplify from JPEG\n"
     "compression and sensor noise: smooth the 8x8 block steps\n"
     "of JPEG input and flatten variations below the picture's\n"
     "noise level in the result (about 15 % slower)",
     [](CommandLine& l, const std::string&) { l.clean = true; }},
    {nullptr, "--per-frame", nullptr,
     "video: enhance every frame on its own, exactly as a\n"
     "picture, without smoothing brightness and colour over time",
     [](CommandLine& l, const std::string&) { l.perFrame = true; }},
    {nullptr, "--threads", "N", "use N threads (default: all cores)",
     [](CommandLine& l, const std::string& v) { l.threads = parseWholeNumber("--threads", v, 1, 1024); }},
    {"-h", "--help", nullptr, "show this help and exit",
     [](CommandLine& l, const std::string&) { l.showHelp = true; }},
    {nullptr, "--version", nullptr, "show the version and exit",
     [](CommandLine& l, const std::string&) { l.showVersion = true; }},
};

// The option an argument names, and the value it carries after '=' if any.
const Option* findOption(const std::string& arg, std::optional<std::string>& inlineValue) {
    const size_t equals = arg.find('=');
    const bool hasValue = arg.rfind("--", 0) == 0 && equals != std::string::npos;
    const std::string name = hasValue ? arg.substr(0, equals) : arg;
    for (const Option& option : kOptions) {
        if (name != option.longName && !(option.shortName && name == option.shortName)) continue;
        if (hasValue) inlineValue = arg.substr(equals + 1);
        return &option;
    }
    return nullptr;
}

[[noreturn]] void unknownOption(const std::string& arg) {
    char* end = nullptr;
    std::strtod(arg.c_str(), &end);
    if (end != arg.c_str() && *end == '\0')
        throw UsageError("gamma must be a number greater than 0, not '" + arg + "'" + kDashHint);
    throw UsageError("unknown option '" + arg + "'" + kDashHint);
}

void takeOption(CommandLine& line, const std::vector<std::string>& args, size_t& i) {
    std::optional<std::string> value;
    const Option* option = findOption(args[i], value);
    if (!option) unknownOption(args[i]);
    if (!option->valueName) {
        if (value) throw UsageError(std::string("option ") + option->longName + " takes no value");
        option->apply(line, "");
        return;
    }
    if (!value) {
        if (i + 1 >= args.size()) throw UsageError("option " + args[i] + " needs a value");
        value = args[++i];
    }
    option->apply(line, *value);
}

void takePositional(CommandLine& line, const std::string& arg, int& positionals) {
    if (positionals == 0) {
        line.inputPath = arg;
        line.inputGiven = true;
    } else if (positionals == 1) {
        line.gamma = parsePositiveNumber(arg);
        if (!line.gamma) {
            char* end = nullptr;
            std::strtod(arg.c_str(), &end);
            const bool looksLikeAName = end == arg.c_str();
            throw UsageError("gamma must be a number greater than 0, not '" + arg + "'" +
                             (looksLikeAName ? kSeveralPicturesHint : ""));
        }
    } else {
        line.ignored.push_back(arg);
    }
    ++positionals;
}

std::string optionLines() {
    constexpr size_t kNameColumn = 21;   // where descriptions start
    std::string text;
    for (const Option& option : kOptions) {
        std::string names = option.shortName ? std::string("  ") + option.shortName + ", " : "      ";
        names += option.longName;
        if (option.valueName) names += std::string(" ") + option.valueName;
        names += "  ";
        if (names.size() < kNameColumn) names.resize(kNameColumn, ' ');
        std::string help = option.help;
        for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
            help.insert(at + 1, std::string(kNameColumn, ' '));
        text += names + help + "\n";
    }
    return text + "      --             end of options: every later argument is positional\n";
}

}  // namespace

std::optional<double> parsePositiveNumber(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value) || !(value > 0.0))
        return std::nullopt;
    return value;
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    int positionals = 0;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            takePositional(line, arg, positionals);
        } else if (arg == "--") {
            optionsEnded = true;
        } else {
            takeOption(line, args, i);
        }
    }
    return line;
}

std::string usageText() {
    return R"(Usage: nightdehaze [OPTIONS] [INPUT] [GAMMA]

Enhances a colour photograph taken at night in haze: light compensation,
colour correction and dehazing. Prints one line on standard output as each
stage begins, and a progress bar on standard error when it is a terminal.

  INPUT   image to read (any format OpenCV decodes; default "flickr15.bmp"),
          or a video (any format FFmpeg decodes), recognised by its content
  GAMMA   colour-correction exponent, a number greater than 0 (default 1.2).
          A larger GAMMA darkens dim neighbourhoods, a smaller one brightens
          them; useful values lie from about 0.5 to 2. At 0.3 and below the
          picture washes out towards white; above about 5 nothing changes.
          Further positional arguments are ignored, with a warning.

The result is written as a BMP named after INPUT without its last four
characters plus "_J.bmp" (pics/night.png -> pics/night_J.bmp). BMP holds no
metadata; JPEG, PNG, TIFF and WebP outputs (see -o) keep the input's EXIF,
XMP and ICC colour profile, with the orientation set to normal (the pixels
are turned upright) and without the EXIF thumbnail. A video is written
beside its input with "_J" before the extension (clip.mp4 -> clip_J.mp4),
H.264 at constant rate factor 18, audio and subtitles copied.

Options:
)" + optionLines() + R"(
Output files are checked before the input is read; they are written
all-or-nothing: a failed run leaves no file and changes none.

Exit status: 0 on success, 1 when the input cannot be read or decoded or the
output cannot be written (nothing is left behind), 2 on a usage error.
)";
}
