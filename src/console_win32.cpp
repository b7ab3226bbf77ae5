// The console's platform half for Windows: the command line arrives as UTF-16, a console takes
// UTF-16 text, and MSYS2 and Cygwin terminals hand the program named pipes. Everything called
// here exists on Windows XP SP3; what came later is looked up at run time.

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

using FileInformationByHandleEx = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// GetFileInformationByHandleEx came with Vista: imported, it would keep the program from
// starting on XP.
FileInformationByHandleEx file_information_by_handle_ex() {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return nullptr;
    }
    // Through void (*)(), which converts to any function type without a warning.
    return reinterpret_cast<FileInformationByHandleEx>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetFileInformationByHandleEx")));
}

// The name of the pipe behind `handle` as UTF-8, or nothing when it is no pipe or its name
// cannot be asked for (before Vista).
std::string pipe_name(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_PIPE) {
        return std::string();
    }
    const FileInformationByHandleEx file_information = file_information_by_handle_ex();
    if (file_information == nullptr) {
        return std::string();
    }
    union {
        FILE_NAME_INFO info;
        char bytes[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
    } buffer{};
    if (file_information(handle, FileNameInfo, &buffer, sizeof buffer) == 0) {
        return std::string();
    }
    // The length is in bytes, and the name is not terminated.
    return utf8_from_utf16(buffer.info.FileName, buffer.info.FileNameLength / sizeof(WCHAR));
}

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

StatusClock::time_point StatusClock::now() {
    // Both never fail from Windows XP on.
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return time_point(duration_of_ticks(count.QuadPart, frequency.QuadPart));
}

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

bool Console::input_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::size_t Console::console_processes() {
    DWORD ids[2];
    // The count of all of them, also when more than fit; 0 without a console.
    return GetConsoleProcessList(ids, 2);
}

void Console::wait_for_key(std::chrono::milliseconds limit) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (FlushConsoleInputBuffer(input) == 0) {
        return;
    }
    const auto total = static_cast<DWORD>(limit.count());
    // GetTickCount wraps after 49 days, which an unsigned difference takes in its stride.
    const DWORD start = GetTickCount();
    for (DWORD waited = 0; waited < total; waited = GetTickCount() - start) {
        if (WaitForSingleObject(input, total - waited) != WAIT_OBJECT_0) {
            return;
        }
        INPUT_RECORD records[16];
        DWORD count = 0;
        if (ReadConsoleInputW(input, records, 16, &count) == 0) {
            return;
        }
        // Focus, mouse and window size events arrive here too; only a key pressed counts.
        for (DWORD i = 0; i < count; ++i) {
            if (records[i].EventType == KEY_EVENT && records[i].Event.KeyEvent.bKeyDown != 0) {
                return;
            }
        }
    }
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
