#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

using namespace nightdehaze::cli;
using namespace nightdehaze::files;

TEST(CommandLine, PositionalArgumentsAreInputThenGamma) {
    CommandLine none = parseCommandLine({});
    EXPECT_EQ(none.options.inputPath, "flickr15.bmp");
    EXPECT_EQ(none.options.context.gamma, nightdehaze::DehazeContext().gamma);
    CommandLine three = parseCommandLine({"x.bmp", "2.2", "extra"});
    EXPECT_EQ(three.options.inputPath, "x.bmp");
    EXPECT_EQ(three.options.context.gamma, 2.2);
}

TEST(CommandLine, GammaMustBeACompleteFiniteNumberAboveZero) {
    for (const char* good : {"1.2", "2", "0.8", "1e0", ".5"})
        EXPECT_EQ(parseCommandLine({"x.bmp", good}).options.context.gamma, std::strtod(good, nullptr)) << good;
    for (const char* bad : {"abc", "", "0", "-1", "1.2x", " 1", "inf", "nan", "1e999", "0x"})
        EXPECT_THROW(parseCommandLine({"x.bmp", bad}), UsageError) << bad;
}

std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}

// One sentence per fault, whichever surface meets it first.
TEST(CommandLine, RefusesNumbersInTheLibrarysWords) {
    nightdehaze::DehazeContext zeroGamma;
    zeroGamma.gamma = 0;
    const cv::Mat picture(4, 4, CV_8UC3, cv::Scalar::all(60));
    const std::string sentence = "gamma must be a finite number greater than 0, not ";
    EXPECT_EQ(refusal([&] { nightdehaze::enhance(picture, zeroGamma); }), "enhance: " + sentence + "0");
    EXPECT_EQ(refusal([] { parseCommandLine({"x.bmp", "0"}); }), sentence + "'0'");
    EXPECT_EQ(refusal([] { parseCommandLine({"x.bmp", "-1"}); }),
              sentence + "'-1'; a file name starting with '-' goes after --");
    EXPECT_EQ(refusal([] { parseCommandLine({"x.bmp", "two"}); }),
              sentence + "'two'; to enhance several pictures, run nightdehaze-batch or a shell loop");
    EXPECT_EQ(refusal([] { parseCommandLine({"--quality=0"}); }),
              "--quality must be a whole number from 1 to 100, not '0'");
    EXPECT_EQ(refusal([] { parseCommandLine({"--reconnect", "-3"}); }),
              "--reconnect must be a finite number greater than 0, not '-3'");
}

TEST(CommandLine, OptionsAnywhereAndDoubleDashEndsThem) {
    CommandLine line = parseCommandLine({"in.png", "--maps", "-o", "out.png", "1.5", "--threads", "2"});
    EXPECT_EQ(line.options.inputPath, "in.png");
    EXPECT_EQ(*line.options.outputPath, "out.png");
    EXPECT_EQ(line.options.context.gamma, 1.5);
    EXPECT_TRUE(line.options.writeMaps);
    EXPECT_EQ(*line.options.threads, 2);
    CommandLine dashed = parseCommandLine({"--", "-weird.png", "3"});
    EXPECT_EQ(dashed.options.inputPath, "-weird.png");
    EXPECT_EQ(dashed.options.context.gamma, 3.0);
    CommandLine helpFile = parseCommandLine({"--", "--help"});
    EXPECT_EQ(helpFile.options.inputPath, "--help");
    EXPECT_FALSE(helpFile.showHelp);
    EXPECT_TRUE(parseCommandLine({"a", "--help"}).showHelp);
    EXPECT_TRUE(parseCommandLine({"--version"}).showVersion);
    EXPECT_TRUE(parseCommandLine({"--non-local"}).options.context.useNonLocalFilter);
    EXPECT_EQ(*parseCommandLine({"--output=o.bmp"}).options.outputPath, "o.bmp");
    const CommandLine equals = parseCommandLine({"--threads=3", "--quality=75", "--output=a=b.jpg"});
    EXPECT_EQ(*equals.options.threads, 3);
    EXPECT_EQ(*equals.options.quality, 75);
    EXPECT_EQ(*equals.options.outputPath, "a=b.jpg");
    EXPECT_EQ(parseCommandLine({"x", "1", "y", "z"}).ignored, (std::vector<std::string>{"y", "z"}));
}

TEST(CommandLine, MalformedOptionsAreUsageErrors) {
    EXPECT_THROW(parseCommandLine({"--bogus"}), UsageError);
    EXPECT_THROW(parseCommandLine({"-o"}), UsageError);
    EXPECT_THROW(parseCommandLine({"--output="}), UsageError);
    EXPECT_THROW(parseCommandLine({"--threads", "0"}), UsageError);
    EXPECT_THROW(parseCommandLine({"--threads", "two"}), UsageError);
    EXPECT_THROW(parseCommandLine({"--threads="}), UsageError);
    EXPECT_THROW(parseCommandLine({"--maps=yes"}), UsageError);
    EXPECT_THROW(parseCommandLine({"--quality=0"}), UsageError);
    EXPECT_THROW(parseCommandLine({"--quality", "101"}), UsageError);
}

// Regression: a mistyped option only said it was unknown.
TEST(CommandLine, AMistypedOptionNamesTheNearestOne) {
    const auto message = [](const std::vector<std::string>& args) {
        try {
            parseCommandLine(args);
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({"x.png", "--fats"}), "unknown option '--fats'; did you mean --fast?");
    EXPECT_EQ(message({"x.png", "--qualty=90"}), "unknown option '--qualty=90'; did you mean --quality?");
    EXPECT_EQ(message({"x.png", "-non-local"}), "unknown option '-non-local'; did you mean --non-local?");
    EXPECT_EQ(message({"x.png", "--verison"}), "unknown option '--verison'; did you mean --version?");
    EXPECT_EQ(message({"x.png", "--frobnicate"}),
              "unknown option '--frobnicate'; a file name starting with '-' goes after --");
    EXPECT_EQ(message({"x.png", "-x"}), "unknown option '-x'; a file name starting with '-' goes after --");
}
