#pragma once
// What a user asks of one run, and the one declaration of every option: its
// command-line names, its Python keyword, its value's kind and range, its
// default and its help. The command line, --help, the man page (checked
// against --help), the Python package and nightdehaze-batch all follow it.
#include "nightdehaze/nightdehaze.hpp"

#include <optional>
#include <string>
#include <vector>

namespace nightdehaze::files {

// One run of the tool or of enhance_file: a picture or a clip, path to path.
struct Options {
    std::string inputPath;
    std::optional<std::string> outputPath;  // else derived from inputPath
    nightdehaze::DehazeContext context;     // gamma, the non-local filter, clean
    bool writeMaps = false;                 // also the airlight and the transmission
    std::optional<int> quality;             // JPEG and WebP only
    bool perFrame = false;                  // video: no smoothing over time
    std::optional<double> segmentSeconds;   // live: a new file every so many seconds
    std::optional<double> reconnectSeconds; // live: how long a lost source is waited for
    std::optional<double> splitSeconds;     // batch: a longer clip is shared among workers
    std::optional<int> threads;             // else all cores
};

// The kind of an option's value.
enum class OptionKind { flag, wholeNumber, number, path };

// Where an option exists besides the command line.
enum OptionSurface : unsigned {
    kCommandLine = 1u << 0,   // nightdehaze
    kPythonArrays = 1u << 1,  // nightdehaze.enhance and VideoEnhancer
    kPythonFiles = 1u << 2,   // nightdehaze.enhance_file
    kBatch = 1u << 3,         // nightdehaze-batch
};

// An option's value once its text has been checked: the number of a number
// (wholeNumber or number), the text of a path.
struct OptionValue {
    std::string text;
    double number = 0.0;
};

struct OptionDeclaration {
    const char* longName;       // "--quality"; nullptr for GAMMA, which is positional
    const char* shortName;      // "-o", or nullptr
    const char* keyword;        // the Python keyword and nightdehaze-batch's --name
    OptionKind kind;
    const char* valueName;      // "N", "PATH", "GAMMA"; nullptr for a flag
    NumberRange range;          // the values of a number
    const char* defaultText;    // the default as --help and the docstrings say it
    const char* help;           // the --help text, lines apart by '\n'
    unsigned surfaces;          // OptionSurface bits
    // Sets the option in options from its checked value (applyOption).
    void (*apply)(Options& options, const OptionValue& value);
    // The option's value in options as the text apply takes ("" for a flag
    // that is on), or nullopt when it is not set.
    std::optional<std::string> (*textIn)(const Options& options);
};

// Every option, in the order --help lists them.
const std::vector<OptionDeclaration>& optionDeclarations();

// The declaration whose longName, shortName or keyword is name, or nullptr.
const OptionDeclaration* findOption(const std::string& name);

// The text of an option's value checked against its kind and range: "" for
// a flag, a complete number within the range, a path that is not empty.
// Throws UsageError naming the option as name, "<name> must be <range>, not
// '<text>'" for a number: callers name it as their surface does ("--quality"
// on the command line, "quality" in Python).
OptionValue checkedOptionValue(const OptionDeclaration& option, const std::string& text, const std::string& name);

// Sets option in options from its text, checked as checkedOptionValue checks
// it, the option named by its long name (by its keyword for GAMMA).
void applyOption(Options& options, const OptionDeclaration& option, const std::string& text);

// Options as their declarations' own text, keyword and value, in the order
// of the declarations: how options cross to the video module, which applies
// them with the same declarations (optionsFromTexts). The input path is no
// option and goes apart.
struct OptionText {
    std::string keyword;
    std::string text;
};
std::vector<OptionText> optionTexts(const Options& options);

// The options of inputPath with every text applied by its declaration,
// checked as the command line checks it. Throws UsageError naming the
// keyword of an unknown option or of a value it refuses.
Options optionsFromTexts(const std::string& inputPath, const std::vector<OptionText>& texts);

// The option's name as the command line says it: its long name, or its
// keyword for GAMMA, which has none.
std::string commandLineName(const OptionDeclaration& option);

// Two options that each make sense but not together (--fast with
// --non-local), or {nullptr, nullptr}; why says why.
struct OptionConflict {
    const OptionDeclaration* first = nullptr;
    const OptionDeclaration* second = nullptr;
    const char* why = "";
};
OptionConflict conflictingOptions(const Options& options);

// Throws UsageError naming the conflicting options by their long names.
void checkOptionsCombine(const Options& options);

}  // namespace nightdehaze::files
