#include "app/command_line.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

std::string optionValue(const std::vector<std::string>& args, size_t& i) {
    if (i + 1 >= args.size()) throw UsageError("option " + args[i] + " needs a value");
    return args[++i];
}

int parseThreadCount(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || n < 1 || n > 1024)
        throw UsageError("--threads needs a whole number from 1 to 1024, not '" + text + "'");
    return static_cast<int>(n);
}

void takePositional(CommandLine& line, const std::string& arg, int& positionals) {
    if (positionals == 0) {
        line.inputPath = arg;
    } else if (positionals == 1) {
        line.gamma = parsePositiveNumber(arg);
        if (!line.gamma) throw UsageError("gamma must be a number greater than 0, not '" + arg + "'");
    }
    ++positionals;
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
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!isOption) {
            takePositional(line, arg, positionals);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            line.showHelp = true;
        } else if (arg == "--version") {
            line.showVersion = true;
        } else if (arg == "-o" || arg == "--output") {
            line.outputPath = optionValue(args, i);
        } else if (arg.rfind("--output=", 0) == 0) {
            line.outputPath = arg.substr(9);
        } else if (arg == "--maps") {
            line.writeMaps = true;
        } else if (arg == "--non-local") {
            line.nonLocal = true;
        } else if (arg == "--per-frame") {
            line.perFrame = true;
        } else if (arg == "--threads") {
            line.threads = parseThreadCount(optionValue(args, i));
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    if (line.outputPath && line.outputPath->empty()) throw UsageError("the output path is empty");
    return line;
}

std::string usageText() {
    return R"(Usage: nightdehaze [OPTIONS] [INPUT] [GAMMA]

Enhances a colour photograph taken at night in haze: light compensation,
colour correction and dehazing. Prints one line as each stage begins.

  INPUT   image to read (any format OpenCV decodes; default "flickr15.bmp"),
          or a video (any format FFmpeg decodes), recognised by its content
  GAMMA   colour-correction exponent, a number greater than 0 (default 1.2);
          larger values brighten dim neighbourhoods more. Further positional
          arguments are ignored.

The result is written as a BMP named after INPUT without its last four
characters plus "_J.bmp" (pics/night.png -> pics/night_J.bmp). A video is
written beside its input with "_J" before the extension (clip.mp4 ->
clip_J.mp4), H.264 at constant rate factor 18, audio and subtitles copied.

Options:
  -o, --output PATH  write the result to PATH instead; the format follows
                     PATH's extension (.bmp, .png, .jpg, .tif, ...; for a
                     video .mp4, .mkv, .mov, .avi, ...)
      --maps         also write the local atmospheric light as <stem>_A.bmp
                     and the transmission (0..1 as 0..255) as <stem>_T.bmp,
                     where <stem> is the output path without its last four
                     characters
      --non-local    smooth colour correction and dehazing with the non-local
                     guided filter instead of the colour guided filter (slower)
      --per-frame    video: enhance every frame on its own, exactly as a
                     picture, without smoothing brightness and colour over time
      --threads N    use N threads (default: all cores)
  -h, --help         show this help and exit
      --version      show the version and exit
      --             end of options: every later argument is positional

Exit status: 0 on success, 1 when the input cannot be read or decoded or the
output cannot be written (nothing is left behind), 2 on a usage error.
)";
}
