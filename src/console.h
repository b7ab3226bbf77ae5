#pragma once

// The program shell's own platform needs: the command line and the streams it prints on. The
// portable part is console.cpp; console_win32.cpp and console_posix.cpp are the platform halves.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tamber {

#ifdef _WIN32
using NativeChar = wchar_t;  // the command line as Windows keeps it: UTF-16
#else
using NativeChar = char;
#endif

// An argument as the program uses it: UTF-8 on Windows, the bytes as they are elsewhere.
std::string argument_text(const NativeChar* argument);

// `text` as a terminal may show it: each C0 control, DEL and C1 control, and each byte that is not
// part of valid UTF-8, becomes '?'. A terminal would act on them instead of showing them.
std::string terminal_safe(const std::string& text);

// Whether a pipe's name is that of an MSYS2 or Cygwin pty, such as
// "\msys-1888ae32e00d56aa-pty0-to-master": terminals like mintty hand a program these pipes.
bool is_pty_pipe_name(const std::string& name);

// Whether the usage text should be held on screen: a run without arguments whose standard input,
// output and error are all one console that no other process shares. Explorer, `start` and
// launchers make such a console for the program alone, and close it as the program ends.
bool holds_console_window(int arguments, std::size_t console_processes, bool streams_on_console);

// The clock that paces the status line: it never goes back, whatever is done to the system's
// time. The Windows build's C++ runtime has no monotonic std::chrono::steady_clock.
struct StatusClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<StatusClock>;
    static constexpr bool is_steady = true;
    static time_point now();  // platform halves
};

// `count` ticks of a counter that runs at `frequency` ticks a second, as a duration.
StatusClock::duration duration_of_ticks(std::int64_t count, std::int64_t frequency);

enum class Stream { out, err };

// The one writer of everything the program prints. Where each standard stream leads is decided
// once: a pipe or a file gets the bytes as they are, a terminal gets them made terminal-safe, and
// a Windows console gets them terminal-safe and as Unicode.
class Console {
public:
    Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Writes `text` and a line end, after erasing any status line.
    void line(Stream stream, const std::string& text);
    // Throws "could not write standard output" when anything written there failed to arrive.
    void flush_out();

    // Whether standard error is a terminal, where a status line may be kept current.
    bool has_status_line() const { return err != Sink::bytes; }
    // The columns a status line may take: at most 79, and less than the terminal is wide.
    std::size_t status_width() const;
    // Shows `text` (printable ASCII, at most status_width() long) in place of the status line.
    void status(const std::string& text);
    // Erases the status line, if one is shown.
    void clear_status();

    // Whether standard input, output and error are all a console.
    bool streams_on_console() const;
    // The processes attached to the program's console, 0 when it has none.
    static std::size_t console_processes();
    // Drops the input typed so far, then waits for a key press on the standard input console for
    // at most `limit`.
    static void wait_for_key(std::chrono::milliseconds limit);

private:
    enum class Sink { bytes, terminal, console };

    // Platform halves.
    static Sink sink_of(Stream stream);
    static bool input_is_console();
    // UTF-8 text onto a console as UTF-16; false when the console refused it.
    static bool write_console(Stream stream, const std::string& text);
    // The stream's width in columns, or 0 when it cannot be known.
    static std::size_t columns(Stream stream);

    // Raw text onto a terminal or console stream, no line end added.
    void put(Stream stream, const std::string& text);
    // Hands the text gathered for a standard output console to it.
    void write_console_out();

    Sink out;
    Sink err;
    std::string console_out;  // text for a standard output console, not yet written
    bool out_failed = false;
    std::size_t status_length = 0;  // columns of the status line shown, 0 for none
};

}  // namespace tamber
