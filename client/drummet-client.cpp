// SPDX-License-Identifier: GPL-2.0-only
// drummet-client: the other end of drummet's pipes. It takes one message from
// "fifo1" and answers on "fifo2" with statistics of that message, one per line.
//
// It may be started before or after drummet: whichever comes first creates
// "fifo1", and both create "fifo2" if it is missing, so neither waits on a node
// that does not exist yet.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "fifo_guard.hpp"
#include "statistics.hpp"

namespace {

constexpr std::size_t reply_capacity = 1000; // what drummet takes in its one read
constexpr std::size_t read_size = 4096;
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr std::string_view usage_text =
    "Usage: drummet-client [-C DIR]\n"
    "       drummet-client -h | --help | --version\n"
    "\n"
    "Connects to drummet through the named pipes \"fifo1\" and \"fifo2\" in the\n"
    "current directory (or DIR with -C), creating them if they are missing: opens\n"
    "fifo1 for reading, then fifo2 for writing. Takes the message from what the\n"
    "reads of fifo1 return, without waiting for end of file once bytes have come;\n"
    "end of file before any byte means an empty message. Answers with one write\n"
    "on fifo2 of these statistics, one \"name: count\" per line:\n"
    "\n"
    "  bytes        bytes received\n"
    "  characters   characters decoded from UTF-8; each ill-formed sequence (the\n"
    "               longest start of a valid sequence, or else one byte) is one\n"
    "  words        runs of characters that are not white space\n"
    "  lines        newlines (LF), and a last line without one\n"
    "  letters      letters (Unicode category L), in any script\n"
    "  digits       decimal digits (category Nd), in any script\n"
    "  whitespace   characters with the Unicode White_Space property, such as\n"
    "               spaces, tabs, newlines and no-break spaces\n"
    "  punctuation  punctuation and symbols (categories P and S), emoji included\n"
    "\n"
    "Combining marks, format characters (such as U+200B and U+FEFF), controls\n"
    "that are not white space and ill-formed sequences are characters in none of\n"
    "the classes. The counts do not depend on how the message was cut into reads.\n"
    "\n"
    "Like drummet, it refuses (one line on standard error says why) a folder\n"
    "anyone may write to that is not sticky, where anyone may swap the pipes; a\n"
    "node at fifo1 or fifo2 that is not a named pipe, such as a pipe without a\n"
    "name reached through /proc/PID/fd; a fifo2 that is fifo1 under another name;\n"
    "and, in a sticky folder others or a group may write to (such as /tmp), a pipe\n"
    "owned by neither you nor the folder's owner, or shown as owned by the\n"
    "overflow user of a user namespace. Use a folder of your own (mktemp -d).\n"
    "\n"
    "Exit status: 0 when the reply was sent, 1 on failure (said on standard error),\n"
    "2 for a bad argument.\n";

using fifo_guard::report;
using fifo_guard::report_errno;

// Reads until the sender has nothing more ready: the first read waits, later
// ones only take what is already in the pipe. End of file is never waited for.
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
            report_errno("fifo1");
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

int format_reply(const Counts &c, std::span<char, reply_capacity> out) {
    return std::snprintf(out.data(), out.size(),
                         "bytes: %lu\ncharacters: %lu\nwords: %lu\nlines: %lu\n"
                         "letters: %lu\ndigits: %lu\nwhitespace: %lu\npunctuation: %lu\n",
                         c.bytes, c.characters, c.words, c.lines, c.letters, c.digits, c.whitespace,
                         c.punctuation);
}

int run() {
    const fifo_guard::Opened message = fifo_guard::open_fifo("fifo1", O_RDONLY);
    if (!message.pipe.valid())
        return exit_failed;
    const fifo_guard::Opened reply =
        fifo_guard::open_fifo("fifo2", O_WRONLY, {.other = &message.identity});
    if (!reply.pipe.valid())
        return exit_failed;

    Statistics stats;
    if (!read_message(message.pipe.get(), stats))
        return exit_failed;

    std::array<char, reply_capacity> text{};
    const int length = format_reply(stats.counts(), text);
    const ssize_t written =
        ::write(reply.pipe.get(), text.data(), static_cast<std::size_t>(length));
    if (written != length) {
        report("fifo2", written < 0 && errno == EPIPE ? "drummet closed the pipe before the reply"
                        : written < 0                 ? std::strerror(errno)
                                                      : "the reply was cut short");
        return exit_failed;
    }
    return exit_ok;
}

} // namespace

const char *const fifo_guard::program = "drummet-client";

int main(int argc, char **argv) {
    const char *directory = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            if (i + 1 < argc) {
                fifo_guard::report_usage("unexpected argument", argv[i + 1]);
                return exit_usage;
            }
            if (arg == "--version")
                std::puts("drummet-client " DRUMMET_VERSION);
            else
                std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
            if (std::fflush(stdout) != 0) {
                report_errno("stdout");
                return exit_failed;
            }
            return exit_ok;
        }
        if (arg == "-C" && i + 1 == argc) {
            fifo_guard::report_usage("a folder must follow", argv[i]);
            return exit_usage;
        }
        if (arg != "-C") {
            fifo_guard::report_usage("unexpected argument", argv[i]);
            return exit_usage;
        }
        directory = argv[++i];
    }

    if (!fifo_guard::park_standard_descriptors())
        return exit_failed;
    if (directory != nullptr && ::chdir(directory) != 0) {
        report_errno(directory);
        return exit_failed;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return run();
}
