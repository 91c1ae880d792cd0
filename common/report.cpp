// SPDX-License-Identifier: GPL-2.0-only
#include "report.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "quote.hpp"

namespace common {

namespace {

// Kept apart from the stack and written only when something is said: a run
// that says nothing touches none of it.
std::array<char, shown_size(PATH_MAX)> shown_name;
std::array<char, 2 * shown_size(PATH_MAX) + 512> line;

// One write a line, so that lines of two programs on one terminal do not mix.
// A signal that comes meanwhile (a tick) must not cut it short, and a closed
// or full standard error has nobody left to tell.
void write_line(std::size_t length) {
    const int saved_errno = errno;
    for (std::size_t done = 0; done < length;) {
        const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, length - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += static_cast<std::size_t>(wrote);
    }
    errno = saved_errno;
}

// Appends what `format` makes of `arguments` and the newline at `used`, cut
// where the line is full.
void finish_line(std::size_t used, const char *format, std::va_list arguments) {
    const int room = static_cast<int>(line.size() - used - 1);
    const int wanted =
        std::vsnprintf(line.data() + used, static_cast<std::size_t>(room) + 1, format, arguments);
    used += static_cast<std::size_t>(wanted < 0 ? 0 : wanted < room ? wanted : room);
    line[used++] = '\n';
    write_line(used);
}

} // namespace

void report(const char *subject, const char *format, ...) {
    const int written = std::snprintf(line.data(), line.size(), "%s: ", program.name);
    auto used = static_cast<std::size_t>(written);
    const std::span<char> room{line.data() + used, shown_size(PATH_MAX)};
    used += std::strlen(quote_name(room, subject));
    line[used++] = ':';
    line[used++] = ' ';
    std::va_list arguments;
    va_start(arguments, format);
    finish_line(used, format, arguments);
    va_end(arguments);
}

void report_errno(const char *subject) {
    report(subject, "%s", std::strerror(errno));
}

void say(const char *format, ...) {
    const int written = std::snprintf(line.data(), line.size(), "%s: ", program.name);
    std::va_list arguments;
    va_start(arguments, format);
    finish_line(static_cast<std::size_t>(written), format, arguments);
    va_end(arguments);
}

const char *shown(const char *name) {
    return quote_name(shown_name, name);
}

} // namespace common
