#include "files/options.hpp"
#include "files/usage_error.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

using namespace nightdehaze::files;

namespace {

// A value each kind of option takes; the number needs all 17 digits to read
// back exactly.
std::string sampleText(const OptionDeclaration& option) {
    switch (option.kind) {
        case OptionKind::flag: return "";
        case OptionKind::path: return "out.mkv";
        case OptionKind::wholeNumber: return std::to_string(static_cast<long>(option.range.low) + 1);
        case OptionKind::number: break;
    }
    return "0.30000000000000004";
}

bool holdsText(const std::vector<OptionText>& texts, const std::string& keyword, const std::string& text) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const OptionText& t) { return t.keyword == keyword && t.text == text; });
}

std::vector<std::pair<std::string, std::string>> pairs(const std::vector<OptionText>& texts) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const OptionText& t : texts) out.emplace_back(t.keyword, t.text);
    return out;
}

}  // namespace

// Options cross to the video module as their declarations' own text: every
// declaration gives back the text it was set from, and the module's side
// rebuilds the same options from it.
TEST(OptionTexts, EveryDeclarationCrossesAsItsOwnText) {
    ASSERT_TRUE(holdsText(optionTexts(Options()), "gamma", "1.2"));
    for (const OptionDeclaration& option : optionDeclarations()) {
        Options set;
        const std::string text = sampleText(option);
        applyOption(set, option, text);
        const std::vector<OptionText> texts = optionTexts(set);
        EXPECT_TRUE(holdsText(texts, option.keyword, text)) << option.keyword;
        const Options back = optionsFromTexts("in.mp4", texts);
        EXPECT_EQ(back.inputPath, "in.mp4");
        EXPECT_EQ(pairs(optionTexts(back)), pairs(texts)) << option.keyword;
    }
}

TEST(OptionTexts, TheReceivingSideChecksWhatItApplies) {
    EXPECT_THROW(optionsFromTexts("in.mp4", {{"no_such_option", ""}}), UsageError);
    EXPECT_THROW(optionsFromTexts("in.mp4", {{"--fast", ""}}), UsageError);
    EXPECT_THROW(optionsFromTexts("in.mp4", {{"reconnect", "0"}}), UsageError);
    EXPECT_EQ(*optionsFromTexts("in.mp4", {{"reconnect", "2.5"}}).reconnectSeconds, 2.5);
}
