// SPDX-License-Identifier: GPL-2.0-only
// drummet: hands one message typed on standard input to a client over the named
// pipe "fifo1" and prints the statistics the client sends back on "fifo2".
//
// The program is meant to stay tiny and predictable: one pass, fixed buffers on
// the stack, and nothing from the C++ runtime, so it links against libc alone.
// On a run's way it makes no call it can do without: the success path does not
// format, allocate or close.

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "console.hpp"
#include "shared.hpp"
#include "trust.hpp"

namespace {

using common::Descriptor;
using common::Folder;
using common::Judged;
using common::message_pipe;
using common::reply_pipe;
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

// Standard output and input are buffered by stdio, in buffers of their own:
// stdio would otherwise allocate them, which costs a run four system calls.
std::array<char, 4096> output_buffer;
std::array<char, 4096> input_buffer;

// ---------------------------------------------------------------------------
// Standard input, and the message taken from it.

struct Input {
    bool terminal = false;
    // From a pipe or a socket, stdio would read ahead and take what follows the
    // backtick from whoever reads next: such input is read exactly, with a look
    // at what it holds first (a private copy of a pipe, a peek at a socket).
    bool exact = false;
    bool socket = false;
    // A socket that keeps records apart (datagrams, sequenced packets): each
    // read takes one record, and drops what of it the read had no room for.
    bool records = false;
    bool datagrams = false;
    Descriptor copy_out, copy_in;
};

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

// What the input is, and what reading it needs, made before any client
// connects: a failure then keeps nobody waiting.
bool prepare_input(Input &input) {
    struct stat st{};
    if (::fstat(STDIN_FILENO, &st) != 0) {
        report_errno("stdin");
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        report("stdin", "is a directory, so there is no message to send");
        return false;
    }
    input.terminal = S_ISCHR(st.st_mode) && ::isatty(STDIN_FILENO) == 1;
    input.socket = S_ISSOCK(st.st_mode);
    input.exact = input.socket || S_ISFIFO(st.st_mode);
    if (input.socket) {
        int type = 0;
        socklen_t size = sizeof type;
        sockaddr_storage peer{};
        socklen_t peer_size = sizeof peer;
        if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
            (type == SOCK_STREAM &&
             ::getpeername(STDIN_FILENO, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0)) {
            report("stdin",
                   errno == ENOTCONN
                       ? "is a socket that is not connected, so there is no message to send"
                       : std::strerror(errno));
            return false;
        }
        input.records = type != SOCK_STREAM;
        input.datagrams = type == SOCK_DGRAM;
    }
    if (!S_ISFIFO(st.st_mode))
        return true;
    std::array<int, 2> copy{};
    if (::pipe2(copy.data(), O_CLOEXEC) != 0) {
        std::array<char, 160> reason{};
        std::snprintf(reason.data(), reason.size(),
                      "is a pipe, which needs a pipe of its own to be read up to the backtick and "
                      "no further: %s",
                      std::strerror(errno));
        report("stdin", reason.data());
        return false;
    }
    input.copy_out = Descriptor{copy[0]};
    input.copy_in = Descriptor{copy[1]};
    return true;
}

// Input left non-blocking (by a program that crashed, say) is waited for.
bool wait_for_input() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (::poll(&input, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

// The message as it is gathered, byte by byte, up to the backtick.
struct Gathered {
    std::span<char, common::message_capacity> buffer;
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
// backtick would. A terminal out of canonical mode with no minimum to read
// (left so by a program, or set so with stty) gives nothing when the user
// pauses (`nothing_is_a_pause`): no end of input, unless it hung up. Says
// why and returns false when standard input could not be read.
bool gather_buffered(Gathered &got, bool nothing_is_a_pause) {
    for (;;) {
        const int c = std::getchar();
        if (c != EOF && static_cast<char>(c) == common::message_terminator)
            return true;
        if (c != EOF) {
            got.take(static_cast<char>(c));
            continue;
        }
        if (std::ferror(stdin) == 0 && nothing_is_a_pause) {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            while (::poll(&input, 1, -1) < 0 && errno == EINTR)
                ;
            if ((input.revents & POLLIN) == 0)
                return true; // it hung up
            std::clearerr(stdin);
            continue;
        }
        if (std::ferror(stdin) == 0)
            return true;
        if (errno != EAGAIN || !wait_for_input()) {
            report_errno("stdin");
            return false;
        }
        std::clearerr(stdin);
    }
}

// Shows what standard input holds next without taking it, at most
// `seen.size()` bytes: a copy of what the pipe holds (tee), or a peek at the
// socket, and in `whole` how long it is, where a record is longer than
// `seen`. 0 at the end of input, -1 with errno on failure.
ssize_t look_ahead(Input &input, std::span<char> seen, std::size_t &whole) {
    for (;;) {
        const int peek = MSG_PEEK | (input.records ? MSG_TRUNC : 0);
        const ssize_t shown = input.socket
                                  ? ::recv(STDIN_FILENO, seen.data(), seen.size(), peek)
                                  : ::tee(STDIN_FILENO, input.copy_in.get(), seen.size(), 0);
        if (shown == 0 && input.datagrams) {
            // An empty datagram is one, not the end: datagrams have none.
            std::array<char, 1> none{};
            if (::recv(STDIN_FILENO, none.data(), none.size(), 0) < 0)
                return -1;
            continue;
        }
        if (shown >= 0 || errno != EAGAIN || !wait_for_input()) {
            // A record says how long it is whole, which may be more than was shown.
            whole = shown > 0 ? static_cast<std::size_t>(shown) : 0;
            return shown > static_cast<ssize_t>(seen.size()) ? static_cast<ssize_t>(seen.size())
                                                             : shown;
        }
    }
}

// Up to the backtick and not a byte further, where someone else may read on.
// A pipe of packets (written to with O_DIRECT) gives one packet a read and
// drops what the read had no room for; so its packets are read one by one,
// each whole as the copy shows it, and a packet the copy shows cut short (the
// last of a full look) is left for the next look, unless the backtick is in
// it: what follows the backtick in its own packet is lost, as for any reader
// that stops there. What is read must be what was seen, or another process is
// reading the same input and the message cannot be known.
bool gather_exactly(Gathered &got, Input &input) {
    std::array<char, 4096> seen; // written before they are read
    std::array<char, 4096> taken;
    for (;;) {
        std::size_t whole = 0;
        const ssize_t shown = look_ahead(input, seen, whole);
        if (shown <= 0) {
            if (shown < 0)
                report_errno("stdin");
            return shown == 0;
        }
        const auto full = static_cast<std::size_t>(shown);
        if (whole > full && std::memchr(seen.data(), common::message_terminator, full) == nullptr) {
            report("stdin", "holds a record longer than drummet can look at, so where the "
                            "message ends is not known: nothing is sent");
            return false;
        }
        for (std::size_t offset = 0; offset < full;) {
            ssize_t piece = static_cast<ssize_t>(full - offset);
            if (!input.socket &&
                (piece = ::read(input.copy_out.get(), seen.data() + offset, full - offset)) <= 0) {
                report("stdin", piece < 0 ? std::strerror(errno) : "its copy came short");
                return false;
            }
            const std::span<const char> bytes{seen.data() + offset,
                                              static_cast<std::size_t>(piece)};
            const auto *end = static_cast<const char *>(
                std::memchr(bytes.data(), common::message_terminator, bytes.size()));
            offset += bytes.size();
            if (end == nullptr && offset == full && offset > bytes.size() && full == seen.size())
                break; // perhaps cut short: it comes whole at the next look
            const std::size_t wanted =
                end == nullptr ? bytes.size() : static_cast<std::size_t>(end - bytes.data()) + 1;
            const ssize_t took = ::read(STDIN_FILENO, taken.data(), wanted);
            if (took < 0 && errno != EAGAIN) {
                report_errno("stdin");
                return false;
            }
            if (took != static_cast<ssize_t>(wanted) ||
                std::memcmp(taken.data(), bytes.data(), wanted) != 0) {
                report("stdin", "another process read from it at the same time, so the message "
                                "is not known: nothing is sent");
                return false;
            }
            for (const char byte : std::span{taken}.first(end == nullptr ? wanted : wanted - 1))
                got.take(byte);
            if (end != nullptr)
                return true;
        }
    }
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
        std::array<char, 96> reason{};
        std::snprintf(reason.data(), reason.size(), "only %zd of %zu message bytes were sent",
                      written, message.size());
        report(message_pipe, reason.data());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The terminal, when standard input is one: its mode and the signals that must
// put it back.

// The terminal's settings as drummet found them, and whether it is in
// drummet's mode now (`changed`) or should be whenever it is ours (`held`):
// the signal handlers read them.
termios terminal_as_found{};
volatile std::sig_atomic_t terminal_held = 0;
volatile std::sig_atomic_t terminal_changed = 0;

// Whether the terminal is ours to act on: not while we are a background job,
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

// Out of canonical mode, where every byte wakes a wait, also a piece of a
// paste that ends inside a line.
void take_terminal() {
    if (terminal_held == 0 || terminal_changed != 0 || !terminal_is_ours())
        return;
    termios bytewise = terminal_as_found;
    bytewise.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    bytewise.c_cc[VMIN] = 1;
    bytewise.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &bytewise) == 0)
        terminal_changed = 1;
}

// Puts the terminal back and lets the signal do what it does by default.
extern "C" void put_terminal_back_and_go_on(int signal) {
    const int saved_errno = errno;
    // What was typed for drummet would go to the shell: the terminal empties
    // itself for the keys that send these signals, not for kill(1). Stopped,
    // drummet keeps it, to go on with when it is continued.
    if (signal != SIGTSTP && terminal_is_ours())
        ::tcflush(STDIN_FILENO, TCIFLUSH);
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
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
    errno = saved_errno;
}

// Continued, in the foreground again (fg, after Ctrl-Z and perhaps bg), the
// terminal is taken again.
extern "C" void take_terminal_again(int) {
    const int saved_errno = errno;
    take_terminal();
    errno = saved_errno;
}

// The terminal's mode, from the moment drummet waits for a client to the end:
// the signals that end or stop drummet put it back first, and it is put back
// as it was found when drummet is done with it.
class TerminalMode {
  public:
    explicit TerminalMode(bool terminal)
        : active_(terminal && ::tcgetattr(STDIN_FILENO, &terminal_as_found) == 0) {
        for (std::size_t i = 0; active_ && i < handled.size(); ++i) {
            struct sigaction ours{}, before{};
            ours.sa_handler =
                handled[i] == SIGCONT ? take_terminal_again : put_terminal_back_and_go_on;
            ours.sa_flags = SA_RESTART;
            // A signal the caller ignores (nohup's SIGHUP) stays ignored.
            if (::sigaction(handled[i], &ours, &before) == 0 && before.sa_handler == SIG_IGN)
                ::sigaction(handled[i], &before, nullptr);
        }
    }
    TerminalMode(const TerminalMode &) = delete;
    TerminalMode &operator=(const TerminalMode &) = delete;
    ~TerminalMode() { release(); }

    [[nodiscard]] bool active() const { return active_; }

    // From now on in drummet's mode, whenever the terminal is ours.
    void hold() {
        if (!active_)
            return;
        // The mode and its mark change together, or a signal between them
        // would leave the terminal changed unmarked.
        sigset_t all{}, before{};
        ::sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, &before);
        terminal_held = 1;
        take_terminal();
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
    }

    // A terminal that hung up has nothing more to give.
    void hung_up() { active_ = false; }

    // As it was found. The handlers stay until the process ends, right after:
    // what they would put back is back already.
    void release() {
        if (!active_)
            return;
        terminal_held = 0;
        put_terminal_back();
        active_ = false;
    }

  private:
    // Those that end or stop drummet, and the one that continues it.
    static constexpr std::array<int, 6> handled{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGCONT};
    bool active_;
};

// What is typed on the terminal once the message is in was meant for drummet:
// left there, it would reach the shell once drummet exits, and run. So the
// terminal is emptied while the reply is awaited, and at the end until it has
// been quiet for a while: a paste goes on arriving as the terminal makes room
// for it, and ssh delivers one in pieces.
class TypedAhead {
  public:
    explicit TypedAhead(TerminalMode &terminal) : terminal_(terminal) {}

    // Empties the terminal, when it is ours: what is typed while drummet is a
    // background job is the shell's.
    void discard() {
        if (!terminal_.active() || !terminal_is_ours())
            return;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 0) > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            terminal_.hung_up(); // it would wake every wait at once
            return;
        }
        take_terminal();
        ::tcflush(STDIN_FILENO, TCIFLUSH);
        last_input_ms_ = now_ms();
    }

    // Waits until `reply` has something to read, emptying the terminal
    // meanwhile. A background job looks now and then whether it is in the
    // foreground again: fg continues a job that runs with no signal at all.
    void await(int reply) {
        while (terminal_.active()) {
            const bool ours = terminal_is_ours();
            if (ours)
                take_terminal();
            std::array<pollfd, 2> ready{pollfd{reply, POLLIN, 0},
                                        pollfd{ours ? STDIN_FILENO : -1, POLLIN, 0}};
            const int woken = ::poll(ready.data(), ready.size(), ours ? -1 : 200);
            if ((woken < 0 && errno != EINTR) || (woken > 0 && ready[0].revents != 0))
                return;
            if (woken > 0 && ready[1].revents != 0)
                discard();
        }
    }

    // Discards what comes until the terminal has been quiet for a while, and
    // for a few seconds at most: a held key never stops.
    void until_quiet() {
        terminal_.hold();
        discard();
        const long until = now_ms() + longest_ms;
        for (long now = now_ms();
             terminal_.active() && now < until && now - last_input_ms_ < quiet_ms; now = now_ms()) {
            const long quiet_left = quiet_ms - (now - last_input_ms_);
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (::poll(&input, 1,
                       static_cast<int>(quiet_left < until - now ? quiet_left : until - now)) > 0)
                discard();
        }
        discard();
    }

  private:
    static constexpr long quiet_ms = 250; // pieces of a paste come up to 100 ms apart
    static constexpr long longest_ms = 3000;

    static long now_ms() {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
    }

    TerminalMode &terminal_;
    long last_input_ms_ = 0;
};

// ---------------------------------------------------------------------------
// What drummet says on a terminal, on standard error, so that standard output
// carries only the dialogue.

// Started alone, drummet would wait for a client in silence and pass for hung.
void say_what_it_waits_for() {
    common::say_waiting("a client", "one", "drummet-client");
}

// The user types below the prompt and might never guess how a message ends.
void say_how_the_message_ends() {
    common::say("end the message with a backtick (`), then press Enter");
}

// With the usual umask, a pipe in a folder others can reach is theirs to read.
void warn_if_others_may_read(const Judged &message) {
    if (!common::others_may_read(message))
        return;
    std::array<char, 160> reason{};
    std::snprintf(reason.data(), reason.size(),
                  "others may open it and take the message (mode %04o, in a folder they can "
                  "reach); use a folder only you can enter (mktemp -d), or umask 077",
                  static_cast<unsigned>(message.fifo.mode & 07777));
    report(message_pipe, reason.data());
}

// ---------------------------------------------------------------------------
// The run.

struct Console {
    bool out_terminal = false;
    bool err_terminal = false;
};

// Connects both pipes, in the order the client expects: fifo1 for writing,
// then fifo2 for reading. A fifo2 that is there already is judged before
// anyone is waited for, so that no client connects for nothing; one that
// comes later, once the client has fifo1 open. A pipe whose name leads
// elsewhere while drummet waits on it is judged anew: a partner that comes
// opens what the name leads to now. A client that leaves before it opens
// fifo2 ends the run, or, on a terminal, is waited for again.
bool connect(const Folder &folder, const Console &console, Descriptor &message_end,
             Descriptor &reply_end, Judged &message, Judged &reply) {
    using common::Connected;
    using common::Verdict;
    const common::Ticks ticks;
    common::Waiting waiting = console.err_terminal ? say_what_it_waits_for : nullptr;
    bool warned = false;
    for (;;) {
        if (common::judge(folder, reply_pipe, reply, false, true, &message) == Verdict::refused)
            return false;
        Connected connected = Connected::name_moved;
        while (connected == Connected::name_moved) {
            if (common::judge(folder, message_pipe, message, true, true, &reply) !=
                    Verdict::trusted ||
                (reply.valid() && !common::distinct(message, reply)))
                return false;
            if (console.err_terminal && !warned)
                warn_if_others_may_read(message);
            warned = true;
            connected =
                common::open_judged(folder, message_pipe, message, O_WRONLY, message_end, &waiting);
            if (connected == Connected::failed)
                return false;
        }
        for (bool judged = reply.valid();;) {
            if (!judged && (common::judge(folder, reply_pipe, reply, true, true, &message) !=
                                Verdict::trusted ||
                            !common::distinct(message, reply)))
                return false;
            connected = common::open_judged(folder, reply_pipe, reply, O_RDONLY, reply_end, nullptr,
                                            message_end.get());
            if (connected != Connected::name_moved)
                break;
            judged = false; // its name leads elsewhere now: judged anew
        }
        if (connected != Connected::partner_left)
            return connected == Connected::yes;
        if (!console.err_terminal) {
            report(message_pipe, "the client left before it opened fifo2");
            return false;
        }
        report(message_pipe, "the client left before it opened fifo2; waiting for a client again");
        message_end.close();
        // Both are judged anew, their locks let go first: a lock this process
        // holds would stand in the way of its own.
        message = Judged{};
        reply = Judged{};
        waiting = nullptr;
    }
}

// Everything after the prompts: the message, the exchange and the reply.
int exchange(Descriptor &message_end, int reply_end, Input &input, TerminalMode &terminal,
             TypedAhead &typed, const Console &console) {
    std::fputs("\nReady to broadcast to client\nEnter message : \n", stdout);
    if (input.terminal && console.err_terminal)
        say_how_the_message_ends();
    std::array<char, common::message_capacity> message; // written before it is read
    Gathered got{message};
    const bool pauses = input.terminal && (terminal_as_found.c_lflag & ICANON) == 0 &&
                        terminal_as_found.c_cc[VMIN] == 0;
    const bool gathered = input.exact ? gather_exactly(got, input) : gather_buffered(got, pauses);
    message[got.stored] = '\0';
    terminal.hold(); // what follows the backtick is no part of it
    typed.discard();
    if (!gathered)
        return exit_failed;
    if (got.dropped > 0) {
        std::array<char, 96> reason{};
        std::snprintf(reason.data(), reason.size(),
                      "message longer than %zu bytes, %zu byte%s dropped", message.size() - 1,
                      got.dropped, got.dropped == 1 ? "" : "s");
        report(message_pipe, reason.data());
    }

    if (!send_message(message_end, std::string_view{message.data(), got.stored}))
        return exit_failed;

    typed.await(reply_end);
    std::array<char, common::reply_capacity + 1> reply;
    const ssize_t received = ::read(reply_end, reply.data(), common::reply_capacity);
    if (received < 0) {
        report_errno(reply_pipe);
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
    if (!can_read_standard_input())
        return exit_failed;
    // Whether standard output and error are terminals also tells whether they
    // are closed: a closed one must hold its number before any pipe is opened.
    Console console;
    std::array<int, 2> closed{};
    std::size_t closed_count = 0;
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        const bool terminal = ::isatty(fd) == 1;
        if (!terminal && errno == EBADF)
            closed[closed_count++] = fd;
        (fd == STDOUT_FILENO ? console.out_terminal : console.err_terminal) = terminal;
    }
    if (!common::park_closed_descriptors(std::span{closed}.first(closed_count)))
        return exit_failed;
    // Line buffered on a terminal, so that the prompts show at once, as stdio
    // would choose.
    std::setvbuf(stdout, output_buffer.data(), console.out_terminal ? _IOLBF : _IOFBF,
                 output_buffer.size());
    std::setvbuf(stdin, input_buffer.data(), _IOFBF, input_buffer.size());
    // A client that goes away early must give us EPIPE to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);

    Folder folder;
    Input input;
    if (!common::enter_folder(line) || !common::open_working_folder(folder, true) ||
        !prepare_input(input))
        return exit_failed;

    TerminalMode terminal{input.terminal};
    TypedAhead typed{terminal};
    Judged message, reply;
    Descriptor message_end, reply_end;
    const int status = connect(folder, console, message_end, reply_end, message, reply)
                           ? exchange(message_end, reply_end.get(), input, terminal, typed, console)
                           : exit_failed;
    // However the run ends once it has waited for a client, nothing typed for
    // it is left for the shell.
    if (terminal.active())
        typed.until_quiet();
    terminal.release();
    // The pipes and the rest close as the process ends: closing them here
    // would cost calls for nothing.
    std::exit(status);
}
