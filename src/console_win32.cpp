// The console's platform half for Windows: the command line arrives as UTF-16, a console takes
// UTF-16 text, and MSYS2 and Cygwin terminals hand the program named pipes.

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "console.h"
#include "utf16.h"

namespace tamber {
namespace {

// Consoles before Windows 8 refuse single writes of much more than 64 KiB.
constexpr std::size_t console_write_units = 8192;

HANDLE handle_of(Stream stream) {
    return GetStdHandle(stream == Stream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// The name of the pipe behind `handle` as UTF-8, or nothing when it is no pipe.
std::string pipe_name(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_PIPE) {
        return std::string();
    }
    union {
        FILE_NAME_INFO info;
        char bytes[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
    } buffer{};
    if (GetFileInformationByHandleEx(handle, FileNameInfo, &buffer, sizeof buffer) == 0) {
        return std::string();
    }
    // The length is in bytes, and the name is not terminated.
    return utf8_from_utf16(buffer.info.FileName, buffer.info.FileNameLength / sizeof(WCHAR));
}

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

std::string argument_text(const NativeChar* argument) {
    return utf8_from_utf16(argument, std::wcslen(argument));
}

Console::Sink Console::sink_of(Stream stream) {
    const HANDLE handle = handle_of(stream);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode) != 0) {
        return Sink::console;
    }
    return is_pty_pipe_name(pipe_name(handle)) ? Sink::terminal : Sink::bytes;
}

bool Console::write_console(Stream stream, const std::string& text) {
    const std::wstring wide = utf16_from_utf8(text);
    const HANDLE handle = handle_of(stream);
    std::size_t done = 0;
    while (done < wide.size()) {
        std::size_t n = std::min(wide.size() - done, console_write_units);
        if (n > 1 && done + n < wide.size() && is_high_surrogate(wide[done + n - 1])) {
            --n;  // a pair stays within one write
        }
        DWORD written = 0;
        if (WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(n), &written, nullptr) ==
                0 ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

std::size_t Console::columns(Stream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(handle_of(stream), &info) == 0 || info.dwSize.X <= 0) {
        return 0;
    }
    return static_cast<std::size_t>(info.dwSize.X);
}

}  // namespace tamber
