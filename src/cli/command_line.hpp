#pragma once
#include "files/usage_error.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// What the user asked for on the command line.
struct CommandLine {
    std::string inputPath = "flickr15.bmp";
    bool inputGiven = false;                  // false: the default above
    std::optional<double> gamma;              // colour-correction exponent, when given
    std::vector<std::string> ignored;         // positional arguments after GAMMA
    std::optional<std::string> outputPath;    // -o/--output, else derived from the input
    std::optional<int> threads;               // --threads, else all cores
    std::optional<int> quality;               // --quality, JPEG and WebP outputs
    bool writeMaps = false;                   // --maps
    bool nonLocal = false;                    // --non-local
    bool clean = false;                       // --clean
    bool perFrame = false;                    // --per-frame: video frames without temporal smoothing
    bool showHelp = false;
    bool showVersion = false;
};

// Options are recognised anywhere until "--"; an option that takes a value
// takes the next argument or, for long names, "--name=value". Every other
// argument is positional: the input path, then gamma (a finite number above
// 0); further positional arguments are collected in `ignored`. Throws
// UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// Parses text that must be a complete finite number greater than 0.
std::optional<double> parsePositiveNumber(const std::string& text);

// --help: usage, arguments, the table of options and the exit status.
std::string usageText();
