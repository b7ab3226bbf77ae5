// The console's platform half for POSIX systems: arguments are bytes, a terminal is a tty.

#include <sys/ioctl.h>
#include <unistd.h>

#include "console.h"

namespace tamber {
namespace {

int descriptor(Stream stream) { return stream == Stream::out ? STDOUT_FILENO : STDERR_FILENO; }

}  // namespace

StatusClock::time_point StatusClock::now() {
    return time_point(
        std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

std::string argument_text(const NativeChar* argument) { return argument; }

Console::Sink Console::sink_of(Stream stream) {
    return ::isatty(descriptor(stream)) != 0 ? Sink::terminal : Sink::bytes;
}

bool Console::input_is_console() {
    return false;  // a terminal is no console
}

std::size_t Console::console_processes() { return 0; }

void Console::wait_for_key(std::chrono::milliseconds /*limit*/) {}

bool Console::write_console(Stream /*stream*/, const std::string& /*text*/) {
    return false;  // there are no consoles here, only terminals
}

std::size_t Console::columns(Stream stream) {
    winsize size{};
    if (::ioctl(descriptor(stream), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

}  // namespace tamber
