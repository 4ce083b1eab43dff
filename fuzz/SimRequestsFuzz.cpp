// Fuzzes the simulated volume's request handlers. Each input is a sequence of requests:
//   byte 0: the request kind (low 2 bits) and which file it is asked on (next 2 bits);
//   byte 1: input length (0 to 40); bytes 2-3: output length (0 to 4,095);
//   then the input bytes (as many as the input length says, zero-padded when the data runs out).
// The output lies between guard bytes; a change to a guard, an answer claiming more bytes than the
// output holds, or a failed consistency check aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/sim/SimVolume.h"

namespace {

using kestrel::sim::FileKind;
using kestrel::sim::kHoleLcn;
using kestrel::sim::SimVolume;

constexpr std::uint32_t kCodes[] = {kestrel::fs::kFsctlGetNtfsVolumeData, kestrel::fs::kFsctlGetVolumeBitmap,
                                    kestrel::fs::kFsctlGetRetrievalPointers, kestrel::fs::kFsctlMoveFile};
const wchar_t* const kFiles[] = {L"", L"\\a", L"\\dir\\sparse", L"\\dir\\compressed"};

void Require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SimVolume volume({2000, 4096, 0, 63});
    volume.Append(L"\\a", 40);
    volume.AddFile(L"\\dir\\sparse", {{0, kHoleLcn, 16}, {16, 300, 20}, {36, kHoleLcn, 4}}, FileKind::Sparse);
    volume.CreateFile(L"\\dir\\compressed", FileKind::Compressed);
    for (int i = 1; i <= 6; ++i)
        volume.AppendCompressedUnit(L"\\dir\\compressed", i * 2);
    volume.Append(L"\\b", 25);  // interleaves with the files above

    std::size_t pos = 0;
    while (pos + 4 <= size) {
        std::uint8_t op = data[pos];
        std::uint32_t inLength = data[pos + 1] % 41;
        std::uint32_t outLength = (data[pos + 2] | (data[pos + 3] << 8)) % 4096;
        pos += 4;
        std::uint8_t in[40] = {};
        std::size_t take = std::min<std::size_t>(inLength, size - pos);
        std::memcpy(in, data + pos, take);
        pos += take;

        std::uint32_t code = kCodes[op & 3];
        std::wstring file = kFiles[(op >> 2) & 3];
        std::wstring moveFile = kFiles[(op >> 4) & 3];
        std::vector<std::uint8_t> out(outLength + 64, 0x5A);
        auto answer =
            volume.Request(code == kestrel::fs::kFsctlMoveFile ? std::wstring() : file, code,
                           (op & 0x40) != 0 ? nullptr : in, inLength, out.data() + 32, outLength, moveFile);
        Require(answer.bytes <= outLength);
        for (int g = 0; g < 32; ++g)
            Require(out[g] == 0x5A && out[32 + outLength + g] == 0x5A);
    }
    Require(volume.Check().empty());
    return 0;
}
