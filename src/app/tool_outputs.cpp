#include "app/tool_outputs.hpp"

#include "app/output_name.hpp"

std::vector<OutputImage> toolOutputs(const std::string& inputPath,
                                     const std::optional<std::string>& outputPath,
                                     const cv::Mat& dehazed, const nightdehaze::HazeMaps* maps) {
    const std::string output = outputPath ? *outputPath : derivedOutputPath(inputPath);
    std::vector<OutputImage> outputs{{output, dehazed}};
    if (maps) {
        cv::Mat transmission;
        maps->transmission.convertTo(transmission, CV_8U, 255.0);
        const std::string base = outputPath ? *outputPath : inputPath;
        outputs.push_back({derivedOutputPath(base, "_A.bmp"), maps->airlight});
        outputs.push_back({derivedOutputPath(base, "_T.bmp"), transmission});
    }
    return outputs;
}
