// SPDX-License-Identifier: GPL-2.0-only
// drummet: hands one message typed on standard input to a client over the named
// pipe "fifo1" and prints the statistics the client sends back on "fifo2".
//
// The program is meant to stay tiny and predictable: one pass, fixed buffers,
// and nothing from the C++ runtime, so it links against libc alone. On a run's
// way it makes no call it can do without, and allocates nothing.

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include <unistd.h>

#include "command_line.hpp"
#include "connect.hpp"
#include "input.hpp"
#include "protocol.hpp"
#include "report.hpp"
#include "standard_streams.hpp"
#include "terminal.hpp"

namespace {

using common::message_pipe;
using common::report;
using common::report_errno;

constexpr int exit_failed = common::drummet_failed;

constexpr std::string_view usage_text =
    "Usage: drummet [-C DIR]\n"
    "       drummet -h | --help | --version\n"
    "\n"
    "Makes the named pipes fifo1 and fifo2 in the current folder, waits until a\n"
    "client has opened both, reads one message from standard input up to a\n"
    "backtick (`), sends it to the client on fifo1 and prints the client's reply\n"
    "from fifo2.\n"
    "\n"
    "  -C DIR       work in the folder DIR instead of the current one\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Exit status: 0 reply printed (or none sent), 2 bad argument, 255 failure.\n"
    "The message is as private as the folder: use one only you can enter\n"
    "(mktemp -d). What drummet refuses and why, and the whole story: man drummet\n";

// Standard output and input are buffered by stdio in buffers of their own
// (static, not on the stack: stdio keeps them until the process ends): stdio
// would otherwise allocate them, at a cost of system calls in every run.
std::array<char, 4096> output_buffer;
std::array<char, 4096> input_buffer;

// The message goes out in one write; it is at most 999 bytes, well below the
// size the kernel writes to a pipe atomically. An empty message closes the pipe
// instead, since writing nothing would leave the client waiting for ever.
bool send_message(common::Descriptor &pipe, std::string_view message) {
    if (message.empty()) {
        pipe.close();
        return true;
    }
    const ssize_t written = ::write(pipe.get(), message.data(), message.size());
    if (written < 0 && errno == EPIPE) {
        report(message_pipe, "the client closed the pipe before the message was sent");
        return false;
    }
    if (written < 0) {
        report_errno(message_pipe);
        return false;
    }
    if (static_cast<std::size_t>(written) != message.size()) {
        report(message_pipe, "only %zd of %zu message bytes were sent", written, message.size());
        return false;
    }
    return true;
}

// From the prompts on: the message, the exchange and the reply.
int exchange(common::Channel &channel, Input &input, Terminal &terminal, common::Console console) {
    std::fputs("\nReady to broadcast to client\nEnter message : \n", stdout);
    if (terminal.active() && console == common::Console::terminal)
        terminal.say_how_a_message_ends();
    std::array<char, common::message_capacity> message; // written before it is read
    Gathered got{message};
    const bool gathered = gather(input, stdin, got);
    message[got.stored] = '\0';
    terminal.hold(); // what follows the backtick is no part of it
    terminal.discard();
    if (!gathered)
        return exit_failed;
    if (got.dropped > 0)
        report(message_pipe, "message longer than %zu bytes, %zu byte%s dropped",
               message.size() - 1, got.dropped, got.dropped == 1 ? "" : "s");

    if (!send_message(channel.message.end, std::string_view{message.data(), got.stored}))
        return exit_failed;

    const int reply_end = channel.reply.end.get();
    terminal.await(reply_end);
    std::array<char, common::reply_capacity + 1> reply;
    const ssize_t received = ::read(reply_end, reply.data(), common::reply_capacity);
    if (received < 0) {
        report_errno(common::reply_pipe);
        return exit_failed;
    }
    if (received > 0) {
        reply[static_cast<std::size_t>(received)] = '\0';
        std::fputs("\nStats recieved from client: \n", stdout);
        std::fputs(reply.data(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        report_errno("stdout");
        return exit_failed;
    }
    return got.dropped > 0 ? exit_failed : common::exit_ok;
}

} // namespace

const common::Program common::program{"drummet", common::drummet_failed};

int main(int argc, char **argv) {
    common::CommandLine line;
    if (argc > 1) {
        const int status = common::read_command_line(argc, argv, usage_text, line);
        if (status >= 0)
            return status;
    }
    if (!can_read(STDIN_FILENO))
        return exit_failed;
    // Whether standard output and error are terminals also tells whether they
    // are closed: a closed one must hold its number before any pipe is opened.
    std::array<int, 2> closed{};
    std::size_t closed_count = 0;
    std::array<bool, 2> terminal_at{};
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        terminal_at[fd - 1] = ::isatty(fd) == 1;
        if (!terminal_at[fd - 1] && errno == EBADF)
            closed[closed_count++] = fd;
    }
    if (!common::park_closed_descriptors(std::span{closed}.first(closed_count)))
        return exit_failed;
    const common::Console console =
        terminal_at[1] ? common::Console::terminal : common::Console::elsewhere;
    // Line buffered on a terminal, so that the prompts show at once, as stdio
    // would choose.
    std::setvbuf(stdout, output_buffer.data(), terminal_at[0] ? _IOLBF : _IOFBF,
                 output_buffer.size());
    std::setvbuf(stdin, input_buffer.data(), _IOFBF, input_buffer.size());
    common::hold_back_write_signals();

    common::Channel channel;
    Input input;
    if (!common::enter_folder(line.folder) ||
        !common::open_working_folder(channel.folder, common::Role::broadcaster) ||
        !prepare_input(STDIN_FILENO, input))
        return exit_failed;

    Terminal terminal{STDIN_FILENO,
                      input.source == Source::terminal || input.source == Source::pausing_terminal,
                      console};
    const int status = common::connect(channel, console)
                           ? exchange(channel, input, terminal, console)
                           : exit_failed;
    // However the run ends once it has waited for a client, nothing typed for
    // it is left for the shell.
    if (terminal.active())
        terminal.until_quiet();
    terminal.release();
    // The pipes and the rest close as the process ends: closing them here
    // would cost calls for nothing.
    std::exit(status);
}
