// Shared pieces of the engine tests: a simulated drive C, a file-system control that records what the
// engine asks (and can answer retrieval requests from a script), and small helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/FileSystemControl.h"
#include "tests/engine/ForwardingControl.h"
#include "platform/Time.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/engine/DefragEngine.h"

namespace kestrel::engine::test {

// One request as the engine issued it.
struct Call {
    std::uint32_t code = 0;
    std::uint32_t outLength = 0;
    std::int64_t input = 0;  // the starting LCN or VCN
};

// Forwards to a SimFileSystem and records the engine's opens and requests. A script, when set, answers
// retrieval requests instead of the volume.
class RecordingControl : public ForwardingControl {
  public:
    using ForwardingControl::ForwardingControl;

    using Script = std::function<fs::NtStatus(fs::IO_STATUS_BLOCK& io, std::int64_t vcn, void* out,
                                              std::uint32_t outLength)>;
    Script retrievalScript;
    bool bindResult = true;

    std::vector<Call> calls;
    std::vector<std::wstring> volumeOpens;
    std::vector<std::wstring> fileOpens;

    std::size_t CountCalls(std::uint32_t code) const {
        std::size_t n = 0;
        for (const Call& c : calls)
            n += c.code == code ? 1 : 0;
        return n;
    }
    std::vector<std::uint32_t> OutLengths(std::uint32_t code) const {
        std::vector<std::uint32_t> lengths;
        for (const Call& c : calls)
            if (c.code == code)
                lengths.push_back(c.outLength);
        return lengths;
    }

    fs::OpenResult OpenVolume(const std::wstring& devicePath) override {
        volumeOpens.push_back(devicePath);
        return ForwardingControl::OpenVolume(devicePath);
    }
    fs::OpenResult OpenFile(const std::wstring& path) override {
        fileOpens.push_back(path);
        return ForwardingControl::OpenFile(path);
    }
    bool Bind() override { return bindResult; }
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        Call call{code, outLength, 0};
        if (in != nullptr && inLength >= 8)
            std::memcpy(&call.input, in, 8);
        calls.push_back(call);
        if (code == fs::kFsctlGetRetrievalPointers && retrievalScript) {
            return retrievalScript(io, call.input, out, outLength);
        }
        return ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
    }
};

// A volume mounted as drive C, with time scaled down so that retries and polls pass at once.
class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(sim::Geometry geometry = {10000, 4096, 0, 0}) : volume_(geometry), control_(fs_) {
        fs_.Mount(L'C', volume_);
        SetFreeRunIndexCheck(true);
    }
    void TearDown() override { EXPECT_EQ(volume_.Check(), ""); }

    // Makes the volume data unreadable for one selection (all 11 attempts).
    void RefuseVolumeData() {
        for (int i = 0; i < 11; ++i)
            volume_.InjectFault(
                {sim::Fault::Kind::Status, fs::kFsctlGetNtfsVolumeData, L"", fs::kStatusNotSupported, 0});
    }

    timing::ScopedTimeDivisor fast_{100000};
    sim::SimVolume volume_;
    sim::SimFileSystem fs_;
    RecordingControl control_;
};

// Writes a retrieval answer (header and pairs) into `out`; returns its length in bytes.
inline std::uint32_t PutAnswer(void* out, std::uint32_t extentCount, std::int64_t startingVcn,
                               const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    std::memset(bytes, 0, 16);
    std::memcpy(bytes, &extentCount, 4);
    std::memcpy(bytes + 8, &startingVcn, 8);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        std::memcpy(bytes + 16 + i * 16, &pairs[i].first, 8);
        std::memcpy(bytes + 24 + i * 16, &pairs[i].second, 8);
    }
    return static_cast<std::uint32_t>(16 + pairs.size() * 16);
}

}  // namespace kestrel::engine::test
