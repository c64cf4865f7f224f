// scale_picture IN OUT WIDTH HEIGHT: writes IN resized (bicubic) to OUT.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: scale_picture IN OUT WIDTH HEIGHT\n");
        return 2;
    }
    cv::Mat picture = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (picture.empty()) {
        std::fprintf(stderr, "scale_picture: cannot read '%s'\n", argv[1]);
        return 1;
    }
    cv::resize(picture, picture, cv::Size(std::atoi(argv[3]), std::atoi(argv[4])), 0, 0,
               cv::INTER_CUBIC);
    return cv::imwrite(argv[2], picture) ? 0 : 1;
}
