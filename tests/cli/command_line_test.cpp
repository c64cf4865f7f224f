#include "cli/command_line.hpp"

#include <gtest/gtest.h>

TEST(CommandLine, PositionalArgumentsAreInputThenGamma) {
    CommandLine none = parseCommandLine({});
    EXPECT_EQ(none.options.inputPath, "flickr15.bmp");
    EXPECT_EQ(none.options.context.gamma, nightdehaze::DehazeContext().gamma);
    CommandLine three = parseCommandLine({"x.bmp", "2.2", "extra"});
    EXPECT_EQ(three.options.inputPath, "x.bmp");
    EXPECT_EQ(three.options.context.gamma, 2.2);
}

TEST(CommandLine, GammaMustBeAWholeFinitePositiveNumber) {
    for (const char* good : {"1.2", "2", "0.8", "1e0", ".5"}) EXPECT_TRUE(parsePositiveNumber(good)) << good;
    for (const char* bad : {"abc", "", "0", "-1", "1.2x", " 1", "inf", "nan", "1e999", "0x"})
        EXPECT_FALSE(parsePositiveNumber(bad)) << bad;
    EXPECT_THROW(parseCommandLine({"x.bmp", "abc"}), UsageError);
    EXPECT_THROW(parseCommandLine({"x.bmp", "-1"}), UsageError);
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
