// What a camera raw file costs to develop against the enhancement itself:
// writes a DNG of the given size (a Bayer mosaic of the bundled sample
// scaled up, behind a small preview), then times reading it as the tool does
// and enhancing the developed picture with the exact and the fast engine.
//   raw_measures [WIDTH HEIGHT]   (default 6000 4000: 24 megapixels)
#include "files/picture_job.hpp"
#include "support/dng_file.hpp"
#include "nightdehaze/nightdehaze.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

using namespace nightdehaze::files;

namespace {

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int width = argc > 2 ? std::atoi(argv[1]) & ~1 : 6000;
    const int height = argc > 2 ? std::atoi(argv[2]) & ~1 : 4000;
    testing_support::DngContents dng;
    cv::resize(cv::imread(NIGHTDEHAZE_SAMPLE), dng.picture, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::resize(dng.picture, dng.preview, cv::Size(width / 16, height / 16), 0, 0, cv::INTER_AREA);
    const std::vector<uint8_t> bytes = testing_support::dngFile(dng);
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "nightdehaze_raw_measures.dng";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    cv::Mat developed;
    const double read = seconds([&] { developed = readPictureFile(path.string()); });
    std::filesystem::remove(path);
    nightdehaze::DehazeContext exact, fast;
    fast.fast = true;
    const double exactTime = seconds([&] { nightdehaze::enhance(developed, exact); });
    const double fastTime = seconds([&] { nightdehaze::enhance(developed, fast); });
    std::printf("%dx%d DNG (%.1f MB), %d threads: developing %.2f s; enhancing %.2f s exact (%.0f %% of it), "
                "%.2f s fast (%.0f %%)\n",
                developed.cols, developed.rows, bytes.size() / 1e6, cv::getNumThreads(), read, exactTime,
                100 * read / exactTime, fastTime, 100 * read / fastTime);
}
