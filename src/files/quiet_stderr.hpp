#pragma once

namespace nightdehaze::files {

// While an instance lives, the process's standard error goes to /dev/null.
// Image decoders print their own diagnostics there ("libpng error: ...",
// "imdecode_(...): can't read data ..."); the tool reports a failure in one
// line of its own instead. Not for use by two threads at once.
class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int savedStderr_ = -1;
};

}  // namespace nightdehaze::files
