// Mailslot names of this test run: unique per process, so that concurrent runs (and other programs in the
// same Wine prefix) never meet.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "common/Format.h"

namespace kestrel::mailtest {

inline std::wstring UniqueSlotName(const wchar_t* tag) {
    static const std::uint32_t run = std::random_device{}();
    static int counter = 0;
    return Format(L"\\\\.\\mailslot\\KestrelMailTest_%08x_%s_%d", run, tag, ++counter);
}

}  // namespace kestrel::mailtest
