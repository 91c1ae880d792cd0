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
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "fifo_guard.hpp"
#include "quote.hpp"

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
    "reads end of file. From a pipe or a file nothing after the backtick is read.\n"
    "On a terminal, what follows the backtick is discarded until the terminal has\n"
    "been quiet for a quarter of a second, so that nothing pasted for drummet\n"
    "reaches the shell; while no client has fifo1 open, standard error says so\n"
    "there.\n"
    "\n"
    "Before it prompts, drummet refuses (one line on standard error says why):\n"
    "  - a standard input that is closed, open for writing only or a path only;\n"
    "  - a folder anyone may write to that is not sticky: anyone may swap the\n"
    "    pipes there;\n"
    "  - a node at fifo1 or fifo2 that is not a named pipe, such as a pipe without\n"
    "    a name reached through /proc/PID/fd, a pipe with a second name (a hard\n"
    "    link or a bind mount), and a fifo2 that is fifo1 under another name;\n"
    "  - in a sticky folder others or a group may write to (such as /tmp), a pipe\n"
    "    owned by neither you nor the folder's owner, or shown as owned by the\n"
    "    overflow user of a user namespace: its owner may be listening.\n"
    "One drummet at a time may use a folder: it holds a lock on the folder, and on\n"
    "the folder a linked fifo1 or fifo2 leads into, which any process that can\n"
    "read that folder can take too.\n"
    "\n"
    "The message is as private as the folder: anyone who can reach fifo1 may read\n"
    "it. Use a folder only you can enter (mktemp -d), or umask 077 in a folder\n"
    "without a default ACL.\n"
    "\n"
    "Exit status: 0 when the reply was printed or the client closed fifo2 without\n"
    "one, 2 for a bad argument, 255 for any failure (said on standard error).\n";

using fifo_guard::report;
using fifo_guard::report_errno;

// The message as it is gathered, byte by byte, up to the backtick.
struct Gathered {
    std::span<char, message_capacity> buffer;
    std::size_t stored = 0;
    std::size_t dropped = 0;
    bool at_nul = false;

    // A NUL ends the message too, as clients expect text, but not the reading.
    // Bytes beyond the buffer are counted instead of stored.
    void take(char byte) {
        at_nul = at_nul || byte == '\0';
        if (at_nul)
            return;
        if (stored < buffer.size() - 1)
            buffer[stored++] = byte;
        else
            ++dropped;
    }
};

// Through stdio, up to the backtick; end of input ends the message as the
// backtick would. False when standard input could not be read.
bool gather_buffered(Gathered &got) {
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        if (static_cast<char>(c) == message_terminator)
            return true;
        got.take(static_cast<char>(c));
    }
    return std::ferror(stdin) == 0;
}

// A byte a read, for when nothing better can be had.
bool gather_bytewise(Gathered &got) {
    char byte = 0;
    ssize_t got_one = 0;
    while ((got_one = ::read(STDIN_FILENO, &byte, 1)) == 1 && byte != message_terminator)
        got.take(byte);
    return got_one >= 0;
}

// Reads `bytes.size()` bytes that the pipe `fd` is known to hold. A pipe of
// packets (written to with O_DIRECT) gives one packet a read, and drops what
// of it the read had no room for. False when they did not come.
bool read_known(int fd, std::span<char> bytes) {
    for (ssize_t got = 0; !bytes.empty(); bytes = bytes.subspan(static_cast<std::size_t>(got)))
        if ((got = ::read(fd, bytes.data(), bytes.size())) <= 0) {
            errno = got < 0 ? errno : EIO; // someone else read them meanwhile
            return false;
        }
    return true;
}

// From a pipe, stdio would read ahead and take what follows the backtick from
// whoever reads the pipe next. A copy of what the pipe holds (tee) shows where
// the backtick is, and then only that much is read from it.
bool gather_from_pipe(Gathered &got) {
    std::array<int, 2> copy{};
    if (::pipe2(copy.data(), O_CLOEXEC) != 0)
        return gather_bytewise(got); // no descriptor to spare for the copy
    const Descriptor copy_out{copy[0]}, copy_in{copy[1]};
    std::array<char, 4096> chunk; // written before it is read
    for (;;) {
        const ssize_t copied = ::tee(STDIN_FILENO, copy_in.get(), chunk.size(), 0);
        if (copied <= 0)
            return copied == 0;
        const std::span<char> seen{chunk.data(), static_cast<std::size_t>(copied)};
        if (!read_known(copy_out.get(), seen))
            return false;
        const auto *end =
            static_cast<const char *>(std::memchr(seen.data(), message_terminator, seen.size()));
        const std::size_t used =
            end == nullptr ? seen.size() : static_cast<std::size_t>(end - seen.data()) + 1;
        if (!read_known(STDIN_FILENO, seen.first(used)))
            return false;
        for (const char byte : seen.first(end == nullptr ? used : used - 1))
            got.take(byte);
        if (end != nullptr)
            return true;
    }
}

// Reads up to the backtick, and not a byte further where someone else may
// read on: from a pipe. False when standard input could not be read.
bool gather_message(Gathered &got) {
    struct stat input{};
    const bool pipe = ::fstat(STDIN_FILENO, &input) == 0 && S_ISFIFO(input.st_mode);
    const bool gathered = pipe ? gather_from_pipe(got) : gather_buffered(got);
    got.buffer[got.stored] = '\0';
    return gathered;
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
    if (flags != -1 && (flags & O_ACCMODE) != O_WRONLY && (flags & O_PATH) == 0)
        return true;
    report("stdin", flags == -1                       ? "is closed, so there is no message to send"
                    : (flags & O_ACCMODE) == O_WRONLY ? "is open for writing only, so there is no "
                                                        "message to send"
                                                      : "is open as a path only, so there is no "
                                                        "message to send");
    return false;
}

// Started alone, drummet would wait for a client in silence and pass for hung:
// on a terminal it says what it waits for, right before it does.
void say_what_it_waits_for() {
    std::array<char, PATH_MAX + 1> where{};
    const char *folder = fifo_guard::working_folder_name(std::span{where}.first(PATH_MAX));
    if (folder == nullptr) {
        // A command naming "." would make fifo1 wherever it is run: none at all.
        std::fprintf(stderr,
                     "drummet: waiting for a client to open fifo1 in the current folder, whose "
                     "path %s\n",
                     errno == ERANGE || errno == ENAMETOOLONG ? "is longer than PATH_MAX"
                                                              : std::strerror(errno));
        return;
    }
    std::array<char, fifo_guard::shown_size(PATH_MAX)> shown{};
    fifo_guard::quote_name(shown, folder);
    // A shell drops the newlines that end a command's output, and so those that
    // end a folder's name in the suggested word; a slash after them keeps them.
    std::string_view path = folder;
    if (path.ends_with('\n')) {
        where[path.size()] = '/';
        path = {where.data(), path.size() + 1};
    }
    std::array<char, fifo_guard::shown_size(PATH_MAX + 1)> word{};
    std::fprintf(stderr,
                 "drummet: waiting for a client to open fifo1 in %s; start one with: "
                 "drummet-client -C %s\n",
                 shown.data(), fifo_guard::quote_name(word, path, true));
}

// The terminal's settings as drummet found them, for the handlers of the
// signals that end or stop it while it holds the terminal in its own mode.
termios terminal_as_found{};
volatile std::sig_atomic_t terminal_changed = 0;

// Whether the terminal is ours to act on: not when we are a background job,
// whose terminal the shell uses meanwhile. One that is no process's
// controlling terminal has no foreground.
bool terminal_is_ours() {
    const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
    return foreground == -1 || foreground == ::getpgrp();
}

void put_terminal_back() {
    if (terminal_changed != 0 && terminal_is_ours())
        ::tcsetattr(STDIN_FILENO, TCSANOW, &terminal_as_found);
    terminal_changed = 0;
}

constexpr std::array<int, 5> ending_signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP};

// Puts the terminal back and lets the signal do what it does by default. Back
// from a stop (SIGTSTP), the waits take the terminal again if it is ours.
extern "C" void put_terminal_back_and_go_on(int signal) {
    const int saved_errno = errno;
    put_terminal_back();
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    sigset_t only{};
    ::sigemptyset(&only);
    ::sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    action.sa_handler = put_terminal_back_and_go_on;
    ::sigaction(signal, &action, nullptr);
    errno = saved_errno;
}

// On a terminal, what follows the backtick was typed or pasted for us: left
// there, it would reach the shell once we exit, and run. A paste goes on
// arriving after the message is in, as the terminal makes room for a large one
// or as ssh delivers one in pieces; so the terminal is emptied of what comes
// while the reply is awaited, then until it has been quiet for a while, and
// once more right before the end. Meanwhile it is out of canonical mode, where
// a piece that ends inside a line would not wake a wait.
class Terminal {
  public:
    static constexpr long quiet_ms = 250; // pieces of a paste come up to 100 ms apart

    Terminal()
        : active_(::isatty(STDIN_FILENO) == 1 &&
                  ::tcgetattr(STDIN_FILENO, &terminal_as_found) == 0),
          handling_(active_) {
        for (std::size_t i = 0; handling_ && i < ending_signals.size(); ++i) {
            struct sigaction ours{};
            ours.sa_handler = put_terminal_back_and_go_on;
            ::sigaction(ending_signals[i], nullptr, &before_[i]);
            if (before_[i].sa_handler != SIG_IGN)
                ::sigaction(ending_signals[i], &ours, nullptr);
        }
        discard();
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;
    ~Terminal() {
        for (long quiet = 0; active_ && (quiet = now_ms() - last_input_ms_) < quiet_ms;) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (::poll(&input, 1, static_cast<int>(quiet_ms - quiet)) > 0)
                discard();
        }
        discard();
        put_terminal_back();
        for (std::size_t i = 0; handling_ && i < ending_signals.size(); ++i)
            ::sigaction(ending_signals[i], &before_[i], nullptr);
    }

    // Waits until `reply` has something to read, emptying the terminal meanwhile.
    void await(int reply) {
        while (active_) {
            std::array<pollfd, 2> ready{pollfd{reply, POLLIN, 0}, pollfd{STDIN_FILENO, POLLIN, 0}};
            const int woken = ::poll(ready.data(), ready.size(), -1);
            if ((woken < 0 && errno != EINTR) || (woken > 0 && ready[0].revents != 0))
                return;
            discard();
        }
    }

  private:
    static long now_ms() {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
    }
    // Whether the terminal may be acted on, with every byte waking a wait.
    bool take() {
        if (active_ && !terminal_is_ours()) {
            active_ = false; // the shell has it now, in the mode it set
            terminal_changed = 0;
        }
        if (active_ && terminal_changed == 0) {
            termios bytewise = terminal_as_found;
            bytewise.c_lflag &= ~static_cast<tcflag_t>(ICANON);
            bytewise.c_cc[VMIN] = 1;
            bytewise.c_cc[VTIME] = 0;
            // The mode and its mark change together, or a signal between them
            // would leave the terminal changed unmarked.
            sigset_t ending{}, before{};
            ::sigemptyset(&ending);
            for (const int signal : ending_signals)
                ::sigaddset(&ending, signal);
            ::sigprocmask(SIG_BLOCK, &ending, &before);
            active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &bytewise) == 0;
            terminal_changed = active_ ? 1 : 0;
            ::sigprocmask(SIG_SETMASK, &before, nullptr);
        }
        return active_;
    }
    void discard() {
        // A terminal that hung up has nothing more to give, and would wake
        // every wait at once.
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 0) > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            active_ = false;
        if (!take())
            return;
        active_ = ::tcflush(STDIN_FILENO, TCIFLUSH) == 0;
        last_input_ms_ = now_ms();
    }

    bool active_;
    const bool handling_; // the ending signals put the terminal back
    long last_input_ms_ = 0;
    std::array<struct sigaction, ending_signals.size()> before_{};
};

// Everything after the prompts: the message, the exchange and the reply.
int exchange(Descriptor &message_pipe_end, int reply_pipe_end) {
    std::array<char, message_capacity> message{};
    Gathered got{message};
    const bool gathered = gather_message(got);
    const int read_error = errno;
    Terminal terminal;
    if (!gathered) {
        errno = read_error;
        report_errno("stdin");
        return exit_failed;
    }
    if (got.dropped > 0) {
        std::fprintf(stderr, "drummet: %s: message longer than %zu bytes, %zu byte%s dropped\n",
                     message_pipe, message.size() - 1, got.dropped, got.dropped == 1 ? "" : "s");
    }

    if (!send_message(message_pipe_end, std::string_view{message.data(), got.stored}))
        return exit_failed;

    terminal.await(reply_pipe_end);
    std::array<char, reply_capacity + 1> reply{};
    const ssize_t received = ::read(reply_pipe_end, reply.data(), reply_capacity);
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

int handle_arguments(int argc, char **argv) {
    const std::string_view arg = argv[1];
    const bool help = arg == "--help" || arg == "-h";
    if ((!help && arg != "--version") || argc > 2) {
        fifo_guard::report_usage("unexpected argument",
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

    if (!fifo_guard::lock_working_folder()) {
        std::array<char, PATH_MAX> where{};
        const char *folder = fifo_guard::working_folder_name(where);
        report(folder != nullptr ? folder : ".",
               "locked by another drummet, or by another process that can read this folder");
        return exit_failed;
    }
    // A folder we may write to but not read takes no lock: such a folder is no
    // place where two users meet.
    if (!fifo_guard::lock_ahead(reply_pipe))
        return exit_failed;

    fifo_guard::Opened message_pipe_end = fifo_guard::open_fifo(
        message_pipe, O_WRONLY,
        {.waiting = ::isatty(STDERR_FILENO) ? say_what_it_waits_for : nullptr, .lock = true});
    if (!message_pipe_end.pipe.valid())
        return exit_failed;
    const fifo_guard::Opened reply_pipe_end = fifo_guard::open_fifo(
        reply_pipe, O_RDONLY, {.other = &message_pipe_end.identity, .lock = true});
    if (!reply_pipe_end.pipe.valid())
        return exit_failed;

    std::puts("\nReady to broadcast to client");
    std::puts("Enter message : ");
    return exchange(message_pipe_end.pipe, reply_pipe_end.pipe.get());
}
