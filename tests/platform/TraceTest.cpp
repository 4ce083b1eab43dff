#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/Trace.h"

namespace kestrel::trace {
namespace {

TEST(TraceTest, CaptureSeesExactLinesAndRestoresThePreviousSink) {
    ScopedCapture outer;
    Write(L"outer 1\n");
    {
        ScopedCapture inner;
        Write(L"inner\n");
        EXPECT_EQ(inner.Lines(), std::vector<std::wstring>{L"inner\n"});
    }
    Write(L"outer 2\n");
    EXPECT_EQ(outer.Lines(), (std::vector<std::wstring>{L"outer 1\n", L"outer 2\n"}));
    EXPECT_TRUE(outer.Contains(L"outer 2\n"));
    EXPECT_FALSE(outer.Contains(L"outer 2"));
}

TEST(TraceTest, ConcurrentWritersLoseNoLine) {
    ScopedCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) Write(L"x\n");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(capture.Lines().size(), 2000u);
}

}  // namespace
}  // namespace kestrel::trace
