#include <windows.h>

#include "platform/UpperCase.h"

namespace kestrel {

void CharUpperInPlace(std::wstring& text) {
    std::size_t i = 0;
    for (; i < text.size() && text[i] < 0x80; ++i) {
        if (text[i] >= L'a' && text[i] <= L'z')
            text[i] = static_cast<wchar_t>(text[i] - (L'a' - L'A'));
    }
    if (i < text.size())
        CharUpperBuffW(text.data() + i, static_cast<DWORD>(text.size() - i));
}

}  // namespace kestrel
