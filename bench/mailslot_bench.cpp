// Round trip through the host mailslot: one thread writes a request-sized text, another thread polls its
// reader the way the command thread does (without the 1 s sleep) and reads the text back; the writer
// waits for it before sending the next one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <unistd.h>

#include "common/mailslot/MailslotEndpoint.h"

namespace {

void BM_MailslotRoundTrip(benchmark::State& state) {
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    ::setenv("KESTREL_MAILSLOT_DIR", pattern, 1);
    const std::wstring name = L"\\\\.\\mailslot\\KestrelBench";
    const std::wstring text = L"C:\\GetData\\\\.\\mailslot\\KestrelGUI";

    kestrel::MailslotReader reader;
    kestrel::MailslotWriter writer;
    if (!reader.Create(name, false) || !writer.Open(name)) {
        state.SkipWithError("mailslot not created");
        return;
    }
    std::atomic<long> received{0};
    std::atomic<bool> stop{false};
    std::thread readerThread([&] {
        while (!stop.load(std::memory_order_acquire)) {
            if (reader.Read().empty()) {
                std::this_thread::yield();
                continue;
            }
            received.fetch_add(1, std::memory_order_release);
        }
    });

    long sent = 0;
    for (auto _ : state) {
        writer.Write(text);
        ++sent;
        while (received.load(std::memory_order_acquire) < sent) {
        }
    }
    stop.store(true, std::memory_order_release);
    readerThread.join();
    state.SetItemsProcessed(sent);

    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    ::unsetenv("KESTREL_MAILSLOT_DIR");
}
BENCHMARK(BM_MailslotRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
