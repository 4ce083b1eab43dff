#include "common/Format.h"

namespace kestrel {
namespace {

struct Spec {
    bool left = false, zero = false, plus = false, space = false, alternate = false;
    std::size_t width = 0;
    int precision = -1;
};

void Pad(std::wstring& out, std::wstring_view body, const Spec& spec, std::size_t signLength = 0) {
    if (body.size() >= spec.width) {
        out.append(body);
    } else if (spec.left) {
        out.append(body);
        out.append(spec.width - body.size(), L' ');
    } else if (spec.zero) {
        out.append(body.substr(0, signLength));
        out.append(spec.width - body.size(), L'0');
        out.append(body.substr(signLength));
    } else {
        out.append(spec.width - body.size(), L' ');
        out.append(body);
    }
}

std::wstring Digits(std::uint64_t value, unsigned base, bool upper) {
    const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

void FormatInteger(std::wstring& out, const FormatArg& arg, wchar_t conversion, Spec spec) {
    std::wstring sign;
    std::wstring body;
    switch (conversion) {
        case L'd':
        case L'i': {
            std::int64_t v = arg.AsSigned();
            std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            if (v < 0) {
                sign = L"-";
            } else if (spec.plus) {
                sign = L"+";
            } else if (spec.space) {
                sign = L" ";
            }
            body = Digits(magnitude, 10, false);
            break;
        }
        case L'u':
            body = Digits(arg.AsUnsigned(), 10, false);
            break;
        case L'o':
            body = Digits(arg.AsUnsigned(), 8, false);
            break;
        default: {  // x, X, p
            std::uint64_t v = arg.AsUnsigned();
            // A 32-bit value formatted with %x shows its 32 bits, as printf does with a negative int.
            if (arg.kind() == FormatArg::Kind::Signed && arg.AsSigned() < 0 && arg.AsSigned() >= INT32_MIN &&
                conversion != L'p') {
                v &= 0xFFFFFFFFu;
            }
            body = Digits(v, 16, conversion == L'X');
            if (spec.alternate && v != 0) sign = conversion == L'X' ? L"0X" : L"0x";
            break;
        }
    }
    if (spec.precision >= 0) {
        spec.zero = false;
        if (body.size() < static_cast<std::size_t>(spec.precision)) {
            body.insert(0, static_cast<std::size_t>(spec.precision) - body.size(), L'0');
        }
    }
    Pad(out, sign + body, spec, sign.size());
}

}  // namespace

std::wstring FormatArgs(std::wstring_view format, const FormatArg* args, std::size_t count) {
    std::wstring out;
    out.reserve(format.size() + 16 * count);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        wchar_t c = format[i];
        if (c != L'%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::size_t start = i++;
        if (i < format.size() && format[i] == L'%') {
            out.push_back(L'%');
            ++i;
            continue;
        }
        Spec spec;
        for (; i < format.size(); ++i) {
            wchar_t f = format[i];
            if (f == L'-') {
                spec.left = true;
            } else if (f == L'0') {
                spec.zero = true;
            } else if (f == L'+') {
                spec.plus = true;
            } else if (f == L' ') {
                spec.space = true;
            } else if (f == L'#') {
                spec.alternate = true;
            } else {
                break;
            }
        }
        while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
            spec.width = spec.width * 10 + static_cast<std::size_t>(format[i++] - L'0');
            if (spec.width > 4096) spec.width = 4096;
        }
        if (i < format.size() && format[i] == L'.') {
            spec.precision = 0;
            ++i;
            while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
                spec.precision = spec.precision * 10 + (format[i++] - L'0');
                if (spec.precision > 4096) spec.precision = 4096;
            }
        }
        // Length modifiers carry no information here: the argument's type decides.
        for (;;) {
            std::wstring_view rest = format.substr(i);
            if (rest.starts_with(L"I64") || rest.starts_with(L"I32")) {
                i += 3;
            } else if (!rest.empty() && (rest[0] == L'h' || rest[0] == L'l' || rest[0] == L'z' || rest[0] == L'I' ||
                                         rest[0] == L'j' || rest[0] == L't' || rest[0] == L'L')) {
                i += 1;
            } else {
                break;
            }
        }
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        const wchar_t conversion = format[i++];
        switch (conversion) {
            case L'd': case L'i': case L'u': case L'x': case L'X': case L'o': case L'p':
                if (next < count) FormatInteger(out, args[next++], conversion, spec);
                break;
            case L'c':
                if (next < count) {
                    const FormatArg& arg = args[next++];
                    std::wstring one(1, static_cast<wchar_t>(arg.AsUnsigned()));
                    Pad(out, one, spec);
                }
                break;
            case L's': case L'S':
                if (next < count) {
                    const FormatArg& arg = args[next++];
                    std::wstring_view text = arg.kind() == FormatArg::Kind::Text ? arg.text() : std::wstring_view();
                    if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision)) {
                        text = text.substr(0, static_cast<std::size_t>(spec.precision));
                    }
                    spec.zero = false;
                    Pad(out, text, spec);
                }
                break;
            default:
                out.append(format.substr(start, i - start));
                break;
        }
    }
    return out;
}

}  // namespace kestrel
