#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "zelvan/ApsFrame.h"

namespace zelvan {
namespace {

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return bytes;
}

bool sameBytes(const ApsFrame& frame, const std::vector<uint8_t>& bytes) {
    return frame.getDataSize() == bytes.size() && std::equal(bytes.begin(), bytes.end(), frame.data());
}

TEST(ApsFrameConstruction, SizeOnlyFrameIsBlackPacked24Bit) {
    const ApsFrame frame(64, 48, 1000, 2000);
    EXPECT_EQ(frame.width(), 64);
    EXPECT_EQ(frame.height(), 48);
    EXPECT_EQ(frame.startTimestamp(), 1000u);
    EXPECT_EQ(frame.endTimestamp(), 2000u);
    EXPECT_FALSE(frame.isLast());
    ASSERT_EQ(frame.getDataSize(), 64u * 48u * ApsFrame::kBytesPerPixel);
    ASSERT_NE(frame.data(), nullptr);
    EXPECT_TRUE(
        std::all_of(frame.data(), frame.data() + frame.getDataSize(), [](uint8_t b) { return b == 0; }));
}

TEST(ApsFrameConstruction, PixelConstructorOwnsACopy) {
    auto source = pattern(8 * 4 * 3);
    const ApsFrame frame(8, 4, 5, 6, source.data(), source.size(), true);
    EXPECT_TRUE(frame.isLast());
    EXPECT_NE(frame.data(), source.data());
    const auto original = source;
    std::fill(source.begin(), source.end(), 0xAB);
    EXPECT_TRUE(sameBytes(frame, original));
}

TEST(ApsFrameConstruction, EmptyAndInvalidInput) {
    const ApsFrame empty;
    EXPECT_EQ(empty.getDataSize(), 0u);
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_TRUE(empty.empty());

    const ApsFrame noPixels(0, 0, 1, 2, nullptr, 0, false);
    EXPECT_TRUE(noPixels.empty());

    EXPECT_THROW(ApsFrame(-1, 10, 0, 0), std::invalid_argument);
    EXPECT_THROW(ApsFrame(10, -1, 0, 0), std::invalid_argument);
    EXPECT_THROW(ApsFrame(2, 2, 0, 0, nullptr, 12, false), std::invalid_argument);
}

TEST(ApsFrameCopies, CloneIsDeep) {
    const auto bytes = pattern(16 * 9 * 3);
    const ApsFrame frame(16, 9, 10, 20, bytes.data(), bytes.size(), false);
    ApsFrame copy = frame.clone();
    EXPECT_EQ(copy.width(), 16);
    EXPECT_EQ(copy.height(), 9);
    EXPECT_EQ(copy.startTimestamp(), 10u);
    EXPECT_EQ(copy.endTimestamp(), 20u);
    ASSERT_TRUE(sameBytes(copy, bytes));
    EXPECT_NE(copy.data(), frame.data());
    copy.data()[0] ^= 0xFF;
    EXPECT_TRUE(sameBytes(frame, bytes));
}

TEST(ApsFrameCopies, CopyAssignmentIsDeepAndReplacesEverything) {
    const auto bytes = pattern(4 * 4 * 3);
    const ApsFrame source(4, 4, 100, 200, bytes.data(), bytes.size(), true);
    ApsFrame target(32, 32, 1, 2);
    target = source;
    EXPECT_EQ(target.width(), 4);
    EXPECT_EQ(target.height(), 4);
    EXPECT_EQ(target.startTimestamp(), 100u);
    EXPECT_EQ(target.endTimestamp(), 200u);
    EXPECT_TRUE(target.isLast());
    ASSERT_TRUE(sameBytes(target, bytes));
    target.data()[5] ^= 0xFF;
    EXPECT_TRUE(sameBytes(source, bytes));

    ApsFrame& alias = target;
    target = alias;
    EXPECT_EQ(target.getDataSize(), bytes.size());
}

TEST(ApsFrameCopies, MoveTransfersBufferAndEmptiesSource) {
    const auto bytes = pattern(6 * 2 * 3);
    ApsFrame source(6, 2, 7, 8, bytes.data(), bytes.size(), false);
    const uint8_t* buffer = source.data();
    ApsFrame moved(std::move(source));
    EXPECT_EQ(moved.data(), buffer);
    EXPECT_TRUE(sameBytes(moved, bytes));
    EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): documented moved-from state
    EXPECT_EQ(source.width(), 0);

    ApsFrame assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.data(), buffer);
    EXPECT_EQ(assigned.endTimestamp(), 8u);
    EXPECT_TRUE(moved.empty());  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace zelvan
