#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Time.h"

namespace kestrel::timing {
namespace {

TEST(TimeTest, DivisorScalesNominalDurationsButKeepsThemNonzero) {
    ScopedTimeDivisor divisor(1000);
    EXPECT_EQ(Scaled(30000), 30u);
    EXPECT_EQ(Scaled(100), 1u);  // never rounds down to a zero-length wait
    EXPECT_EQ(Scaled(0), 0u);
    EXPECT_EQ(Scaled(kInfinite), kInfinite);
    const auto start = NowMs();
    Sleep(10000);  // 10 ms of real time
    EXPECT_LT(NowMs() - start, 5000u);
}

TEST(TimeTest, AutoResetEventWakesOneWaitAndManualResetStays) {
    Event automatic(false, true);
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));  // consumed

    Event manual(true, false);
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.IsSet());
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());
}

TEST(TimeTest, SemaphoreCountsAndRefusesToPassItsMaximum) {
    Semaphore s(0, 2);
    EXPECT_FALSE(s.Wait(0));
    EXPECT_TRUE(s.Release(2));
    EXPECT_FALSE(s.Release(1));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_FALSE(s.Wait(0));
}

TEST(TimeTest, WaitAnyReturnsTheSignalledIndexOrTimesOut) {
    ScopedTimeDivisor divisor(100);
    Event stop(true, false);
    Semaphore queue(0, 100);
    EXPECT_EQ(WaitAny({&stop, &queue}, 1000), kWaitTimeout);

    std::thread releaser([&] {
        Sleep(500);
        queue.Release();
    });
    EXPECT_EQ(WaitAny({&stop, &queue}, kInfinite), 1);
    releaser.join();

    stop.Set();
    queue.Release();
    EXPECT_EQ(WaitAny({&stop, &queue}, 0), 0);  // the first signalled object wins
    EXPECT_EQ(WaitAny({}, 0), kWaitFailed);
}

TEST(TimeTest, NamedEventsWithTheSameNameAreOneObject) {
    Event a(true, false, L"KestrelTimeTestEvent");
    Event b(true, false, L"KestrelTimeTestEvent");
    a.Set();
    EXPECT_TRUE(b.Wait(0));
}

}  // namespace
}  // namespace kestrel::timing
