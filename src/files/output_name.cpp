#include "files/output_name.hpp"

std::string derivedOutputPath(const std::string& inputPath, const std::string& suffix) {
    // substr clamps a count beyond the end, so paths shorter than four
    // characters keep all of them.
    return inputPath.substr(0, inputPath.size() - 4) + suffix;
}
