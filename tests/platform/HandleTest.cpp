#include <gtest/gtest.h>

#include <vector>

#include "platform/Handle.h"

namespace kestrel {
namespace {

// Records every close, so the tests see exactly which values were released and when.
struct RecordingTraits {
    using value_type = int;
    std::vector<int>* closed = nullptr;
    static int Invalid() noexcept { return -1; }
    void Close(int h) const noexcept { closed->push_back(h); }
};
using RecordingHandle = UniqueHandle<RecordingTraits>;

TEST(UniqueHandleTest, MoveAssignmentClosesTheOldHandleOnce) {
    std::vector<int> closed;
    {
        RecordingHandle a(7, RecordingTraits{&closed});
        RecordingHandle b(9, RecordingTraits{&closed});
        a = std::move(b);
        EXPECT_EQ(closed, std::vector<int>{7});
        EXPECT_EQ(a.get(), 9);
        EXPECT_FALSE(b.valid());
    }
    // Only 9 is closed at scope end; the moved-from handle closes nothing.
    EXPECT_EQ(closed, (std::vector<int>{7, 9}));
}

TEST(UniqueHandleTest, MoveConstructionTransfersWithoutClosing) {
    std::vector<int> closed;
    RecordingHandle a(3, RecordingTraits{&closed});
    RecordingHandle b(std::move(a));
    EXPECT_TRUE(closed.empty());
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), 3);
    b.reset();
    EXPECT_EQ(closed, std::vector<int>{3});
    b.reset();  // already empty: nothing more is closed
    EXPECT_EQ(closed.size(), 1u);
}

TEST(UniqueHandleTest, ReleaseGivesUpOwnershipAndSelfMoveKeepsTheHandle) {
    std::vector<int> closed;
    RecordingHandle a(5, RecordingTraits{&closed});
    RecordingHandle& alias = a;
    a = std::move(alias);
    EXPECT_EQ(a.get(), 5);
    EXPECT_EQ(a.release(), 5);
    EXPECT_FALSE(a.valid());
    EXPECT_TRUE(closed.empty());
}

}  // namespace
}  // namespace kestrel
