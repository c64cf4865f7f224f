// The installed header declares the library's functions a second time, apart
// from the private headers the library is built with. Included together here,
// a declaration that drifted from its definition would be a second overload
// (or a conflicting redeclaration), and naming the function below would no
// longer compile: so this file compiling proves the two sets agree.
#include "nightdehaze/nightdehaze.hpp"

#include "app/dehaze_context.hpp"
#include "filters/box_filter.hpp"
#include "filters/elementwise_power.hpp"
#include "filters/guided_filter_color.hpp"
#include "filters/guided_filter_gray.hpp"
#include "filters/non_local_guided_filter.hpp"
#include "stages/contrast_stretch.hpp"
#include "stages/light_compensation.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <type_traits>

#define EXPECT_ONE_DECLARATION(f) \
    static_assert(std::is_function_v<decltype(f)>, #f " must name exactly one function")

EXPECT_ONE_DECLARATION(nightdehazeVersion);
EXPECT_ONE_DECLARATION(enhance);
EXPECT_ONE_DECLARATION(lightCompensation);
EXPECT_ONE_DECLARATION(contrastStretch);
EXPECT_ONE_DECLARATION(cumBoxFilter);
EXPECT_ONE_DECLARATION(guidedFilterGray);
EXPECT_ONE_DECLARATION(guidedFilterColor);
EXPECT_ONE_DECLARATION(nonLocalGuidedFilter);
EXPECT_ONE_DECLARATION(elementwisePower);

TEST(PublicHeader, VersionIsMajorMinorPatch) {
    const std::string version = nightdehazeVersion();
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << version;
}
