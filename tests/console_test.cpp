#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "console.h"

namespace tamber {
namespace {

TEST(Console, TerminalSafeKeepsPrintableUtf8AndMasksTheRest) {
    const struct {
        const char* what;
        std::string in;
        std::string out;
    } cases[] = {
        // clang-format off
        {"ASCII", "README.TXT with space", "README.TXT with space"},
        {"2-byte", "caf\xC3\xA9.txt", "caf\xC3\xA9.txt"},
        {"3-byte", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {"4-byte", "\xF0\x9F\x98\x80!", "\xF0\x9F\x98\x80!"},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"U+00A0 follows the C1 range", "\xC2\xA0", "\xC2\xA0"},
        {"ESC sequences", "a\x1B[2J\x1B[31mRED", "a?[2J?[31mRED"},
        {"tab, CR, LF", "a\tb\rc\nd", "a?b?c?d"},
        {"NUL", std::string("a\0b", 3), "a?b"},
        {"DEL", "a\x7F", "a?"},
        {"C1 control in UTF-8", "a\xC2\x9B" "2J", "a?2J"},
        {"C1 control U+0080", "\xC2\x80", "?"},
        {"lone 0x9B", "a\x9B" "2J", "a?2J"},
        {"cut short at the end", "ab\xE6\x97", "ab??"},
        {"cut short before ASCII", "\xF0\x9F\x98" "x", "???x"},
        {"overlong C0 AF", "\xC0\xAF", "??"},
        {"overlong E0 80 AF", "\xE0\x80\xAF", "???"},
        {"surrogate ED A0 80", "\xED\xA0\x80", "???"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"lead byte F5", "\xF5\x80\x80\x80", "????"},
        {"lead byte FF", "\xFF", "?"},
        {"empty", "", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(terminal_safe(c.in), c.out);
    }
}

TEST(Console, RecognisesTheMsysAndCygwinPtyPipes) {
    const struct {
        const char* name;
        bool pty;
    } cases[] = {
        {"\\msys-1888ae32e00d56aa-pty0-to-master", true},
        {"\\msys-1888ae32e00d56aa-pty12-from-master", true},
        {"\\cygwin-e022582115c10879-pty3-to-master", true},
        {"\\cygwin-E022582115C10879-pty3-from-master", true},
        {"msys-1888ae32e00d56aa-pty0-to-master", false},
        {"\\msys-1888ae32e00d56aa-pty-to-master", false},
        {"\\msys--pty0-to-master", false},
        {"\\msys-1888ae32e00d56aa-pty0-to-master2", false},
        {"\\msys-1888ae32e00d56aa-pty0-to-slave", false},
        {"\\cygwin-e022582115c10879-pipe-0x1234", false},
        {"\\mintty-1888ae32e00d56aa-pty0-to-master", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_pty_pipe_name(c.name), c.pty);
    }
}

TEST(StatusClock, TurnsTicksIntoTimeWithoutOverflow) {
    const struct {
        std::int64_t count;
        std::int64_t frequency;
        std::int64_t nanoseconds;
    } cases[] = {
        {0, 10000000, 0},
        {3, 10000000, 300},
        {10000000, 10000000, 1000000000},
        {1, 3, 333333333},
        {4, 3, 1333333333},
        // 100 days of a 3 GHz counter: count * 10^9 alone would pass 2^63.
        {25920000000000000, 3000000000, 8640000000000000},
        {25920000000000001, 3000000000, 8640000000000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " at " + std::to_string(c.frequency));
        EXPECT_EQ(duration_of_ticks(c.count, c.frequency).count(), c.nanoseconds);
    }
}

TEST(Console, HoldsTheWindowOnlyForALoneConsoleWithoutArguments) {
    const struct {
        const char* what;
        int arguments;
        std::size_t processes;
        bool streams_on_console;
        bool holds;
    } cases[] = {
        {"double-clicked in Explorer", 0, 1, true, true},
        {"from cmd or PowerShell", 0, 2, true, false},
        {"from a batch file in cmd", 0, 3, true, false},
        {"without a console", 0, 0, false, false},
        {"a stream redirected", 0, 1, false, false},
        {"with one argument", 1, 1, true, false},
        {"with four arguments", 4, 1, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(holds_console_window(c.arguments, c.processes, c.streams_on_console), c.holds);
    }
}

}  // namespace
}  // namespace tamber
