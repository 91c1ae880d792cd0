// SPDX-License-Identifier: GPL-2.0-only
#include "reply.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "report.hpp"

namespace {
constexpr std::size_t read_size = 4096;
}

bool read_message(int fd, Statistics &stats) {
    // Room for a read and for the start of a sequence the read before left.
    std::array<char, Statistics::longest_unfinished + read_size> buffer{};
    std::size_t left = 0;
    for (bool first = true;; first = false) {
        if (!first) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0)
                break;
        }
        const ssize_t got = ::read(fd, buffer.data() + left, read_size);
        if (got < 0) {
            common::report_errno(common::message_pipe);
            return false;
        }
        if (got == 0)
            break;
        const std::span<const char> ready{buffer.data(), left + static_cast<std::size_t>(got)};
        const std::size_t used = stats.take(ready, false);
        left = ready.size() - used;
        std::memmove(buffer.data(), buffer.data() + used, left);
    }
    stats.take(std::span<const char>{buffer.data(), left}, true);
    return true;
}

std::size_t format_reply(const Counts &c, std::span<char, common::reply_capacity> out) {
    const int length = std::snprintf(
        out.data(), out.size(),
        "bytes: %lu\ncharacters: %lu\nwords: %lu\nlines: %lu\n"
        "letters: %lu\ndigits: %lu\nwhitespace: %lu\npunctuation: %lu\n",
        c.bytes, c.characters, c.words, c.lines, c.letters, c.digits, c.whitespace, c.punctuation);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool send_reply(int fd, const Counts &counts) {
    std::array<char, common::reply_capacity> text{};
    const std::size_t length = format_reply(counts, text);
    const ssize_t written = ::write(fd, text.data(), length);
    if (written == static_cast<ssize_t>(length))
        return true;
    // End of file before any byte is an empty message from drummet, which then
    // waits for the reply; or drummet left without one (it was interrupted, or
    // failed), perhaps because another client took its message.
    if (written < 0 && errno == EPIPE && counts.bytes == 0)
        common::report(common::message_pipe,
                       "drummet went away without sending a message; perhaps another client "
                       "took it");
    else if (written < 0 && errno == EPIPE)
        common::report(common::reply_pipe, "drummet closed the pipe before the reply");
    else if (written < 0)
        common::report_errno(common::reply_pipe);
    else
        common::report(common::reply_pipe, "the reply was cut short");
    return false;
}
