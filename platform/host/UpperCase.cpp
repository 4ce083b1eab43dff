#include <cwctype>

#include "platform/UpperCase.h"

namespace kestrel {

void CharUpperInPlace(std::wstring& text) {
    for (wchar_t& c : text) {
        if (c < 0x80) {
            if (c >= L'a' && c <= L'z')
                c = static_cast<wchar_t>(c - (L'a' - L'A'));
        } else {
            c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
        }
    }
}

}  // namespace kestrel
