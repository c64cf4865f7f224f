#include "core/filters/self_guided_filter.hpp"
#include "reference/self_guided_filter_literal.hpp"
#include "test_images.hpp"

#include <gtest/gtest.h>

using testing_support::randomImage;

TEST(SelfGuidedFilter, MatchesLiteralWithEveryWindowsOwnEps) {
    const int sizes[][2] = {{1, 1}, {2, 7}, {9, 1}, {21, 21}, {37, 53}};
    std::uint64_t seed = 300;
    for (auto& s : sizes)
        for (int r : {0, 1, 4}) {
            SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " r=" << r);
            const cv::Mat plane = randomImage(s[0], s[1], CV_64F, 0, 255, seed++);
            const cv::Mat eps = randomImage(s[0], s[1], CV_64F, 0, 400, seed++);
            EXPECT_BIT_EQUAL(nightdehaze::detail::selfGuidedFilter(r, plane, eps),
                             literal::selfGuidedFilter(r, plane, eps));
            const cv::Mat constant(s[0], s[1], CV_64F, cv::Scalar(7.0));
            const cv::Mat zero = cv::Mat::zeros(s[0], s[1], CV_64F);
            EXPECT_BIT_EQUAL(nightdehaze::detail::selfGuidedFilter(r, constant, 0.0),
                             literal::selfGuidedFilter(r, constant, zero));
            EXPECT_BIT_EQUAL(nightdehaze::detail::selfGuidedFilter(r, plane, 36.0),
                             literal::selfGuidedFilter(r, plane, zero + 36.0));
            const nightdehaze::detail::FadingEps fading{36.0, 80.0, 170.0};
            EXPECT_BIT_EQUAL(nightdehaze::detail::selfGuidedFilter(r, plane, fading),
                             literal::selfGuidedFilterFading(r, plane, 36.0, 80.0, 170.0));
        }
}
