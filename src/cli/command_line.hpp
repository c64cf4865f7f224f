#pragma once
#include "files/options.hpp"
#include "files/usage_error.hpp"

#include <string>
#include <vector>

namespace nightdehaze::cli {

// What the user asked for on the command line.
struct CommandLine {
    files::Options options;                   // inputPath "flickr15.bmp" unless given
    bool inputGiven = false;           // false: the default above
    std::vector<std::string> ignored;  // positional arguments after GAMMA
    bool showHelp = false;
    bool showVersion = false;
};

// Options are recognised anywhere until "--"; an option that takes a value
// takes the next argument or, for long names, "--name=value". Every other
// argument is positional: the input path, then gamma (a finite number above
// 0); further positional arguments are collected in `ignored`. The options
// are those of optionDeclarations() on the command line, -h/--help and
// --version. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// --help: usage, arguments, the table of options and the exit status.
std::string usageText();

}  // namespace nightdehaze::cli
