#include "nightdehaze/nightdehaze.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <string>

using namespace nightdehaze;

TEST(LightCompensation, UniformGreyIsLiftedByTheCubeRootCurve) {
    const int table[][2] = {{27, 121}, {64, 161}, {1, 40}, {255, 255}, {0, 0}};
    for (auto& entry : table) {
        cv::Mat grey(30, 34, CV_8UC3, cv::Scalar::all(entry[0])), out;
        lightCompensation(5, out, grey, 0.01);
        ASSERT_EQ(out.type(), CV_8UC3);
        cv::Mat expected(30, 34, CV_8UC3, cv::Scalar::all(entry[1]));
        SCOPED_TRACE(testing::Message() << "grey " << entry[0]);
        EXPECT_BIT_EQUAL(out, expected);
    }
}

TEST(LightCompensation, SameMatrixAsInputAndOutputGivesTheSameResult) {
    cv::Mat src = testing_support::randomPhoto(47, 61, 12), separate;
    lightCompensation(5, separate, src, 0.01);
    cv::Mat inPlace = src.clone();
    lightCompensation(5, inPlace, inPlace, 0.01);
    EXPECT_BIT_EQUAL(inPlace, separate);
}

TEST(LightCompensation, KeepsHueAndSaturationAndNeverDarkens) {
    cv::Mat src = testing_support::randomPhoto(64, 80, 21), out;
    lightCompensation(5, out, src, 0.01);
    cv::Mat hsvIn, hsvOut;
    cv::cvtColor(src, hsvIn, cv::COLOR_BGR2HSV);
    cv::cvtColor(out, hsvOut, cv::COLOR_BGR2HSV);
    int hueOff = 0, satOff = 0;
    for (int i = 0; i < src.rows; ++i)
        for (int j = 0; j < src.cols; ++j) {
            const cv::Vec3b a = hsvIn.at<cv::Vec3b>(i, j), b = hsvOut.at<cv::Vec3b>(i, j);
            if (a[1] < 40 || b[2] < 40) continue;  // hue is ill-defined for greys and darks
            const int dh = std::abs(a[0] - b[0]);
            hueOff += std::min(dh, 180 - dh) > 3;
            satOff += std::abs(a[1] - b[1]) > 8;
        }
    EXPECT_LT(hueOff, src.total() / 50);
    EXPECT_LT(satOff, src.total() / 50);
    EXPECT_GT(cv::mean(out)[0] + cv::mean(out)[1] + cv::mean(out)[2],
              cv::mean(src)[0] + cv::mean(src)[1] + cv::mean(src)[2]);
}

TEST(LightCompensation, WorksOnImagesSmallerThanTheFilters) {
    for (auto size : {cv::Size(1, 1), cv::Size(7, 1), cv::Size(1, 7), cv::Size(2, 2), cv::Size(20, 20)}) {
        cv::Mat src = testing_support::randomImage(size.height, size.width, CV_8UC3, 0, 256, 5), out;
        lightCompensation(5, out, src, 0.01);
        EXPECT_EQ(out.size(), size);
        EXPECT_EQ(out.type(), CV_8UC3);
    }
}

TEST(LightCompensation, RejectsWhatItCannotProcess) {
    cv::Mat out;
    EXPECT_THROW(lightCompensation(5, out, cv::Mat(), 0.01), std::invalid_argument);
    EXPECT_THROW(lightCompensation(5, out, cv::Mat(8, 8, CV_8UC1), 0.01), std::invalid_argument);
    try {
        lightCompensation(-1, out, cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(9)), 0.01);
        ADD_FAILURE() << "a negative radius was accepted";
    } catch (const std::invalid_argument& e) {
        // The message names the function the caller called, not a filter inside it.
        EXPECT_EQ(std::string(e.what()).rfind("lightCompensation: ", 0), 0u) << e.what();
    }
}

TEST(LightCompensation, ADimPixelInBlackStaysBlack) {
    // Its smoothed copy rounds to 0, so the value ratio is about 1e8 and the new
    // value some 4e9: beyond the int range, which gives 0 as x86's conversion
    // gives it, never a white speck.
    cv::Mat picture(64, 64, CV_8UC3, cv::Scalar::all(0)), out;
    picture.at<cv::Vec3b>(30, 30) = cv::Vec3b(1, 1, 1);
    nightdehaze::lightCompensation(5, out, picture, 0.01);
    EXPECT_EQ(out.at<cv::Vec3b>(30, 30), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
}
