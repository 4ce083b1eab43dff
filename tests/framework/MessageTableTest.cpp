// Windows: the message table compiled into this program holds every text, ending in CR LF.
#include <windows.h>

#include <gtest/gtest.h>

#include "service/framework/EventMessages.h"

namespace kestrel::events {
namespace {

TEST(MessageTable, EveryIdHasItsExactText) {
    for (const auto& [id, text] : MessageTexts()) {
        wchar_t* buffer = nullptr;
        DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
            GetModuleHandleW(nullptr), id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
            reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        ASSERT_NE(length, 0u) << "message " << id << " missing, error " << GetLastError();
        EXPECT_EQ(std::wstring(buffer, length), text) << "message " << id;
        LocalFree(buffer);
    }
}

}  // namespace
}  // namespace kestrel::events
