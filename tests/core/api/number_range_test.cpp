#include "nightdehaze/nightdehaze.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using nightdehaze::NumberRange;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(NumberRange, HoldsFiniteValuesBetweenItsEnds) {
    const NumberRange abovezero{0, kInf, false};
    EXPECT_TRUE(abovezero.holds(5e-324));
    EXPECT_FALSE(abovezero.holds(0.0));
    EXPECT_FALSE(abovezero.holds(-0.0));
    EXPECT_FALSE(abovezero.holds(kInf));
    EXPECT_FALSE(abovezero.holds(std::nan("")));
    const NumberRange percent{1, 100, true, true, true};
    EXPECT_TRUE(percent.holds(1) && percent.holds(100));
    EXPECT_FALSE(percent.holds(0.5) || percent.holds(99.5) || percent.holds(101));
    const NumberRange openTop{-1, 1, true, false};
    EXPECT_TRUE(openTop.holds(-1));
    EXPECT_FALSE(openTop.holds(1));
    EXPECT_TRUE(NumberRange().holds(-1e308));
    EXPECT_FALSE(NumberRange().holds(-kInf));
}

TEST(NumberRange, SaysItselfInOneSentence) {
    EXPECT_EQ(nightdehaze::outOfRangeMessage("gamma", nightdehaze::kGammaRange, 1.2),
              "gamma must be a finite number greater than 0, not 1.2");
    EXPECT_EQ(nightdehaze::outOfRangeMessage("n", NumberRange{1, 100, true, true, true}, "'x'"),
              "n must be a whole number from 1 to 100, not 'x'");
    EXPECT_EQ((NumberRange{0, kInf, true, true, true}).expected(), "a whole number of at least 0");
    EXPECT_EQ((NumberRange{-0.5, 2, false, false}).expected(), "a finite number greater than -0.5 and less than 2");
    EXPECT_EQ((NumberRange{-kInf, 3}).expected(), "a finite number of at most 3");
    EXPECT_EQ(NumberRange().expected(), "a finite number");
    EXPECT_EQ(nightdehaze::outOfRangeMessage("x", NumberRange(), std::nan("")), "x must be a finite number, not nan");
    EXPECT_EQ(nightdehaze::outOfRangeMessage("x", NumberRange(), 0.1 + 0.2), "x must be a finite number, not 0.30000000000000004");
}
