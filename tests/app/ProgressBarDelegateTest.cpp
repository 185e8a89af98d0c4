#include "app/ProgressBarDelegate.h"
#include "app/Transformers.h"

#include <gtest/gtest.h>

using namespace kestrap::app;

namespace {

const QSizeF kBg(30, 16);
const QSizeF kFill(30, 13);

double fillWidth(const std::vector<BarSlice>& slices)
{
    double w = 0;
    for (const auto& s : slices)
        if (s.fill)
            w += s.target.width();
    return w;
}

}  // namespace

TEST(ProgressBar, BackgroundAndFillFollowTheThreeSliceGeometry)
{
    // A 203-point bar at 50%: fill (203 - 3) * 0.5 = 100 points in three pieces.
    const auto slices = progressBarSlices(QRectF(10, 20, 203, 24), kBg, kFill, 50, 0, 100);
    ASSERT_EQ(slices.size(), 6u);
    EXPECT_EQ(slices[0].target, QRectF(10, 24, 10, 16));
    EXPECT_EQ(slices[1].target, QRectF(20, 24, 183, 16));
    EXPECT_EQ(slices[1].source, QRectF(10, 0, 10, 16));
    EXPECT_EQ(slices[2].target, QRectF(203, 24, 10, 16));
    EXPECT_EQ(slices[2].source, QRectF(20, 0, 10, 16));
    EXPECT_EQ(slices[3].target, QRectF(11.5, 25.5, 10, 13));
    EXPECT_EQ(slices[4].target, QRectF(21.5, 25.5, 80, 13));
    EXPECT_EQ(slices[5].target, QRectF(101.5, 25.5, 10, 13));
    EXPECT_DOUBLE_EQ(fillWidth(slices), 100);
}

TEST(ProgressBar, NarrowFillsAreOneSqueezedSlice)
{
    // (23 - 3) * 0.45 = 9 points: under 10, one left slice; exactly 10 is three pieces.
    auto slices = progressBarSlices(QRectF(0, 0, 23, 24), kBg, kFill, 45, 0, 100);
    ASSERT_EQ(slices.size(), 4u);
    EXPECT_DOUBLE_EQ(slices[3].target.width(), 9);
    EXPECT_EQ(slices[3].source, QRectF(0, 0, 10, 13));
    EXPECT_DOUBLE_EQ(progressBarSlices(QRectF(0, 0, 23, 24), kBg, kFill, 0, 0, 100)[3].target.width(), 0);
    EXPECT_EQ(progressBarSlices(QRectF(0, 0, 23, 24), kBg, kFill, 50, 0, 100).size(), 6u);
}

TEST(ProgressBar, FillRatioSubtractsTheMinimumAndStaysInTheBar)
{
    // Range 50..100 at 75 is half full, not 1.5 times the bar.
    EXPECT_DOUBLE_EQ(fillWidth(progressBarSlices(QRectF(0, 0, 103, 24), kBg, kFill, 75, 50, 100)), 50);
    EXPECT_DOUBLE_EQ(fillWidth(progressBarSlices(QRectF(0, 0, 103, 24), kBg, kFill, 250, 0, 100)), 100);
    EXPECT_DOUBLE_EQ(fillWidth(progressBarSlices(QRectF(0, 0, 103, 24), kBg, kFill, -5, 0, 100)), 0);
    EXPECT_DOUBLE_EQ(fillWidth(progressBarSlices(QRectF(0, 0, 103, 24), kBg, kFill, 5, 7, 7)), 0);
}

TEST(Transformers, StatusAndCapacityTexts)
{
    EXPECT_EQ(DeviceStatusTransformer(std::nullopt), QStringLiteral("Idle"));
    EXPECT_EQ(DeviceStatusTransformer(1), QStringLiteral("Excluded"));
    EXPECT_EQ(DeviceStatusTransformer(4), QStringLiteral("Failed"));
    EXPECT_EQ(DeviceStatusTransformer(7), QStringLiteral("Unknown"));
    EXPECT_EQ(CapacityTransformer(std::nullopt), QStringLiteral("Zero"));
    EXPECT_EQ(CapacityTransformer(1536), QStringLiteral("1.50 KB"));
    EXPECT_NE(CapacityTransformer(0), QStringLiteral("Zero"));
}
