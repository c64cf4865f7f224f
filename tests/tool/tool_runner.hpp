#pragma once
// Runs the built tool as a user would, in a directory of its own, and
// collects its exit status and both output streams.
#include <opencv2/core.hpp>

#include <sys/types.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace tool_testing {

struct ToolRun {
    int exitStatus = -1;   // exit code, or 128 + signal number
    std::string out;
    std::string err;
};

ToolRun runTool(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                const std::vector<std::string>& extraEnv = {});

// The tool started in the background, for tests that act on it while it runs.
struct RunningTool {
    pid_t pid = -1;
    int outFd = -1;   // read ends of its standard output and error
    int errFd = -1;
};

// Limits the child's address space (bytes) when non-zero, as `ulimit -v` does.
RunningTool startTool(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                      const std::vector<std::string>& extraEnv = {},
                      unsigned long long addressSpaceLimit = 0);

// Reads the rest of both streams, waits for the tool to end and closes the pipes.
ToolRun finishTool(RunningTool& tool);

// A fresh, empty directory removed again at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::set<std::string> entries() const;   // names directly inside, hidden ones too

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);
size_t lineCount(const std::string& text);

// Runs a shell command in dir and returns its standard output; throws
// std::runtime_error when it fails.
std::string shell(const std::filesystem::path& dir, const std::string& command);

}  // namespace tool_testing
