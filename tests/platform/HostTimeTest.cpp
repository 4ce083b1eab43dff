// Host only: waits that wake a thread only for its own objects, and events as pollable descriptors.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Time.h"
#include "platform/host/EventDescriptor.h"

namespace kestrel::timing {
namespace {

bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

// How many times the thread has been put on a processor (the third number of its schedstat).
std::uint64_t TimesRun(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    std::uint64_t onCpu = 0, waiting = 0, runs = 0;
    in >> onCpu >> waiting >> runs;
    return runs;
}

TEST(HostTimeTest, AnEventsDescriptorIsReadableExactlyWhileItIsSet) {
    Event manual(true, true);
    const int fd = EventDescriptor(manual);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(EventDescriptor(manual), fd);  // one descriptor per object
    EXPECT_TRUE(Readable(fd));               // set before it was asked for
    manual.Reset();
    EXPECT_FALSE(Readable(fd));
    manual.Set();
    manual.Set();
    EXPECT_TRUE(Readable(fd));
    EXPECT_TRUE(manual.Wait(0));  // a manual-reset event stays set through a wait
    EXPECT_TRUE(Readable(fd));
    manual.Reset();
    EXPECT_FALSE(Readable(fd));

    Event automatic(false, false);
    const int autoFd = EventDescriptor(automatic);
    automatic.Set();
    EXPECT_TRUE(Readable(autoFd));
    EXPECT_TRUE(automatic.Wait(0));  // consumed by the wait
    EXPECT_FALSE(Readable(autoFd));

    Semaphore semaphore(0, 2);
    const int semFd = EventDescriptor(semaphore);
    semaphore.Release(2);
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_TRUE(Readable(semFd));  // one count left
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_FALSE(Readable(semFd));
}

TEST(HostTimeTest, AThreadWakesOnlyForTheObjectsItWaitsOn) {
    if (!std::ifstream("/proc/self/task/" + std::to_string(getpid()) + "/schedstat"))
        GTEST_SKIP() << "no schedstat on this kernel";
    Event mine(true, false), other(true, false), shared(true, true);
    std::atomic<long> tid{0};
    std::thread waiter([&] {
        tid = syscall(SYS_gettid);
        mine.Wait(kInfinite);
    });
    while (tid == 0)
        std::this_thread::yield();
    Sleep(50);  // in its wait by now
    const std::uint64_t before = TimesRun(tid);
    for (int i = 0; i < 200; ++i) {
        other.Set();
        other.Reset();
        shared.Set();  // already set: nothing changes
        std::this_thread::yield();
    }
    Sleep(20);
    const std::uint64_t after = TimesRun(tid);
    mine.Set();
    waiter.join();
    EXPECT_LT(after - before, 5u) << "the waiting thread ran for signals of objects it does not wait on";
}

}  // namespace
}  // namespace kestrel::timing
