// Enhances a picture through the installed nightdehaze library.
//   enhance_picture --make-test-picture PATH   writes a small hazy night scene
//   enhance_picture INPUT OUTPUT               enhances INPUT as the tool does
// Prints the library version, the stage lines and a summary of the two maps.
#include <nightdehaze/nightdehaze.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <exception>
#include <iostream>
#include <string>

// Every function of the header, held in a variable the linker must resolve,
// so that this program only links when the library defines them all.
struct EveryFunction {
    decltype(&nightdehaze::nightdehazeVersion) versionQuery;
    cv::Mat (*pipeline)(const cv::Mat&, const nightdehaze::DehazeContext&, nightdehaze::HazeMaps*,
                        std::ostream*);
    cv::Mat (*monitoredPipeline)(const cv::Mat&, const nightdehaze::DehazeContext&,
                                 nightdehaze::HazeMaps*, nightdehaze::ProgressMonitor&);
    decltype(&nightdehaze::StageParameters::colorCorrection) correction;
    decltype(&nightdehaze::StageParameters::dehaze) dehazing;
    decltype(&nightdehaze::lightCompensation) compensation;
    decltype(&nightdehaze::contrastStretch) stretch;
    decltype(&nightdehaze::cumBoxFilter) boxFilter;
    decltype(&nightdehaze::guidedFilterGray) greyFilter;
    decltype(&nightdehaze::guidedFilterColor) colourFilter;
    decltype(&nightdehaze::nonLocalGuidedFilter) nonLocalFilter;
    decltype(&nightdehaze::elementwisePower) power;
    decltype(&nightdehaze::padSymmetric) padding;
    decltype(&nightdehaze::darkChannel) dark;
    decltype(&nightdehaze::writeStageLine) stageLine;
    decltype(&nightdehaze::transmissionBytes) transmissionAsBytes;
    decltype(&nightdehaze::installBufferReuse) bufferReuse;
    decltype(&nightdehaze::releaseKeptBuffers) keptBuffers;
    decltype(&nightdehaze::retainFreedHeapMemory) heapRetention;
};
EveryFunction everyFunction = {&nightdehaze::nightdehazeVersion, &nightdehaze::enhance, &nightdehaze::enhance,
                               &nightdehaze::StageParameters::colorCorrection,
                               &nightdehaze::StageParameters::dehaze, &nightdehaze::lightCompensation, &nightdehaze::contrastStretch,
                               &nightdehaze::cumBoxFilter, &nightdehaze::guidedFilterGray, &nightdehaze::guidedFilterColor,
                               &nightdehaze::nonLocalGuidedFilter, &nightdehaze::elementwisePower,
                               &nightdehaze::padSymmetric, &nightdehaze::darkChannel,
                               &nightdehaze::writeStageLine, &nightdehaze::transmissionBytes,
                               &nightdehaze::installBufferReuse, &nightdehaze::releaseKeptBuffers,
                               &nightdehaze::retainFreedHeapMemory};

namespace {

// A dark street under orange lamps, veiled by haze that thickens upwards.
cv::Mat hazyNightScene() {
    cv::Mat scene(56, 72, CV_8UC3);
    for (int y = 0; y < scene.rows; ++y)
        for (int x = 0; x < scene.cols; ++x)
            scene.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(30 + x / 3),
                                                  static_cast<uchar>(20 + y / 4),
                                                  static_cast<uchar>(15 + (x + y) % 9));
    cv::rectangle(scene, cv::Rect(10, 30, 20, 26), cv::Scalar(60, 50, 45), cv::FILLED);
    cv::circle(scene, cv::Point(18, 12), 4, cv::Scalar(80, 170, 250), cv::FILLED);
    cv::circle(scene, cv::Point(52, 18), 5, cv::Scalar(120, 200, 255), cv::FILLED);
    cv::GaussianBlur(scene, scene, cv::Size(5, 5), 1.2);
    cv::Mat haze(scene.size(), CV_8UC3, cv::Scalar(90, 120, 150));
    cv::Mat hazy = scene.clone();
    for (int y = 0; y < scene.rows; ++y) {
        const double veil = 0.2 + 0.5 * (scene.rows - y) / scene.rows;
        cv::addWeighted(scene.row(y), 1.0 - veil, haze.row(y), veil, 0.0, hazy.row(y));
    }
    return hazy;
}

int makeTestPicture(const std::string& path) {
    if (!cv::imwrite(path, hazyNightScene())) {
        std::cerr << "cannot write " << path << "\n";
        return 1;
    }
    return 0;
}

int enhancePicture(const std::string& input, const std::string& output) {
    const cv::Mat picture = cv::imread(input, cv::IMREAD_COLOR);
    if (picture.empty()) {
        std::cerr << "cannot read " << input << "\n";
        return 1;
    }
    std::cout << "nightdehaze " << nightdehaze::nightdehazeVersion() << std::endl;
    nightdehaze::DehazeContext context;
    nightdehaze::HazeMaps maps;
    const cv::Mat dehazed = nightdehaze::enhance(picture, context, &maps, &std::cout);
    if (dehazed.type() != CV_8UC3 || dehazed.size() != picture.size() ||
        maps.airlight.type() != CV_8UC3 || maps.airlight.size() != picture.size() ||
        maps.transmission.type() != CV_64FC1 || maps.transmission.size() != picture.size()) {
        std::cerr << "nightdehaze::enhance returned images of the wrong type or size\n";
        return 1;
    }
    double tMin = 0, tMax = 0;
    cv::minMaxLoc(maps.transmission, &tMin, &tMax);
    std::cout << "transmission from " << tMin << " to " << tMax << std::endl;
    if (!(tMin >= 0.0 && tMax <= 1.0)) {
        std::cerr << "transmission outside 0..1\n";
        return 1;
    }
    if (!cv::imwrite(output, dehazed)) {
        std::cerr << "cannot write " << output << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::string(argv[1]) == "--make-test-picture") return makeTestPicture(argv[2]);
        if (argc == 3) return enhancePicture(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::cerr << "enhance_picture: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "usage: enhance_picture --make-test-picture PATH | enhance_picture INPUT OUTPUT\n";
    return 2;
}
