#include "console.h"

#include <algorithm>
#include <cstdint>
#include <iostream>

#include "error.h"

namespace tamber {
namespace {

constexpr std::size_t widest_status = 79;
constexpr std::size_t console_batch = 16384;

bool is_continuation(unsigned char c) { return (c & 0xC0U) == 0x80U; }

// The length of the valid UTF-8 sequence at `pos` (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF), or 0 when the byte there does not begin one.
std::size_t utf8_sequence_length(const std::string& s, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range the second byte must fall in
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // below: overlong
        high = lead == 0xED ? 0x9F : 0xBF;  // above: surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;   // below: overlong
        high = lead == 0xF4 ? 0x8F : 0xBF;  // above: past U+10FFFF
    } else {
        return 0;  // a continuation byte, C0, C1 or F5 to FF
    }
    if (length > s.size() - pos) {
        return 0;
    }
    const auto second = static_cast<unsigned char>(s[pos + 1]);
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!is_continuation(static_cast<unsigned char>(s[pos + i]))) {
            return 0;
        }
    }
    return length;
}

bool is_control(const std::string& s, std::size_t pos, std::size_t length) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    if (length == 1) {
        return lead < 0x20 || lead == 0x7F;
    }
    // U+0080 to U+009F are C2 80 to C2 9F.
    return length == 2 && lead == 0xC2 && static_cast<unsigned char>(s[pos + 1]) <= 0x9F;
}

bool consume(const std::string& text, std::size_t& pos, const std::string& word) {
    if (text.compare(pos, word.size(), word) != 0) {
        return false;
    }
    pos += word.size();
    return true;
}

// Consumes one or more characters that `accept` takes.
template <typename Accept>
bool consume_run(const std::string& text, std::size_t& pos, Accept accept) {
    const std::size_t start = pos;
    while (pos < text.size() && accept(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    return pos > start;
}

}  // namespace

std::string terminal_safe(const std::string& text) {
    std::string safe;
    safe.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t length = utf8_sequence_length(text, pos);
        if (length == 0 || is_control(text, pos, length)) {
            safe.push_back('?');
            pos += length == 0 ? 1 : length;
        } else {
            safe.append(text, pos, length);
            pos += length;
        }
    }
    return safe;
}

bool is_pty_pipe_name(const std::string& name) {
    const auto hex = [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    const auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    std::size_t pos = 0;
    if (!consume(name, pos, "\\msys-") && !consume(name, pos, "\\cygwin-")) {
        return false;
    }
    if (!consume_run(name, pos, hex) || !consume(name, pos, "-pty") ||
        !consume_run(name, pos, digit)) {
        return false;
    }
    return (consume(name, pos, "-from-master") || consume(name, pos, "-to-master")) &&
           pos == name.size();
}

StatusClock::duration duration_of_ticks(std::int64_t count, std::int64_t frequency) {
    // Whole seconds apart from the rest, so that no product passes 64 bits for any counter
    // slower than 9 GHz.
    constexpr std::int64_t nanoseconds = 1000000000;
    return std::chrono::seconds(count / frequency) +
           StatusClock::duration(count % frequency * nanoseconds / frequency);
}

bool holds_console_window(int arguments, std::size_t console_processes, bool streams_on_console) {
    return arguments == 0 && console_processes == 1 && streams_on_console;
}

Console::Console() : out(sink_of(Stream::out)), err(sink_of(Stream::err)) {}

void Console::line(Stream stream, const std::string& text) {
    clear_status();
    const Sink sink = stream == Stream::out ? out : err;
    if (sink == Sink::bytes) {
        (stream == Stream::out ? std::cout : std::cerr) << text << '\n';
    } else {
        // A console is written past the C runtime's text mode, so its line end carries the
        // carriage return that text mode would add.
        put(stream, terminal_safe(text) + (sink == Sink::console ? "\r\n" : "\n"));
    }
}

void Console::flush_out() {
    write_console_out();
    std::cout.flush();
    if (!std::cout || out_failed) {
        throw Error("could not write standard output");
    }
}

std::size_t Console::status_width() const {
    const std::size_t width = columns(Stream::err);
    // The last column is left free: a terminal that wraps there would break the rewrite.
    return width == 0 ? widest_status : std::min(widest_status, width - 1);
}

void Console::status(const std::string& text) {
    const std::size_t width = status_width();
    const std::string shown = text.substr(0, width);
    // Blanks cover what a longer line before left standing.
    const std::size_t cover = std::min(status_length, width);
    put(Stream::err,
        "\r" + shown + std::string(cover > shown.size() ? cover - shown.size() : 0, ' '));
    status_length = std::max(shown.size(), cover);
}

void Console::clear_status() {
    if (status_length == 0) {
        return;
    }
    put(Stream::err, "\r" + std::string(status_length, ' ') + "\r");
    status_length = 0;
}

bool Console::streams_on_console() const {
    return out == Sink::console && err == Sink::console && input_is_console();
}

void Console::put(Stream stream, const std::string& text) {
    if ((stream == Stream::out ? out : err) != Sink::console) {
        (stream == Stream::out ? std::cout : std::cerr) << text;
        return;
    }
    if (stream == Stream::out) {
        // Every console write is a call into the system: a listing goes in batches.
        console_out += text;
        if (console_out.size() >= console_batch) {
            write_console_out();
        }
        return;
    }
    write_console_out();  // what standard output got before stays above
    write_console(Stream::err, text);
}

void Console::write_console_out() {
    if (!console_out.empty() && !write_console(Stream::out, console_out)) {
        out_failed = true;
    }
    console_out.clear();
}

}  // namespace tamber
