#include "fan_ids.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using testing::ElementsAre;
using testing::IsEmpty;

TEST(FanIds, PiecesReadAsDecimalNumbers)
{
    EXPECT_THAT(parseFanIds("0,1,2,3"), ElementsAre(0, 1, 2, 3));
    EXPECT_THAT(parseFanIds("3,1"), ElementsAre(3, 1));
    EXPECT_THAT(parseFanIds("1, 2"), ElementsAre(1, 2));
    EXPECT_THAT(parseFanIds("07"), ElementsAre(7));
    EXPECT_THAT(parseFanIds("2x"), ElementsAre(2));
    EXPECT_THAT(parseFanIds("1,1"), ElementsAre(1, 1));
}

TEST(FanIds, EmptyPiecesAndTextWithoutDigits)
{
    EXPECT_THAT(parseFanIds(""), IsEmpty());
    EXPECT_THAT(parseFanIds("1,2,"), ElementsAre(1, 2));
    EXPECT_THAT(parseFanIds("1,,2"), ElementsAre(1, 0, 2));
    EXPECT_THAT(parseFanIds(",1"), ElementsAre(0, 1));
    EXPECT_THAT(parseFanIds("x"), ElementsAre(0));
}

TEST(FanIds, IdsBeyondTheMasksAreRefused)
{
    EXPECT_THAT(parseFanIds("31"), ElementsAre(31));
    EXPECT_THROW(parseFanIds("32"), std::out_of_range);
    EXPECT_THROW(parseFanIds("1,-1"), std::out_of_range);
    EXPECT_THROW(parseFanIds("99999999999999999999"), std::out_of_range);
    try
    {
        parseFanIds("0,40");
        FAIL() << "no exception";
    }
    catch (const std::out_of_range& e)
    {
        EXPECT_STREQ(e.what(), "Fan ID out of range (0 to 31): 40");
    }
}

} // namespace
} // namespace bmcmon::test
