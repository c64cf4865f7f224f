#include "cli/command_line.hpp"

#include "cli/nearest_name.hpp"

#include <cstdlib>
#include <optional>

namespace {

constexpr const char* kDefaultInput = "flickr15.bmp";
constexpr const char* kDashHint = "; a file name starting with '-' goes after --";
constexpr const char* kSeveralPicturesHint =
    "; to enhance several pictures, run nightdehaze-batch or a shell loop";

// The options of the command line itself, beside the declared ones.
struct OwnOption {
    const char* shortName;
    const char* longName;
    const char* help;
    bool CommandLine::*flag;
};
const OwnOption kOwnOptions[] = {
    {"-h", "--help", "show this help and exit", &CommandLine::showHelp},
    {nullptr, "--version", "show the version and exit", &CommandLine::showVersion},
};

bool onCommandLine(const OptionDeclaration& option) {
    return option.longName && (option.surfaces & kCommandLine);
}

// The long names the command line takes, for suggesting one.
std::vector<std::string> longNames() {
    std::vector<std::string> names;
    for (const OptionDeclaration& option : optionDeclarations())
        if (onCommandLine(option)) names.push_back(option.longName);
    for (const OwnOption& own : kOwnOptions) names.push_back(own.longName);
    return names;
}

[[noreturn]] void unknownOption(const std::string& arg, const std::string& name) {
    char* end = nullptr;
    std::strtod(arg.c_str(), &end);
    if (end != arg.c_str() && *end == '\0')
        throw UsageError("gamma must be a number greater than 0, not '" + arg + "'" + kDashHint);
    const std::string meant = nearestName(name, longNames());
    throw UsageError("unknown option '" + arg + "'" + (meant.empty() ? kDashHint : "; did you mean " + meant + "?"));
}

bool takeOwnOption(CommandLine& line, const std::string& name, const std::optional<std::string>& value) {
    for (const OwnOption& own : kOwnOptions) {
        if (name != own.longName && !(own.shortName && name == own.shortName)) continue;
        if (value) throw UsageError(std::string("option ") + own.longName + " takes no value");
        line.*own.flag = true;
        return true;
    }
    return false;
}

void takeOption(CommandLine& line, const std::vector<std::string>& args, size_t& i) {
    const std::string& arg = args[i];
    const size_t equals = arg.find('=');
    const bool inline_ = arg.rfind("--", 0) == 0 && equals != std::string::npos;
    const std::string name = inline_ ? arg.substr(0, equals) : arg;
    std::optional<std::string> value;
    if (inline_) value = arg.substr(equals + 1);
    if (takeOwnOption(line, name, value)) return;
    const OptionDeclaration* option = findOption(name);
    if (!option || !onCommandLine(*option)) unknownOption(arg, name);
    if (option->kind == OptionKind::flag) {
        if (value) throw UsageError(std::string("option ") + option->longName + " takes no value");
        option->apply(line.options, "");
        return;
    }
    if (!value) {
        if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
        value = args[++i];
    }
    option->apply(line.options, *value);
}

void takeGamma(CommandLine& line, const std::string& arg) {
    if (parsePositiveNumber(arg)) {
        findOption("gamma")->apply(line.options, arg);
        return;
    }
    char* end = nullptr;
    std::strtod(arg.c_str(), &end);
    const bool looksLikeAName = end == arg.c_str();
    throw UsageError("gamma must be a number greater than 0, not '" + arg + "'" +
                     (looksLikeAName ? kSeveralPicturesHint : ""));
}

void takePositional(CommandLine& line, const std::string& arg, int& positionals) {
    if (positionals == 0) {
        line.options.inputPath = arg;
        line.inputGiven = true;
    } else if (positionals == 1) {
        takeGamma(line, arg);
    } else {
        line.ignored.push_back(arg);
    }
    ++positionals;
}

constexpr size_t kNameColumn = 21;   // where descriptions start

std::string optionLine(const char* shortName, const char* longName, const char* valueName, std::string help) {
    std::string names = shortName ? std::string("  ") + shortName + ", " : "      ";
    names += longName;
    if (valueName) names += std::string(" ") + valueName;
    names += "  ";
    if (names.size() < kNameColumn) names.resize(kNameColumn, ' ');
    for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
        help.insert(at + 1, std::string(kNameColumn, ' '));
    return names + help + "\n";
}

std::string optionLines() {
    std::string text;
    for (const OptionDeclaration& option : optionDeclarations())
        if (onCommandLine(option))
            text += optionLine(option.shortName, option.longName, option.valueName, option.help);
    for (const OwnOption& own : kOwnOptions) text += optionLine(own.shortName, own.longName, nullptr, own.help);
    return text + "      --             end of options: every later argument is positional\n";
}

// GAMMA's help, indented under the argument list.
std::string gammaLines() {
    std::string help = findOption("gamma")->help;
    for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
        help.insert(at + 1, std::string(10, ' '));
    return help;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    line.options.inputPath = kDefaultInput;
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
    if (!line.showHelp && !line.showVersion) checkOptionsCombine(line.options);
    return line;
}

std::string usageText() {
    return R"(Usage: nightdehaze [OPTIONS] [INPUT] [GAMMA]

Enhances a colour photograph taken at night in haze: light compensation,
colour correction and dehazing. Prints one line on standard output as each
stage begins, and a progress bar on standard error when it is a terminal.

  INPUT   image to read (any format OpenCV decodes, HEIC, AVIF or camera
          raw; default "flickr15.bmp"), or a video (any format FFmpeg
          decodes), recognised by its content,
          or a live source: a camera or stream URL (rtsp://, udp://, srt://,
          ...) or a capture device (/dev/video0), which needs -o
  GAMMA   )" + gammaLines() + R"(
          Further positional arguments are ignored, with a warning.

The result is written as a BMP named after INPUT without its extension plus
"_J.bmp" (pics/night.png -> pics/night_J.bmp, IMG_1.heic -> IMG_1_J.bmp,
image -> image_J.bmp). An output that would replace the input, under any of
its names, is refused. BMP holds no metadata; JPEG, PNG, TIFF and WebP
outputs (see -o) keep the input's EXIF, XMP and ICC colour profile, with the
orientation set to normal (the pixels are turned upright) and without the
EXIF thumbnail. A video is written beside its input with "_J" before the
extension (clip.mp4 -> clip_J.mp4), H.264 at constant rate factor 18, audio
and subtitles copied.

Options:
)" + optionLines() + R"(
Output files are checked before the input is read; they are written
all-or-nothing: a failed run leaves no file and changes none.

Exit status: 0 on success, 1 when the input cannot be read or decoded or the
output cannot be written (nothing is left behind), 2 on a usage error.
)";
}
