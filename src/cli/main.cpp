// nightdehaze: enhances one night-time hazy photograph (or clip) and writes
// the result. argv -> options -> the files layer's job -> exit status.
#include "cli/command_line.hpp"
#include "cli/stage_progress.hpp"
#include "files/exit_status.hpp"
#include "files/one_line.hpp"
#include "files/picture_job.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <iostream>
#include <new>
#include <string>
#include <vector>

using namespace nightdehaze::cli;
namespace files = nightdehaze::files;

namespace {

using files::kExitFailure;
using files::kExitSuccess;
using files::kExitUsage;
constexpr const char* kHelpHint = " (see nightdehaze --help)";

int report(int status, const std::string& message) {
    std::cerr << "nightdehaze: " << files::oneLine(message) << std::endl;
    return status;
}

void warn(const std::string& message) { std::cerr << "nightdehaze: warning: " << files::oneLine(message) << std::endl; }

void warnOfIgnoredArguments(const CommandLine& line) {
    if (line.ignored.empty()) return;
    warn("ignoring '" + line.ignored.front() + "'" + (line.ignored.size() > 1 ? " and what follows" : "") +
         ": only INPUT and GAMMA are read (for several pictures, run nightdehaze-batch or a shell loop)");
}

int run(const CommandLine& line) {
    if (line.options.threads) cv::setNumThreads(*line.options.threads);
    StageProgress progress;
    files::JobHooks hooks;
    hooks.monitor = &progress;
    hooks.warn = [&](const std::string& message) {
        progress.clear();
        warn(message);
    };
    hooks.checksPassed = [&] { warnOfIgnoredArguments(line); };
    if (!line.inputGiven) hooks.readFailureHint = " (no INPUT was given; see nightdehaze --help)";
    files::enhanceFile(line.options, hooks);
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    nightdehaze::installBufferReuse();
    nightdehaze::retainFreedHeapMemory();
    CommandLine line;
    try {
        line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (line.showHelp || line.showVersion) {
            std::cout << (line.showHelp ? usageText()
                                        : "nightdehaze " + std::string(nightdehaze::nightdehazeVersion()) + "\n");
            return kExitSuccess;
        }
        return run(line);
    } catch (const files::UsageError& e) {
        return report(kExitUsage, e.what() + std::string(kHelpHint));
    } catch (const std::bad_alloc&) {
        return report(kExitFailure, "not enough memory to process '" + line.options.inputPath + "'");
    } catch (const std::exception& e) {
        return report(kExitFailure, e.what());
    }
}
