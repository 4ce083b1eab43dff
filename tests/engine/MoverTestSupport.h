// Shared pieces of the mover and compaction tests: a simulated drive C with hooks on opens and requests,
// layouts built cluster by cluster, and the check that no move lost, doubled or misplaced a cluster.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileSystemControl.h"
#include "tests/engine/ForwardingControl.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/engine/DefragEngine.h"

namespace kestrel::engine::test {

// Forwards to a SimFileSystem; hooks run before each open (and may fail it with a Win32 error) and
// before each control request (and may inject faults into the volume at that moment).
class HookedControl : public ForwardingControl {
  public:
    using ForwardingControl::ForwardingControl;

    // Called with the "\\?\" path and the number of file opens so far (1 for the first); a nonzero
    // return fails the open with that error.
    std::function<std::uint32_t(const std::wstring& path, int openNumber)> onOpen;
    // Called with the control code and the number of requests with that code so far (1 for the first).
    std::function<void(std::uint32_t code, int number)> onControl;
    int fileOpens = 0;
    std::map<std::uint32_t, int> requests;

    fs::OpenResult OpenFile(const std::wstring& path) override {
        ++fileOpens;
        if (onOpen) {
            if (const std::uint32_t error = onOpen(path, fileOpens); error != 0)
                return {fs::kInvalidHandle, error};
        }
        return ForwardingControl::OpenFile(path);
    }
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        const int number = ++requests[code];
        if (onControl)
            onControl(code, number);
        return ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
    }
};

// A volume mounted as drive C. Cluster 0 is taken, as the boot sector is on a real volume. Every test
// ends with the volume's consistency check and, for every file recorded with Remember, a comparison of
// its content tags with those it had before the moves.
class MoverTest : public ::testing::Test {
  protected:
    explicit MoverTest(std::int64_t clusters = 40000) : volume_({clusters, 4096, 0, 0}), control_(fs_) {
        fs_.Mount(L'C', volume_);
        EXPECT_TRUE(volume_.Occupy(0, 1));
        SetFreeRunIndexCheck(true);  // every search from the index is made the plain way too
    }
    void TearDown() override { ExpectIntact(); }

    // Records the file's content as it is now.
    void Remember(const std::wstring& path) { tags_[path] = volume_.Tags(path); }

    void ExpectIntact() {
        EXPECT_EQ(volume_.Check(), "");
        for (const auto& [path, tags] : tags_) {
            if (!volume_.Exists(path))
                continue;  // deleted on purpose by the test
            EXPECT_EQ(volume_.Tags(path), tags) << "content of " << std::string(path.begin(), path.end());
        }
    }

    // Adds a file and remembers its content.
    void Add(const std::wstring& path, const std::vector<sim::Run>& runs,
             sim::FileKind kind = sim::FileKind::Normal) {
        ASSERT_TRUE(volume_.AddFile(path, runs, kind));
        Remember(path);
    }

    // Takes every cluster that is still free except those of the given (lcn, length) ranges, so that
    // exactly these ranges are the volume's free space.
    void LeaveFree(const std::vector<std::pair<std::int64_t, std::int64_t>>& free) {
        auto keep = [&](std::int64_t lcn) {
            for (const auto& [start, length] : free)
                if (lcn >= start && lcn < start + length)
                    return true;
            return false;
        };
        const std::int64_t total = volume_.geometry().totalClusters;
        for (std::int64_t lcn = 0; lcn < total;) {
            if (volume_.IsUsed(lcn) || keep(lcn)) {
                ++lcn;
                continue;
            }
            std::int64_t end = lcn;
            while (end < total && !volume_.IsUsed(end) && !keep(end))
                ++end;
            ASSERT_TRUE(volume_.Occupy(lcn, end - lcn));
            lcn = end;
        }
    }

    // A FileInfo of the file as the watcher measures it.
    FileInfo Info(DefragEngine& engine, const std::wstring& path) {
        FileInfo info;
        RefreshFileInfo(engine, L"C:" + path, info);
        return info;
    }

    timing::ScopedTimeDivisor fast_{100000};
    sim::SimVolume volume_;
    sim::SimFileSystem fs_;
    HookedControl control_;
    std::map<std::wstring, std::vector<std::uint64_t>> tags_;
};

// Lines of the capture that begin with `prefix`, in order.
inline std::vector<std::wstring> LinesStartingWith(const trace::CaptureSink& capture,
                                                   const std::wstring& prefix) {
    std::vector<std::wstring> out;
    for (const std::wstring& line : capture.Lines())
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

}  // namespace kestrel::engine::test
