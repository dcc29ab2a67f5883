#include "base/numbertext.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace {

struct CLocale : ::testing::Test
{
    void SetUp() override { QLocale::setDefault(QLocale::c()); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

using SingleText = CLocale;

TEST_F(SingleText, ShortFormHasAtMostSevenDigitsAndNoTrailingZeros)
{
    EXPECT_EQ(singleText(2.45f), "2.45");
    EXPECT_EQ(singleText(0.45f), "0.45");
    EXPECT_EQ(singleText(-0.45f), "-0.45");
    EXPECT_EQ(singleText(109.87f), "109.87");
    EXPECT_EQ(singleText(5.744563f), "5.744563");
    EXPECT_EQ(singleText(48.989796f), "48.9898");
    EXPECT_EQ(singleText(20.0f), "20");
    EXPECT_EQ(singleText(0.0f), "0");
    EXPECT_EQ(singleText(-0.0f), "0");
    EXPECT_EQ(singleText(1234567.0f), "1234567");
    EXPECT_EQ(singleText(12345678.0f), "1.234568E+07");
    EXPECT_EQ(singleText(0.00002f), "2E-05");
}

TEST_F(SingleText, RoundsToTwoDecimalsWithHalvesToEven)
{
    EXPECT_EQ(roundHalfEven2(2.4494898), 2.45);
    EXPECT_EQ(roundHalfEven2(0.125), 0.12); // exact halves in binary
    EXPECT_EQ(roundHalfEven2(0.375), 0.38);
    EXPECT_EQ(roundHalfEven2(-0.125), -0.12);
    EXPECT_EQ(singleText(static_cast<float>(roundHalfEven2(5.744563f))), "5.74");
    EXPECT_EQ(singleText(static_cast<float>(roundHalfEven2(0.0))), "0");
}

TEST(NumberText, FollowsTheLocaleDecimalSeparatorWithoutGrouping)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(singleText(2.45f), "2,45");
    EXPECT_EQ(singleText(1234.5f), "1234,5");
    EXPECT_EQ(integerText(1000), "1000");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(singleText(1234.5f), "1234.5");
    EXPECT_EQ(integerText(-32768), "-32768");
    QLocale::setDefault(QLocale::system());
}

} // namespace
