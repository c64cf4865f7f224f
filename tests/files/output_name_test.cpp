#include "files/output_name.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

// Regression: a longer extension kept its dot ("night.jpeg" -> "night._J.bmp")
// and a name without one lost letters ("image" -> "i_J.bmp").
TEST(OutputName, DropsTheExtensionOfTheFileNameWhateverItsLength) {
    const std::pair<const char*, const char*> cases[] = {
        {"pics/night.png", "pics/night_J.bmp"}, {"night.jpg", "night_J.bmp"},
        {"night.jpeg", "night_J.bmp"},          {"IMG_0001.heic", "IMG_0001_J.bmp"},
        {"shot.tif", "shot_J.bmp"},             {"shot.tiff", "shot_J.bmp"},
        {"clip.ts", "clip_J.bmp"},              {"image", "image_J.bmp"},
        {"abc", "abc_J.bmp"},                   {"", "_J.bmp"},
        {"my.photos/image", "my.photos/image_J.bmp"}, {"v1.2/night.jpeg", "v1.2/night_J.bmp"},
        {".hidden", ".hidden_J.bmp"},           {"dir/.png", "dir/.png_J.bmp"},
        {"name.", "name_J.bmp"},                {"archive.tar.gz", "archive.tar_J.bmp"}};
    for (const auto& [input, output] : cases) EXPECT_EQ(derivedOutputPath(input), output) << input;
    EXPECT_EQ(derivedOutputPath("out/r.jpeg", "_T.jpeg"), "out/r_T.jpeg");
}

// A three-letter extension gives what the positional rule always gave: the
// path less its last four characters, then the suffix.
TEST(OutputName, ThreeLetterExtensionsKeepThePositionalRule) {
    std::mt19937 random(46);
    const std::string letters = "ab.Z_9 /-";
    const auto text = [&](size_t length, bool dotsAndSlashes) {
        std::string s;
        while (s.size() < length) {
            const char c = letters[random() % letters.size()];
            if (dotsAndSlashes || (c != '.' && c != '/')) s += c;
        }
        return s;
    };
    for (int k = 0; k < 2000; ++k) {
        const std::string path = text(random() % 12, true) + "/" + text(1 + random() % 6, false) + "." +
                                 text(3, false);
        EXPECT_EQ(derivedOutputPath(path, "_J.bmp"), path.substr(0, path.size() - 4) + "_J.bmp") << path;
    }
}
