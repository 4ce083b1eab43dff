// Fuzzes the folding of retrieval-pointer answers into an extent list. Each input is a sequence of
// answers, each a 2-byte length followed by that many bytes (fewer when the data runs out), copied into a
// buffer of exactly that size so that AddressSanitizer sees any read past it. The answers' ExtentCount
// and pairs are whatever the bytes say. After each answer the derived numbers are computed, and the
// list must keep its extents in VCN order, and an answer refused as implausible must leave it as it was.
// The target is built to stop at the first undefined behaviour (an overflowing VCN or LCN sum included).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "service/engine/ExtentMap.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel::engine;
    ExtentList list;
    list.label = L"GetFileFragmentsInfo";
    std::size_t at = 0;
    int answers = 0;
    while (at + 2 <= size && answers++ < 8) {
        std::size_t length = data[at] | (std::size_t{data[at + 1]} << 8);
        at += 2;
        if (length > size - at)
            length = size - at;
        std::vector<std::uint8_t> answer(data + at, data + at + length);
        at += length;
        const std::deque<Extent> before = list.extents;
        const bool compressed = list.compressed;
        if (!AppendRetrievalPointers(list, answer.data(), answer.size()))
            Require(list.extents == before && list.compressed == compressed);  // refused: nothing changed

        Require(FragmentCount(list) >= 1);
        (void)VcnLength(list);
        FileInfo info;
        (void)FillFileInfo(list, info);
        (void)ListEndVcn(list);
        for (std::size_t i = 1; i < list.extents.size(); ++i)
            Require(list.extents[i - 1].vcn <= list.extents[i].vcn);
        // Walking the list with ExtentAfter must end: each step moves past the extent it answered.
        std::int64_t vcn = 0;
        for (std::size_t steps = 0; steps <= list.extents.size(); ++steps) {
            const std::int64_t before = vcn;
            const std::int64_t next = ExtentAfter(list, vcn);
            if (next == 0 || next == -1)
                break;
            Require(vcn > before);
        }
    }
    return 0;
}
