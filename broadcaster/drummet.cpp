// SPDX-License-Identifier: GPL-2.0-only
// drummet: hands one message typed on standard input to a client over the named
// pipe "fifo1" and prints the statistics the client sends back on "fifo2".
//
// The program is meant to stay tiny and predictable: one pass, fixed buffers on
// the stack, and nothing from the C++ runtime, so it links against libc alone.

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <span>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "fifo_guard.hpp"

namespace {

using fifo_guard::Descriptor;

constexpr const char *message_pipe = "fifo1";
constexpr const char *reply_pipe = "fifo2";

// A message is at most 999 bytes so that it and its NUL fit in 1000.
constexpr std::size_t message_capacity = 1000;
constexpr std::size_t reply_capacity = 1000;
constexpr char message_terminator = '`';

constexpr int exit_ok = 0;
constexpr int exit_usage = 2;
constexpr int exit_failed = 255;

constexpr std::string_view usage_text =
    "Usage: drummet [-h | --help | --version]\n"
    "\n"
    "Creates the named pipes \"fifo1\" and \"fifo2\" in the current directory and\n"
    "waits until a client has opened fifo1 for reading and then fifo2 for writing.\n"
    "Then reads one message from standard input up to a backtick (`) or the end of\n"
    "input, sends it to the client on fifo1 in one write, and prints the client's\n"
    "reply, read once from fifo2 (at most 1000 bytes).\n"
    "\n"
    "A message holds at most 999 bytes; longer input is cut and the cut reported.\n"
    "A NUL ends the message. An empty message closes fifo1 so that the client\n"
    "reads end of file. On a terminal, what follows the backtick is discarded, so\n"
    "that nothing pasted for drummet reaches the shell; while no client has fifo1\n"
    "open, standard error says so there.\n"
    "\n"
    "Before it prompts, drummet refuses (one line on standard error says why):\n"
    "  - a standard input that is closed or open for writing only;\n"
    "  - a folder anyone may write to that is not sticky: anyone may swap the\n"
    "    pipes there;\n"
    "  - a node at fifo1 or fifo2 that is not a named pipe, such as a pipe without\n"
    "    a name reached through /proc/PID/fd, and a fifo2 that is fifo1 under\n"
    "    another name;\n"
    "  - in a sticky folder others or a group may write to (such as /tmp), a pipe\n"
    "    owned by neither you nor the folder's owner: its owner may be listening.\n"
    "One drummet at a time may use a folder: it holds a lock on the folder, which\n"
    "any process that can read the folder can take too.\n"
    "\n"
    "The message is as private as the folder: anyone who can reach fifo1 may read\n"
    "it. Use a folder only you can enter (mktemp -d), or umask 077.\n"
    "\n"
    "Exit status: 0 when the reply was printed or the client closed fifo2 without\n"
    "one, 2 for a bad argument, 255 for any failure (said on standard error).\n";

using fifo_guard::report;
using fifo_guard::report_errno;

struct Gathered {
    std::size_t stored = 0;
    std::size_t dropped = 0;
};

// Reads up to the backtick. End of input ends the message as the backtick would.
// A NUL ends the message too, as clients expect text, but not the reading. Bytes
// beyond the buffer are read (so the backtick is still found) but counted
// instead of stored.
Gathered gather_message(std::span<char, message_capacity> buffer) {
    Gathered got;
    bool at_nul = false;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        const char byte = static_cast<char>(c);
        if (byte == message_terminator)
            break;
        at_nul = at_nul || byte == '\0';
        if (at_nul)
            continue;
        if (got.stored < buffer.size() - 1)
            buffer[got.stored++] = byte;
        else
            ++got.dropped;
    }
    buffer[got.stored] = '\0';
    return got;
}

// The message goes out in one write; it is at most 999 bytes, well below the
// size the kernel writes to a pipe atomically. An empty message closes the pipe
// instead, since writing nothing would leave the client waiting for ever.
bool send_message(Descriptor &pipe, std::string_view message) {
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
        std::fprintf(stderr, "drummet: %s: only %zd of %zu message bytes were sent\n", message_pipe,
                     written, message.size());
        return false;
    }
    return true;
}

// Without standard input there is no message. Found out at the first read, it
// would come after a client had connected for nothing.
bool can_read_standard_input() {
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    if (flags != -1 && (flags & O_ACCMODE) != O_WRONLY)
        return true;
    report("stdin", flags == -1 ? "is closed, so there is no message to send"
                                : "is open for writing only, so there is no message to send");
    return false;
}

// Puts `word` on standard error so that a shell reads it back as one word.
void put_shell_word(std::string_view word) {
    std::fputc('\'', stderr);
    for (std::size_t quote = 0; (quote = word.find('\'')) != std::string_view::npos;
         word.remove_prefix(quote + 1)) {
        std::fwrite(word.data(), 1, quote, stderr);
        std::fputs("'\\''", stderr);
    }
    std::fwrite(word.data(), 1, word.size(), stderr);
    std::fputc('\'', stderr);
}

// Started alone, drummet would wait for a client in silence and pass for hung:
// on a terminal it says what it waits for, right before it does.
void say_what_it_waits_for() {
    std::array<char, PATH_MAX> where{};
    const char *folder = fifo_guard::working_folder_name(where);
    std::fprintf(stderr,
                 "drummet: waiting for a client to open fifo1 in %s; start one with: "
                 "drummet-client -C ",
                 folder);
    put_shell_word(folder);
    std::fputc('\n', stderr);
}

int handle_arguments(int argc, char **argv) {
    const std::string_view arg = argv[1];
    const bool help = arg == "--help" || arg == "-h";
    if ((!help && arg != "--version") || argc > 2) {
        std::fprintf(stderr, "drummet: unexpected argument '%s' (see drummet --help)\n",
                     argc > 2 && (help || arg == "--version") ? argv[2] : argv[1]);
        return exit_usage;
    }
    if (help)
        std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
    else
        std::puts("drummet " DRUMMET_VERSION);
    if (std::fflush(stdout) != 0) {
        report_errno("stdout");
        return exit_failed;
    }
    return exit_ok;
}

} // namespace

const char *const fifo_guard::program = "drummet";

int main(int argc, char **argv) {
    if (argc > 1)
        return handle_arguments(argc, argv);

    if (!can_read_standard_input() || !fifo_guard::park_standard_descriptors())
        return exit_failed;
    // A client that goes away early must give us EPIPE to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);

    const Descriptor folder_lock = fifo_guard::lock_working_folder();
    if (!folder_lock.valid() && errno == EWOULDBLOCK) {
        std::array<char, PATH_MAX> where{};
        report(fifo_guard::working_folder_name(where),
               "locked by another drummet, or by another process that can read this folder");
        return exit_failed;
    }
    // Any other failure (a folder we may write to but not read) only means no
    // lock: such a folder is no place where two users meet.

    fifo_guard::Opened message_pipe_end = fifo_guard::open_fifo(
        message_pipe, O_WRONLY, nullptr, ::isatty(STDERR_FILENO) ? say_what_it_waits_for : nullptr);
    if (!message_pipe_end.pipe.valid())
        return exit_failed;
    const fifo_guard::Opened reply_pipe_end =
        fifo_guard::open_fifo(reply_pipe, O_RDONLY, &message_pipe_end.identity);
    if (!reply_pipe_end.pipe.valid())
        return exit_failed;

    std::puts("\nReady to broadcast to client");
    std::puts("Enter message : ");

    std::array<char, message_capacity> message{};
    const Gathered got = gather_message(message);
    if (std::ferror(stdin)) {
        report_errno("stdin");
        return exit_failed;
    }
    // On a terminal, what was typed or pasted after the backtick waits there
    // still, and would go to the shell once we exit: it was meant for us.
    if (::isatty(STDIN_FILENO))
        ::tcflush(STDIN_FILENO, TCIFLUSH);
    if (got.dropped > 0) {
        std::fprintf(stderr, "drummet: %s: message longer than %zu bytes, %zu byte%s dropped\n",
                     message_pipe, message.size() - 1, got.dropped, got.dropped == 1 ? "" : "s");
    }

    if (!send_message(message_pipe_end.pipe, std::string_view{message.data(), got.stored}))
        return exit_failed;

    std::array<char, reply_capacity + 1> reply{};
    const ssize_t received = ::read(reply_pipe_end.pipe.get(), reply.data(), reply_capacity);
    if (received < 0) {
        report_errno(reply_pipe);
        return exit_failed;
    }
    if (received > 0) {
        reply[static_cast<std::size_t>(received)] = '\0';
        // fputs, not printf: the reply is text printed as is, and the formatter
        // would map a further 128 KiB of the C library into every run.
        std::fputs("\nStats recieved from client: \n", stdout);
        std::fputs(reply.data(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        report_errno("stdout");
        return exit_failed;
    }
    return got.dropped > 0 ? exit_failed : exit_ok;
}
