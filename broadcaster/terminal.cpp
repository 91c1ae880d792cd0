// SPDX-License-Identifier: GPL-2.0-only
#include "terminal.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "report.hpp"

namespace {

// What the signal handlers read: the terminal, its settings as drummet found
// them, and whether it is in drummet's mode now (`changed`) or should be
// whenever it is ours (`held`).
int terminal_fd = -1;
termios terminal_as_found{};
volatile std::sig_atomic_t terminal_held = 0;
volatile std::sig_atomic_t terminal_changed = 0;

// Whether the terminal is ours to act on: not while we are a background job,
// whose terminal the shell uses meanwhile. On a terminal that is no process's
// controlling terminal, tcgetpgrp fails, and it is ours.
bool terminal_is_ours() {
    const pid_t foreground = ::tcgetpgrp(terminal_fd);
    return foreground == -1 || foreground == ::getpgrp();
}

void put_terminal_back() {
    if (terminal_changed != 0 && terminal_is_ours())
        ::tcsetattr(terminal_fd, TCSANOW, &terminal_as_found);
    terminal_changed = 0;
}

void take_terminal() {
    if (terminal_held == 0 || terminal_changed != 0 || !terminal_is_ours())
        return;
    termios bytewise = terminal_as_found;
    bytewise.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    bytewise.c_cc[VMIN] = 1;
    bytewise.c_cc[VTIME] = 0;
    if (::tcsetattr(terminal_fd, TCSANOW, &bytewise) == 0)
        terminal_changed = 1;
}

// Empties the terminal and puts it back, then lets the signal do what it does
// by default: end drummet, or stop it. What was typed for drummet would go to
// the shell either way: the terminal empties itself for the keys that send
// such signals, but not for kill(1) nor under stty noflsh, and a stopped job's
// terminal is the shell's.
extern "C" void put_terminal_back_and_go_on(int signal) {
    const int saved_errno = errno;
    if (terminal_is_ours())
        ::tcflush(terminal_fd, TCIFLUSH);
    put_terminal_back();
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    sigset_t only{};
    ::sigemptyset(&only);
    ::sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    // Stopped, and continued.
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

// Every signal that can be caught and that ends or stops the process by
// default, and SIGCONT. SIGPIPE and SIGXFSZ are held back (see
// standard_streams.hpp), and SIGALRM ticks for a while first (ticks.hpp).
void handle_signals() {
    constexpr std::array fixed{SIGHUP,  SIGINT,    SIGQUIT, SIGILL,    SIGTRAP, SIGABRT,
                               SIGBUS,  SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM,
                               SIGTERM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,
                               SIGPWR,  SIGSYS,    SIGTSTP, SIGTTIN,   SIGTTOU, SIGCONT};
    const auto handle = [](int signal) {
        struct sigaction ours{}, before{};
        ours.sa_handler = signal == SIGCONT ? take_terminal_again : put_terminal_back_and_go_on;
        ours.sa_flags = SA_RESTART;
        // A signal the caller ignores (nohup's SIGHUP) stays ignored.
        if (::sigaction(signal, &ours, &before) == 0 && before.sa_handler == SIG_IGN)
            ::sigaction(signal, &before, nullptr);
    };
    for (const int signal : fixed)
        handle(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        handle(signal);
}

long now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

constexpr long quiet_ms = 250; // pieces of a paste come up to 100 ms apart
constexpr long longest_ms = 3000;

} // namespace

Terminal::Terminal(int fd, bool terminal, common::Console console)
    : active_(terminal && ::tcgetattr(fd, &terminal_as_found) == 0),
      tell_(console == common::Console::terminal) {
    terminal_fd = fd;
    if (active_)
        handle_signals();
}

void Terminal::say_how_a_message_ends() const {
    const unsigned char eof = terminal_as_found.c_cc[VEOF];
    // End of input is a key of its own only in canonical mode.
    if ((terminal_as_found.c_lflag & ICANON) != 0 && eof > 0 && eof < ' ')
        common::say("end the message with a backtick (`), then press Enter; or press Ctrl-%c at "
                    "the start of a line",
                    '@' + eof);
    else
        common::say("end the message with a backtick (`), then press Enter");
}

void Terminal::hold() {
    if (!active_)
        return;
    // The mode and its mark change together, or a signal between them would
    // leave the terminal changed unmarked.
    sigset_t all{}, before{};
    ::sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before);
    terminal_held = 1;
    take_terminal();
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

void Terminal::discard() {
    if (!active_ || !terminal_is_ours())
        return;
    pollfd input{terminal_fd, POLLIN, 0};
    if (::poll(&input, 1, 0) > 0 && (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        active_ = false; // hung up: it would wake every wait at once
        return;
    }
    take_terminal();
    int waiting = 0;
    if (tell_ && !told_ && ::ioctl(terminal_fd, FIONREAD, &waiting) == 0 && waiting > 0) {
        common::say("what was typed after the message is discarded, not run");
        told_ = true;
    }
    ::tcflush(terminal_fd, TCIFLUSH);
    last_input_ms_ = now_ms();
}

void Terminal::await(int reply) {
    while (active_) {
        const bool ours = terminal_is_ours();
        if (ours)
            take_terminal();
        std::array<pollfd, 2> ready{pollfd{reply, POLLIN, 0},
                                    pollfd{ours ? terminal_fd : -1, POLLIN, 0}};
        const int woken = ::poll(ready.data(), ready.size(), ours ? -1 : 200);
        if ((woken < 0 && errno != EINTR) || (woken > 0 && ready[0].revents != 0))
            return;
        if (woken > 0 && ready[1].revents != 0)
            discard();
    }
}

void Terminal::until_quiet() {
    hold();
    discard();
    const long until = now_ms() + longest_ms;
    for (long now = now_ms(); active_ && now < until && now - last_input_ms_ < quiet_ms;
         now = now_ms()) {
        const long quiet_left = quiet_ms - (now - last_input_ms_);
        pollfd input{terminal_fd, POLLIN, 0};
        if (::poll(&input, 1,
                   static_cast<int>(quiet_left < until - now ? quiet_left : until - now)) > 0)
            discard();
    }
    discard();
}

void Terminal::release() {
    if (!active_)
        return;
    terminal_held = 0;
    put_terminal_back();
    active_ = false;
}
