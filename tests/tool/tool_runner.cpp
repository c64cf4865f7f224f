#include "tool/tool_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>


namespace tool_testing {

namespace {

void drain(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            } else {
                (k == 0 ? out : err).append(buffer, static_cast<size_t>(n));
            }
        }
    }
}

}  // namespace

RunningTool startTool(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                      const std::vector<std::string>& extraEnv,
                      unsigned long long addressSpaceLimit) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (chdir(workDir.c_str()) != 0) _exit(127);
        if (addressSpaceLimit != 0) {
            const rlimit limit{addressSpaceLimit, addressSpaceLimit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
        }
        for (const std::string& assignment : extraEnv) putenv(const_cast<char*>(assignment.c_str()));
        std::vector<char*> argv{const_cast<char*>(NIGHTDEHAZE_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(NIGHTDEHAZE_TOOL, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("fork failed");
    }
    return RunningTool{pid, outPipe[0], errPipe[0]};
}

ToolRun finishTool(RunningTool& tool) {
    ToolRun run;
    drain(tool.outFd, tool.errFd, run.out, run.err);
    int status = 0;
    waitpid(tool.pid, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    tool = RunningTool{};
    return run;
}

ToolRun runTool(const std::vector<std::string>& args, const std::filesystem::path& workDir,
                const std::vector<std::string>& extraEnv) {
    RunningTool tool = startTool(args, workDir, extraEnv);
    return finishTool(tool);
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nightdehaze-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::set<std::string> ScratchDir::entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.insert(entry.path().filename().string());
    return names;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string shell(const std::filesystem::path& dir, const std::string& command) {
    FILE* pipe = popen(("cd '" + dir.string() + "' && " + command).c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
    return out;
}

}  // namespace tool_testing
