// SPDX-License-Identifier: GPL-2.0-only
// drummet-client: the other end of drummet's pipes. It takes one message from
// "fifo1" and answers on "fifo2" with statistics of that message, one per line.
//
// It may be started before or after drummet: whichever comes first creates
// "fifo1", and both create "fifo2" if it is missing, so neither waits on a node
// that does not exist yet.

#include <array>
#include <cerrno>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "command_line.hpp"
#include "connect.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "report.hpp"
#include "standard_streams.hpp"

namespace {

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
        !common::enter_folder(line.folder))
        return common::client_failed;
    common::hold_back_write_signals();
    common::Channel channel;
    const common::Console console =
        ::isatty(STDERR_FILENO) == 1 ? common::Console::terminal : common::Console::elsewhere;
    Statistics stats;
    if (!common::open_working_folder(channel.folder, common::Role::client) ||
        !common::connect(channel, console) || !read_message(channel.message.end.get(), stats) ||
        !send_reply(channel.reply.end.get(), stats.counts()))
        return common::client_failed;
    return common::exit_ok;
}
