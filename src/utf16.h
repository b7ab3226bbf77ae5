#pragma once

// UTF-8 and UTF-16 for the Windows halves, where the system's wide calls meet the program's UTF-8
// text. Nothing outside those halves needs a character set.

#ifdef _WIN32

#include <windows.h>

#include <climits>
#include <stdexcept>
#include <string>

namespace tamber {

// `text` as UTF-16; bytes that are not valid UTF-8 become U+FFFD.
inline std::wstring utf16_from_utf8(const std::string& text) {
    if (text.size() > INT_MAX) {
        throw std::length_error("text too long for UTF-16");
    }
    const int n = static_cast<int>(text.size());
    if (n == 0) {
        return std::wstring();
    }
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), n, wide.data(), units);
    return wide;
}

// `length` UTF-16 units as UTF-8; an unpaired surrogate becomes U+FFFD.
inline std::string utf8_from_utf16(const wchar_t* text, std::size_t length) {
    if (length > INT_MAX / 3) {
        throw std::length_error("text too long for UTF-8");
    }
    const int n = static_cast<int>(length);
    if (n == 0) {
        return std::string();
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, n, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

}  // namespace tamber

#endif
