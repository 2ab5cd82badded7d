#include "styling/UpperSnake.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

class UpperSnake : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(UpperSnake, UnderscoreBeforeEveryCapitalButAtALineStart)
{
    EXPECT_EQ(corvaxis::binding_detail::toUpperSnake(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Names, UpperSnake,
    testing::Values(std::pair{"", ""}, std::pair{"ShowLabelTextDebug", "SHOW_LABEL_TEXT_DEBUG"},
                    std::pair{"TubeEndT", "TUBE_END_T"}, std::pair{"ABC", "A_B_C"}, std::pair{"A_B", "A__B"},
                    std::pair{"color2x", "COLOR2X"}, std::pair{"Line\nWidth", "LINE\nWIDTH"},
                    std::pair{"lineWidth", "LINE_WIDTH"},
                    std::pair{"AllowObjectAttributesOverride", "ALLOW_OBJECT_ATTRIBUTES_OVERRIDE"}));

}  // namespace
