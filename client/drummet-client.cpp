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

#include "console.hpp"
#include "shared.hpp"
#include "statistics.hpp"
#include "trust.hpp"

namespace {

using common::Descriptor;
using common::Judged;
using common::message_pipe;
using common::reply_pipe;
using common::report;
using common::report_errno;

constexpr std::size_t read_size = 4096;
constexpr int exit_failed = common::client_failed;

constexpr std::string_view usage_text =
    "Usage: drummet-client [-C DIR]\n"
    "       drummet-client -h | --help | --version\n"
    "\n"
    "The other end of drummet's named pipes fifo1 and fifo2 in the current folder:\n"
    "takes one message from fifo1 and answers on fifo2 with its statistics, one\n"
    "\"name: count\" a line: bytes, characters, words, lines, letters, digits,\n"
    "whitespace and punctuation, counted as Unicode classifies characters.\n"
    "\n"
    "  -C DIR       work in the folder DIR instead of the current one\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Exit status: 0 reply sent, 1 failure, 2 bad argument.\n"
    "How each count is made, and what the client refuses: man drummet-client\n";

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
            report_errno(message_pipe);
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

int format_reply(const Counts &c, std::span<char, common::reply_capacity> out) {
    return std::snprintf(out.data(), out.size(),
                         "bytes: %lu\ncharacters: %lu\nwords: %lu\nlines: %lu\n"
                         "letters: %lu\ndigits: %lu\nwhitespace: %lu\npunctuation: %lu\n",
                         c.bytes, c.characters, c.words, c.lines, c.letters, c.digits, c.whitespace,
                         c.punctuation);
}

// Started first, or in the wrong folder, the client would wait in silence.
void say_what_it_waits_for() {
    common::say_waiting("drummet", "it", "drummet");
}

// Connects as drummet expects: fifo1 for reading, then fifo2 for writing. A
// fifo2 that is there already is judged before fifo1 is opened, so that
// drummet does not go on for nothing. A pipe whose name leads elsewhere while
// the client waits on it is judged anew.
bool connect(const common::Folder &folder, Descriptor &message_end, Descriptor &reply_end) {
    using common::Connected;
    using common::Verdict;
    const common::Ticks ticks;
    Judged message, reply;
    if (common::judge(folder, reply_pipe, reply, false, false) == Verdict::refused)
        return false;
    common::Waiting waiting = ::isatty(STDERR_FILENO) == 1 ? say_what_it_waits_for : nullptr;
    for (Connected connected = Connected::name_moved; connected == Connected::name_moved;) {
        if (common::judge(folder, message_pipe, message, true, false) != Verdict::trusted ||
            (reply.valid() && !common::distinct(message, reply)))
            return false;
        connected =
            common::open_judged(folder, message_pipe, message, O_RDONLY, message_end, &waiting);
        if (connected == Connected::failed)
            return false;
    }
    for (bool judged = reply.valid();; judged = false) {
        if (!judged && (common::judge(folder, reply_pipe, reply, true, false) != Verdict::trusted ||
                        !common::distinct(message, reply)))
            return false;
        switch (common::open_judged(folder, reply_pipe, reply, O_WRONLY, reply_end, nullptr,
                                    message_end.get())) {
        case Connected::yes:
            return true;
        case Connected::failed:
            return false;
        case Connected::partner_left:
            report(message_pipe, "drummet left before it opened fifo2");
            return false;
        case Connected::name_moved:
            break; // its name leads elsewhere now: judged anew
        }
    }
}

int run() {
    common::Folder folder;
    Descriptor message_end, reply_end;
    if (!common::open_working_folder(folder, false) || !connect(folder, message_end, reply_end))
        return exit_failed;

    Statistics stats;
    if (!read_message(message_end.get(), stats))
        return exit_failed;

    std::array<char, common::reply_capacity> text{};
    const int length = format_reply(stats.counts(), text);
    const ssize_t written = ::write(reply_end.get(), text.data(), static_cast<std::size_t>(length));
    if (written == length)
        return common::exit_ok;
    // End of file before any byte is an empty message, from drummet, or from a
    // drummet that left because another client took its message.
    if (written < 0 && errno == EPIPE && stats.counts().bytes == 0)
        report(message_pipe, "no message came, and drummet has gone: another client may have "
                             "taken it");
    else
        report(reply_pipe, written < 0 && errno == EPIPE
                               ? "drummet closed the pipe before the reply"
                           : written < 0 ? std::strerror(errno)
                                         : "the reply was cut short");
    return exit_failed;
}

} // namespace

const common::Program common::program{"drummet-client", common::client_failed};

int main(int argc, char **argv) {
    common::CommandLine line;
    const int status = common::read_command_line(argc, argv, usage_text, line);
    if (status >= 0)
        return status;
    std::array<int, 3> closed{};
    std::size_t closed_count = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            closed[closed_count++] = fd;
    if (!common::park_closed_descriptors(std::span{closed}.first(closed_count)) ||
        !common::enter_folder(line))
        return exit_failed;
    std::signal(SIGPIPE, SIG_IGN);
    return run();
}
