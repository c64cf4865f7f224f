// Each function of the installed header is declared once: a private header
// that declared it again with other arguments would add a second overload,
// and naming the function below would no longer compile.
#include "nightdehaze/nightdehaze.hpp"

#include "core/filters/guided_filter_color.hpp"
#include "core/filters/non_local_guided_filter.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <type_traits>

using namespace nightdehaze;
using namespace nightdehaze::detail;

#define EXPECT_ONE_DECLARATION(f) \
    static_assert(std::is_function_v<decltype(f)>, #f " must name exactly one function")

EXPECT_ONE_DECLARATION(nightdehazeVersion);
EXPECT_ONE_DECLARATION(lightCompensation);
EXPECT_ONE_DECLARATION(contrastStretch);
EXPECT_ONE_DECLARATION(cumBoxFilter);
EXPECT_ONE_DECLARATION(guidedFilterGray);
EXPECT_ONE_DECLARATION(guidedFilterColor);
EXPECT_ONE_DECLARATION(nonLocalGuidedFilter);
EXPECT_ONE_DECLARATION(elementwisePower);
EXPECT_ONE_DECLARATION(padSymmetric);
EXPECT_ONE_DECLARATION(darkChannel);

TEST(PublicHeader, VersionIsMajorMinorPatch) {
    const std::string version = nightdehazeVersion();
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << version;
}
