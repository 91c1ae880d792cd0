// SPDX-License-Identifier: GPL-2.0-only
// drummet driven as a user and a client would drive it: the test types on its
// standard input and plays the client on fifo1 and fifo2.

#include "support.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string label_and(std::string_view reply) {
    return std::string(reply_label) + std::string(reply);
}

struct Exchange {
    std::string message; // what arrived on fifo1 in the first read ("" for end of file)
    Outcome outcome;
};

// The rest of a run of a drummet started in `dir`: connect, type `input`, take
// the message, answer `reply` in one write (or close fifo2 without answering
// if it is empty).
Exchange exchange_with(Process &drummet, const fs::path &dir, std::string_view input,
                       std::string_view reply) {
    ClientEnds client = connect_as_client(dir);
    drummet.write_stdin(input);
    drummet.close_stdin();
    Exchange result;
    auto message = read_once(client.message.get());
    EXPECT_TRUE(message.has_value()) << "no message within the time limit";
    result.message = message.value_or("<timeout>");
    if (!reply.empty()) {
        EXPECT_TRUE(write_once(client.reply.get(), reply));
    }
    client.reply.reset();
    result.outcome = drummet.finish();
    return result;
}

// One whole run, from the start of drummet.
Exchange exchange(const fs::path &dir, std::string_view input, std::string_view reply,
                  const SpawnOptions &options = {}, const std::string &program = drummet_path()) {
    Process drummet({program}, dir, options);
    return exchange_with(drummet, dir, input, reply);
}

// A run that went as it should: `message` arrived whole and `reply` was printed
// under the label, with nothing on standard error and status 0.
void expect_clean_run(const Exchange &run, std::string_view message, std::string_view reply) {
    EXPECT_EQ(run.message, message);
    EXPECT_EQ(run.outcome.out, std::string(prompt_text) + label_and(reply));
    EXPECT_EQ(run.outcome.err, "");
    EXPECT_TRUE(run.outcome.exited);
    EXPECT_EQ(run.outcome.status, 0);
}

bool is_named_pipe(const fs::path &path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

class DrummetTest : public ::testing::Test {
  protected:
    TempDir dir;
};

// ---------------------------------------------------------------------------
// The dialogue and the exchange, byte for byte.

TEST_F(DrummetTest, PrintsPromptsThenTheReplyExactlyAsReceived) {
    expect_clean_run(exchange(dir.path(), "hello`", "bytes: 5\nwords: 1"), "hello",
                     "bytes: 5\nwords: 1");
}

TEST_F(DrummetTest, MessageSpansLinesAndStopsAtTheBacktick) {
    EXPECT_EQ(exchange(dir.path(), "ab\ncd`\n", "ok").message, "ab\ncd");
    EXPECT_EQ(exchange(dir.path(), "hello` world", "ok").message, "hello");
}

TEST_F(DrummetTest, HighBytesAreMessageBytesAndOnlyTheBacktickEnds) {
    const std::string input = std::string("a\xff\x80\x7f\x01 \t\r\x5f\x61z") + "`";
    expect_clean_run(exchange(dir.path(), input, "ok"), input.substr(0, input.size() - 1), "ok");
}

TEST_F(DrummetTest, NulInsideTheMessageEndsWhatIsSent) {
    expect_clean_run(exchange(dir.path(), std::string("abc\0def`", 8), "ok"), "abc", "ok");
    // What follows the NUL is no part of the message, so the limit cuts none of it.
    const std::string long_tail = std::string("abc\0", 4) + std::string(2000, 'x') + "`";
    expect_clean_run(exchange(dir.path(), long_tail, "ok"), "abc", "ok");
}

TEST_F(DrummetTest, MessageOf999BytesArrivesWholeInOneRead) {
    std::string message(999, 'x');
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>('a' + i % 26);
    expect_clean_run(exchange(dir.path(), message + "`", "ok"), message, "ok");
}

TEST_F(DrummetTest, ReplyOf1000BytesIsPrintedWholeWithoutANewlineAdded) {
    std::string reply(1000, 'r');
    reply.front() = '<';
    reply.back() = '>';
    expect_clean_run(exchange(dir.path(), "m`", reply), "m", reply);
}

TEST_F(DrummetTest, LongerReplyIsCutToTheFirst1000Bytes) {
    std::string reply(1500, 'r');
    reply[999] = '|';
    expect_clean_run(exchange(dir.path(), "m`", reply), "m", reply.substr(0, 1000));
}

TEST_F(DrummetTest, ReplyInTwoWritesIsCutToWhatTheFirstReadReturns) {
    Process drummet({drummet_path()}, dir.path());
    ClientEnds client = connect_as_client(dir.path());
    drummet.write_stdin("m`");
    drummet.close_stdin();
    ASSERT_EQ(read_once(client.message.get()), "m");
    ASSERT_TRUE(write_once(client.reply.get(), "first part\n"));
    // drummet must take the first part alone and finish; its output ends when it exits.
    EXPECT_EQ(drummet.take_stdout(), std::string(prompt_text) + label_and("first part\n"));
    EXPECT_FALSE(write_once(client.reply.get(), "second part\n")) << "nobody reads it";
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(DrummetTest, OneByteReplyIsPrinted) {
    expect_clean_run(exchange(dir.path(), "m`", "x"), "m", "x");
}

TEST_F(DrummetTest, ClientClosingFifo2WithoutReplyEndsWithStatusZero) {
    auto run = exchange(dir.path(), "hello`", "");
    EXPECT_EQ(run.message, "hello");
    EXPECT_EQ(run.outcome.out, prompt_text);
    EXPECT_EQ(run.outcome.err, "");
    EXPECT_TRUE(run.outcome.exited);
    EXPECT_EQ(run.outcome.status, 0);
}

TEST_F(DrummetTest, CreatesFifo2OnlyAfterTheClientOpenedFifo1) {
    Process drummet({drummet_path()}, dir.path());
    ASSERT_TRUE(wait_for_path(dir / "fifo1"));
    EXPECT_TRUE(is_named_pipe(dir / "fifo1"));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(fs::exists(dir / "fifo2")) << "fifo2 must not exist before fifo1 is opened";
    EXPECT_TRUE(drummet.running());

    ClientEnds client = connect_as_client(dir.path());
    EXPECT_TRUE(is_named_pipe(dir / "fifo2"));
    EXPECT_EQ(fs::status(dir / "fifo1").permissions() & fs::perms::owner_all, fs::perms::owner_all);
    drummet.close_stdin();
}

TEST_F(DrummetTest, PipesHaveMode0777LessTheUmask) {
    for (const mode_t mask : {000, 022, 077}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        TempDir here;
        SpawnOptions options;
        options.in_child = [mask] { ::umask(mask); };
        expect_clean_run(exchange(here.path(), "m`", "ok", options), "m", "ok");
        for (const char *name : {"fifo1", "fifo2"}) {
            struct stat st{};
            ASSERT_EQ(::lstat((here / name).c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << name;
            EXPECT_EQ(st.st_mode & 07777, 0777 & ~mask) << name;
        }
    }
}

TEST_F(DrummetTest, ReusesNodesLeftByAnEarlierRun) {
    EXPECT_EQ(exchange(dir.path(), "first`", "one").outcome.status, 0);
    ASSERT_TRUE(is_named_pipe(dir / "fifo1"));
    ASSERT_TRUE(is_named_pipe(dir / "fifo2"));
    expect_clean_run(exchange(dir.path(), "second`", "two"), "second", "two");
}

// On a terminal the prompts show as soon as both pipes have a partner, and not
// before: a user typing early would otherwise type without a prompt.
TEST_F(DrummetTest, PromptsShowOnATerminalOnlyOnceBothPipesAreOpen) {
    Terminal tty = open_terminal(true);
    Fd &terminal = tty.screen, &child_side = tty.line;
    SpawnOptions options;
    options.stdout_fd = child_side.get();
    Process drummet({drummet_path()}, dir.path(), options);
    child_side.reset();

    auto nothing_yet = [&] {
        auto seen = read_once(terminal.get(), 300ms);
        return !seen.has_value();
    };
    EXPECT_TRUE(nothing_yet()) << "printed before any client";
    Fd message = open_reader(dir / "fifo1");
    ASSERT_TRUE(wait_for_path(dir / "fifo2"));
    EXPECT_TRUE(nothing_yet()) << "printed before fifo2 had a partner";
    Fd reply = open_writer(dir / "fifo2");

    std::string seen;
    while (seen.size() < prompt_text.size()) {
        auto more = read_once(terminal.get());
        ASSERT_TRUE(more.has_value()) << "prompt incomplete: " << seen;
        seen += *more;
    }
    EXPECT_EQ(seen, prompt_text);
    drummet.close_stdin();
}

// What follows the backtick on a terminal was meant for drummet: the shell, which
// reads the terminal next, must not get it.
TEST_F(DrummetTest, OnATerminalWhatFollowsTheBacktickNeverReachesTheShell) {
    Terminal tty = open_terminal(false);
    Fd &keyboard = tty.screen, &terminal = tty.line;
    SpawnOptions options;
    options.stdin_pipe = false;
    options.in_child = [fd = terminal.get()] { ::dup2(fd, STDIN_FILENO); };
    Process drummet({drummet_path()}, dir.path(), options);
    // All of it waits on the terminal before drummet reads a byte.
    ASSERT_TRUE(write_once(keyboard.get(), "Run `make` in the build folder, then\ntouch X\n"));
    ClientEnds client = connect_as_client(dir.path());
    EXPECT_EQ(read_once(client.message.get()), "Run ");
    client.reply.reset();
    EXPECT_EQ(drummet.finish().status, 0);
    ASSERT_TRUE(write_once(keyboard.get(), "echo next\n"));
    EXPECT_EQ(read_once(terminal.get()), "echo next\n");
}

// Types on the terminal as fast as it takes the text, as a paste does; false
// when it would not take it all in time.
bool type_on(int keyboard, std::string_view text) {
    const auto deadline = Clock::now() + patience;
    while (!text.empty() && Clock::now() < deadline) {
        pollfd room{keyboard, POLLOUT, 0};
        if (::poll(&room, 1, 100) <= 0)
            continue;
        const ssize_t took = ::write(keyboard, text.data(), text.size());
        if (took > 0)
            text.remove_prefix(static_cast<std::size_t>(took));
    }
    return text.empty();
}

// A paste goes on arriving once drummet has its message: a large one as the
// terminal makes room for it, and one from ssh in pieces, the later ones after
// the client has answered, and some ending inside a line. None of it may reach
// the shell, whether the terminal is drummet's controlling terminal or not.
TEST_F(DrummetTest, OnATerminalNothingOfAPasteReachesTheShell) {
    std::string lines;
    for (int n = 0; lines.size() < 64 * 1024; ++n)
        lines += "echo LEAKED " + std::to_string(n) + "\n";
    const std::vector<std::string> later_pieces{"xxxxxxxx", "yyyyyyyy", "zzzzzzzz",
                                                "\necho LEAKED\n"};
    for (const bool controlling : {false, true}) {
        for (const bool in_pieces : {false, true}) {
            SCOPED_TRACE(std::string(controlling ? "controlling terminal" : "other terminal") +
                         (in_pieces ? ", pieces 100 ms apart" : ", 64 KiB at once"));
            // The pieces must come 100 ms apart; when the test itself is held up
            // longer by a busy machine, the run proves nothing and is made again.
            for (int attempt = 1;; ++attempt) {
                TempDir here;
                Terminal tty = open_terminal(false);
                termios mode{};
                ASSERT_EQ(::tcgetattr(tty.line.get(), &mode), 0);
                mode.c_lflag &= ~static_cast<tcflag_t>(ECHO); // nobody reads the echo here
                ASSERT_EQ(::tcsetattr(tty.line.get(), TCSANOW, &mode), 0);
                ASSERT_EQ(::fcntl(tty.screen.get(), F_SETFL, O_NONBLOCK), 0);
                SpawnOptions options;
                options.stdin_pipe = false;
                options.in_child = [fd = tty.line.get(), controlling] {
                    if (controlling && (::setsid() < 0 || ::ioctl(fd, TIOCSCTTY, 0) != 0))
                        ::_exit(125);
                    ::dup2(fd, STDIN_FILENO);
                };
                Process drummet({drummet_path()}, here.path(), options);
                ClientEnds client = connect_as_client(here.path());
                const std::string first = "hello`\n" + lines.substr(0, in_pieces ? 290 : 1 << 16);
                ASSERT_TRUE(type_on(tty.screen.get(), first));
                auto typed = Clock::now();
                EXPECT_EQ(read_once(client.message.get()), "hello");
                ASSERT_TRUE(write_once(client.reply.get(), "ok"));
                auto longest_gap = 0ms;
                for (std::size_t i = 0; in_pieces && i < later_pieces.size(); ++i) {
                    std::this_thread::sleep_until(typed + 100ms);
                    const auto gap =
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - typed);
                    longest_gap = std::max(longest_gap, gap);
                    ASSERT_TRUE(type_on(tty.screen.get(), later_pieces[i]));
                    typed = Clock::now();
                }
                EXPECT_EQ(drummet.finish().status, 0);
                if (longest_gap > 200ms && attempt < 5)
                    continue;
                ASSERT_LE(longest_gap, 200ms) << "the machine was too busy to type in time";
                ASSERT_TRUE(type_on(tty.screen.get(), "echo next\n"));
                EXPECT_EQ(read_once(tty.line.get()), "echo next\n");
                break;
            }
        }
    }
}

// While it empties the terminal, drummet holds it out of canonical mode; ended
// by a signal there (Ctrl-C), it leaves the terminal as it found it.
TEST_F(DrummetTest, OnATerminalASignalLeavesItAsFound) {
    Terminal tty = open_terminal(false);
    Process drummet({drummet_path()}, dir.path(), with_terminal_as(STDIN_FILENO, tty));
    ClientEnds client = connect_as_client(dir.path());
    ASSERT_TRUE(write_once(tty.screen.get(), "hi`\n"));
    EXPECT_EQ(read_once(client.message.get()), "hi");
    ::kill(drummet.pid(), SIGINT);
    EXPECT_EQ(drummet.finish().signal, SIGINT);
    termios mode{};
    ASSERT_EQ(::tcgetattr(tty.line.get(), &mode), 0);
    EXPECT_NE(mode.c_lflag & ICANON, 0U);
}

// Started alone on a terminal, drummet says once what it waits for and how to
// give it a client; doing as it says makes the exchange. A folder's name shows
// as one line, escape sequences, newlines and all, and the suggested command
// still reaches the folder when a shell runs it.
TEST_F(DrummetTest, OnATerminalSaysOnceWhatItWaitsFor) {
    struct Case {
        const char *name, *shown, *word;
    };
    for (const Case &c : {Case{"it's here", "it's here", "it'\\''s here'"},
                          Case{"x\033]0;TITLE\a\033[2Jy", "x\\033]0;TITLE\\007\\033[2Jy')\"",
                               "x\\033]0;TITLE\\007\\033[2Jy')\""},
                          Case{"%\\\xff\n", "%%\\\\\\377\\012')\"", "%%\\\\\\377\\012/')\""}}) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.name)));
        const std::string parent = fs::canonical(dir.path()).string() + "/";
        const fs::path folder = parent + c.name;
        fs::create_directory(folder);
        Terminal tty = open_terminal(true);
        Fd &screen = tty.screen, &terminal = tty.line;
        SpawnOptions options;
        options.in_child = [fd = terminal.get()] { ::dup2(fd, STDERR_FILENO); };
        Process drummet({drummet_path()}, folder, options);
        terminal.reset();
        std::string said;
        while (!said.ends_with("\n"))
            said += read_once(screen.get()).value_or("\n(nothing more in time)\n");
        const bool plain = std::string_view(c.shown) == c.name;
        const std::string advice =
            "drummet-client -C " + std::string(plain ? "'" : "\"$(printf '") + parent + c.word;
        EXPECT_EQ(said, "drummet: waiting for a client to open fifo1 in " +
                            (plain ? parent : "\"$(printf '" + parent) + c.shown +
                            "; start one with: " + advice + "\n");

        const std::string path = fs::path(client_path()).parent_path().string() + ":/usr/bin:/bin";
        Process shell({"/bin/sh", "-c", "PATH=" + path + " exec " + advice}, "/");
        drummet.write_stdin("hello`");
        drummet.close_stdin();
        EXPECT_EQ(drummet.finish().status, 0);
        EXPECT_EQ(shell.finish().status, 0);
        std::array<char, 64> more{};
        EXPECT_LT(::read(screen.get(), more.data(), more.size()), 0) << "said more than once";
    }
}

// A folder whose path is longer than PATH_MAX has no name a command could give
// a client, and "." would lead it astray: no command then.
TEST_F(DrummetTest, OnATerminalSuggestsNoCommandForAPathTooLong) {
    std::vector<std::string> steps;
    for (std::size_t length = 0; length <= PATH_MAX; length += 201)
        steps.push_back(std::string(200, static_cast<char>('a' + steps.size())));
    Terminal tty = open_terminal(true);
    SpawnOptions options;
    options.in_child = [&steps, fd = tty.line.get()] {
        for (const std::string &step : steps)
            if (::mkdir(step.c_str(), 0700) != 0 || ::chdir(step.c_str()) != 0)
                ::_exit(125);
        ::dup2(fd, STDERR_FILENO);
    };
    Process drummet({drummet_path()}, dir.path(), options);
    tty.line.reset();
    std::string said;
    while (!said.ends_with("\n"))
        said += read_once(tty.screen.get()).value_or("\n(nothing more in time)\n");
    EXPECT_EQ(said, "drummet: waiting for a client to open fifo1 in the current folder, whose "
                    "path is longer than PATH_MAX\n");
    (void)drummet.finish(0ms);
    // Too deep for the temporary folder's own clean-up.
    EXPECT_EQ(Process({"/bin/rm", "-rf", (dir / steps.front()).string()}, "/").finish().status, 0);
}

// Reads what `screen` shows until it holds `lines` lines.
std::string read_lines(const Fd &screen, int lines) {
    std::string said;
    for (int seen = 0; seen < lines;) {
        const std::string more = read_once(screen.get()).value_or("(nothing more in time)\n");
        said += more;
        seen += static_cast<int>(std::count(more.begin(), more.end(), '\n'));
    }
    return said;
}

// On a terminal, the user is told how a message ends before typing it, on
// standard error: standard output carries the dialogue alone.
TEST_F(DrummetTest, OnATerminalSaysHowTheMessageEnds) {
    Terminal tty = open_terminal(true);
    Terminal keyboard = open_terminal(false);
    SpawnOptions options;
    options.stdin_pipe = false;
    options.in_child = [err = tty.line.get(), in = keyboard.line.get()] {
        ::dup2(err, STDERR_FILENO);
        ::dup2(in, STDIN_FILENO);
    };
    Process drummet({drummet_path()}, dir.path(), options);
    tty.line.reset();
    ClientEnds client = connect_as_client(dir.path());
    const std::string hint = "drummet: end the message with a backtick (`), then press Enter; or "
                             "press Ctrl-D at the start of a line\n";
    std::string said;
    while (!said.ends_with(hint) && !said.ends_with("(nothing more in time)\n"))
        said += read_lines(tty.screen, 1);
    EXPECT_TRUE(said.ends_with(hint)) << said;
    ASSERT_TRUE(write_once(keyboard.screen.get(), "hi`\n"));
    EXPECT_EQ(read_once(client.message.get()), "hi");
    ASSERT_TRUE(write_once(client.reply.get(), "ok"));
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.out, std::string(prompt_text) + label_and("ok"));
    EXPECT_EQ(outcome.status, 0);
}

// With the usual umask a pipe in a folder others can reach is open to them:
// on a terminal drummet says so once, and goes on. In a folder of one's own it
// says nothing.
TEST_F(DrummetTest, OnATerminalWarnsWhenOthersMayReadTheMessage) {
    for (const bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "a folder others can reach" : "a folder of one's own");
        TempDir here{"/tmp"};
        fs::permissions(here.path(), fs::perms(shared ? 0755 : 0700));
        Terminal tty = open_terminal(true);
        SpawnOptions options;
        options.in_child = [fd = tty.line.get()] {
            ::dup2(fd, STDERR_FILENO);
            ::umask(022);
        };
        Process drummet({drummet_path()}, here.path(), options);
        tty.line.reset();
        const std::string said = read_lines(tty.screen, shared ? 2 : 1);
        const std::string warning =
            "drummet: fifo1: others may open it and take the message (mode 0755, in a folder "
            "they can reach); use a folder only you can enter (mktemp -d), or umask 077\n";
        EXPECT_EQ(said.starts_with(warning), shared) << said;
        EXPECT_NE(said.find("drummet: waiting for a client"), std::string::npos) << said;
        ClientEnds client = connect_as_client(here.path());
        drummet.write_stdin("hi`");
        drummet.close_stdin();
        EXPECT_EQ(read_once(client.message.get()), "hi");
        ASSERT_TRUE(write_once(client.reply.get(), "ok"));
        EXPECT_EQ(drummet.finish().status, 0);
    }
}

// Whatever way a run ends once drummet has begun to wait, what was typed for
// it is not left for the shell: not when a refusal ends it after a client
// connected, nor when kill(1) ends it (Ctrl-C empties the terminal itself).
TEST_F(DrummetTest, OnATerminalAFailureLeavesNothingTypedForTheShell) {
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed with SIGTERM while it waits" : "fifo2 refused");
        TempDir here;
        Terminal tty = open_terminal(false);
        Process drummet({drummet_path()}, here.path(), with_terminal_as(STDIN_FILENO, tty));
        ASSERT_TRUE(blocked_opening(drummet.pid(), here / "fifo1"));
        ASSERT_TRUE(write_once(tty.screen.get(), "my secret`\necho LEAKED\n"));
        Fd message;
        if (killed) {
            ::kill(drummet.pid(), SIGTERM);
            EXPECT_EQ(drummet.finish().signal, SIGTERM);
        } else {
            fs::create_directory(here / "fifo2");
            message = open_reader(here / "fifo1");
            const Outcome outcome = drummet.finish();
            EXPECT_EQ(outcome.err, "drummet: fifo2: is a directory, not a named pipe\n");
            EXPECT_EQ(outcome.status, 255);
        }
        ASSERT_TRUE(write_once(tty.screen.get(), "echo next\n"));
        EXPECT_EQ(read_once(tty.line.get()), "echo next\n");
    }
}

// A key held down, or a noisy serial line, never lets the terminal fall quiet:
// drummet stops emptying it after a few seconds and ends.
TEST_F(DrummetTest, OnATerminalInputThatNeverStopsDoesNotKeepItRunning) {
    Terminal tty = open_terminal(false);
    Process drummet({drummet_path()}, dir.path(), with_terminal_as(STDIN_FILENO, tty));
    ClientEnds client = connect_as_client(dir.path());
    ASSERT_TRUE(write_once(tty.screen.get(), "hi`\n"));
    EXPECT_EQ(read_once(client.message.get()), "hi");
    ASSERT_TRUE(write_once(client.reply.get(), "ok"));
    const auto deadline = Clock::now() + patience;
    while (drummet.running() && Clock::now() < deadline) {
        ASSERT_TRUE(write_once(tty.screen.get(), "x"));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_FALSE(drummet.running()) << "still emptying the terminal";
    EXPECT_EQ(drummet.finish().status, 0);
}

// Stopped with Ctrl-Z and brought back with fg, straight away or after bg,
// drummet takes the terminal again: what is typed while the reply is awaited
// never reaches the shell. A real shell's job control drives it.
TEST_F(DrummetTest, OnATerminalBackFromCtrlZItTakesTheTerminalAgain) {
    for (const bool via_bg : {false, true}) {
        SCOPED_TRACE(via_bg ? "Ctrl-Z, bg, fg" : "Ctrl-Z, fg");
        TempDir here;
        OnATerminal shell({"/bin/bash", "--norc", "--noprofile", "-i"},
                          {"PS1=$ ", "TERM=dumb", "PATH=/usr/bin:/bin"});
        ASSERT_TRUE(shell.wait_for("$ ")) << shell.screen();
        std::size_t mark = shell.mark();
        shell.type("cd '" + here.path().string() + "'\n");
        ASSERT_TRUE(shell.wait_for("$ ", mark)) << shell.screen();
        shell.type(drummet_path() + "\n");
        ClientEnds client = connect_as_client(here.path());
        ASSERT_TRUE(shell.wait_for("Enter message : ")) << shell.screen();
        shell.type("hello`\n");
        EXPECT_EQ(read_once(client.message.get()), "hello");
        mark = shell.mark();
        shell.type("\x1a");
        ASSERT_TRUE(shell.wait_for("Stopped", mark)) << shell.screen();
        if (via_bg) {
            mark = shell.mark();
            shell.type("bg\n");
            ASSERT_TRUE(shell.wait_for("&", mark)) << shell.screen();
            ASSERT_TRUE(shell.wait_for("$ ", mark)) << shell.screen();
        }
        mark = shell.mark();
        shell.type("fg\n");
        // bash names the job it brings back once it has read the line and put
        // the terminal back in its own mode: from then on only drummet takes it.
        ASSERT_TRUE(shell.wait_for(drummet_path() + "\r\n", mark)) << shell.screen();
        const auto deadline = Clock::now() + patience;
        while ((shell.mode().c_lflag & ICANON) != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(shell.mode().c_lflag & ICANON, 0U) << "the terminal was not taken again";
        mark = shell.mark();
        shell.type("echo LEAK$((1+1))\n");
        // Not echoed: what drummet discards does not show as if it were taken.
        ASSERT_TRUE(shell.wait_for("drummet: what was typed after the message is discarded, not "
                                   "run\r\n",
                                   mark))
            << shell.screen();
        EXPECT_EQ(shell.screen().find("LEAK$((1+1))", mark), std::string::npos) << shell.screen();
        ASSERT_TRUE(write_once(client.reply.get(), "ok"));
        client.reply.reset();
        ASSERT_TRUE(shell.wait_for("Stats recieved from client: \r\nok", mark)) << shell.screen();
        ASSERT_TRUE(shell.wait_for("$ ", mark)) << shell.screen();
        shell.type("echo done\n");
        ASSERT_TRUE(shell.wait_for("\ndone\r\n", mark)) << shell.screen();
        EXPECT_EQ(shell.screen().find("LEAK2", mark), std::string::npos) << shell.screen();
        shell.type("exit\n");
        shell.finish();
    }
}

// A client that opens fifo1 and leaves before it opens fifo2 (it refused
// fifo2, say) must not leave drummet waiting in silence: off a terminal the
// run ends with a line that says so; on one, drummet says it waits for a client
// again, and a client that comes, after fifo2 was removed too, makes the
// exchange.
TEST_F(DrummetTest, AClientThatLeavesBeforeFifo2IsNoticed) {
    {
        Process drummet({drummet_path()}, dir.path());
        Fd message = open_reader(dir / "fifo1");
        ASSERT_TRUE(wait_for_path(dir / "fifo2"));
        message.reset();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "drummet: fifo1: the client left before it opened fifo2\n");
        EXPECT_EQ(outcome.status, 255);
    }
    // Also where both names are links into another folder, whose lock drummet
    // takes again as it judges them anew.
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "links into another folder" : "pipes of the folder");
        TempDir here, there;
        const fs::path &pipes = linked ? there.path() : here.path();
        if (linked) {
            ASSERT_EQ(::mkfifo((there / "fifo1").c_str(), 0600), 0);
            ASSERT_EQ(::mkfifo((there / "fifo2").c_str(), 0600), 0);
            fs::create_symlink(there / "fifo1", here / "fifo1");
            fs::create_symlink(there / "fifo2", here / "fifo2");
        }
        Terminal tty = open_terminal(true);
        Process drummet({drummet_path()}, here.path(), with_terminal_as(STDERR_FILENO, tty));
        tty.line.reset();
        EXPECT_TRUE(read_lines(tty.screen, 1).starts_with("drummet: waiting for a client"));
        Fd message = open_reader(here / "fifo1");
        ASSERT_TRUE(blocked_opening(drummet.pid(), pipes / "fifo2"));
        message.reset();
        EXPECT_EQ(read_lines(tty.screen, 1), "drummet: fifo1: the client left before it opened "
                                             "fifo2; waiting for a client again\n");
        if (!linked)
            fs::remove(here / "fifo2");
        expect_clean_run(exchange_with(drummet, here.path(), "again`", "ok"), "again", "ok");
    }
}

// The client's way out of a refused pipe is to remove it and start again:
// drummet waits on what the name leads to now, never on a node that has gone.
// So does the client, started before drummet.
TEST_F(DrummetTest, WaitsOnThePipeThatIsThereNow) {
    for (const char *name : {"fifo1", "fifo2"}) {
        SCOPED_TRACE(name);
        TempDir here;
        Process drummet({drummet_path()}, here.path());
        Fd message;
        if (std::string_view(name) == "fifo2")
            message = open_reader(here / "fifo1");
        ASSERT_TRUE(blocked_opening(drummet.pid(), here / name));
        fs::remove(here / name);
        ASSERT_EQ(::mkfifo((here / name).c_str(), 0600), 0);
        if (!message.valid())
            message = open_reader(here / "fifo1");
        Fd reply = open_writer(here / "fifo2");
        ASSERT_TRUE(reply.valid());
        drummet.write_stdin("there`");
        drummet.close_stdin();
        EXPECT_EQ(read_once(message.get()), "there");
        ASSERT_TRUE(write_once(reply.get(), "ok"));
        reply.reset();
        EXPECT_EQ(drummet.finish().status, 0);
    }
    TempDir here;
    Process client({client_path()}, here.path());
    ASSERT_TRUE(blocked_opening(client.pid(), here / "fifo1"));
    fs::remove(here / "fifo1");
    Process drummet({drummet_path()}, here.path());
    drummet.write_stdin("both`");
    drummet.close_stdin();
    const Outcome sent = drummet.finish();
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find(std::string(reply_label) + "bytes: 4\n"), std::string::npos)
        << sent.out;
    EXPECT_EQ(client.finish().status, 0);
}

// ---------------------------------------------------------------------------
// Input that the gathering has to survive.

TEST_F(DrummetTest, EndOfInputEndsTheMessageLikeTheBacktick) {
    expect_clean_run(exchange(dir.path(), "no terminator\n", "ok"), "no terminator\n", "ok");
}

// Standard input for a run: a pipe (of packets, with O_DIRECT) or a socket
// (of datagrams) that holds `writes`, and the test's own copy of that end, to read
// what is left.
struct SharedInput {
    Fd drummet_end, rest_end;
};

enum class Kind { pipe, packets, socket, datagrams };

SharedInput shared_input(Kind kind, const std::vector<std::string> &writes) {
    std::array<int, 2> ends{};
    if (kind == Kind::socket || kind == Kind::datagrams)
        EXPECT_EQ(::socketpair(AF_UNIX,
                               (kind == Kind::socket ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0,
                               ends.data()),
                  0);
    else
        EXPECT_EQ(::pipe2(ends.data(), O_CLOEXEC | (kind == Kind::packets ? O_DIRECT : 0)), 0);
    Fd ours{ends[0]}, theirs{ends[1]};
    for (const std::string &write : writes)
        EXPECT_TRUE(write_once(theirs.get(), write));
    Fd copy{::fcntl(ours.get(), F_DUPFD_CLOEXEC, 0)};
    return {std::move(ours), std::move(copy)}; // `theirs` closes: no more will come
}

SpawnOptions reading(const Fd &input) {
    SpawnOptions options;
    options.stdin_pipe = false;
    options.in_child = [fd = input.get()] { ::dup2(fd, STDIN_FILENO); };
    return options;
}

// What follows the backtick in a pipe or a socket is for whoever reads it
// next, as in a file: drummet reads up to the backtick and not a byte further.
// A pipe of packets gives a whole packet to each read: the message comes whole
// from several, only the rest of the backtick's own packet is lost, and the
// packets after it stay.
TEST_F(DrummetTest, FromAPipeOrASocketReadsUpToTheBacktickAndNoFurther) {
    struct Case {
        const char *name;
        Kind kind;
        std::vector<std::string> writes;
        std::string arrives, err, rest;
    };
    const std::vector<Case> cases = {
        {"pipe", Kind::pipe, {"first`second message`"}, "first", "", "second message`"},
        {"pipe, 5000 bytes after it",
         Kind::pipe,
         {"first`" + std::string(5000, 'r')},
         "first",
         "",
         std::string(5000, 'r')},
        {"packets", Kind::packets, {"hel", "lo`rest", "next`"}, "hello", "", "next`"},
        {"packets longer than a look at them",
         Kind::packets,
         {std::string(3000, 'a'), std::string(2000, 'b') + "`" + std::string(999, 'c'), "second`"},
         std::string(999, 'a'),
         "drummet: fifo1: message longer than 999 bytes, 4001 bytes dropped\n",
         "second`"},
        {"stream socket", Kind::socket, {"first`", "second`"}, "first", "", "second`"},
        {"datagrams, one of them empty",
         Kind::datagrams,
         {"hel", "", "lo`rest", "next`"},
         "hello",
         "",
         "next`"},
        {"a datagram longer than a look at it",
         Kind::datagrams,
         {std::string(4500, 'a') + "`" + std::string(499, 'b'), "second`"},
         "",
         "drummet: stdin: holds a record longer than drummet can look at, so where the message "
         "ends is not known: nothing is sent\n",
         std::string(4500, 'a') + "`" + std::string(499, 'b') + "second`"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir here;
        SharedInput input = shared_input(c.kind, c.writes);
        Process drummet({drummet_path()}, here.path(), reading(input.drummet_end));
        input.drummet_end.reset();
        ClientEnds client = connect_as_client(here.path());
        EXPECT_EQ(read_once(client.message.get()), c.arrives);
        (void)write_once(client.reply.get(), "ok"); // drummet may be gone already
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.status, c.err.empty() ? 0 : 255);
        // Datagrams come one a read, and have no end.
        std::string rest;
        if (c.kind != Kind::datagrams)
            rest = read_to_eof(input.rest_end.get()).value_or("<no end>");
        while (c.kind == Kind::datagrams && rest.size() < c.rest.size()) {
            const auto datagram = read_once(input.rest_end.get());
            if (!datagram)
                break;
            rest += *datagram;
        }
        EXPECT_EQ(rest, c.rest);
    }
}

// Reading a pipe exactly takes a pipe of drummet's own. Without a descriptor
// to spare for it (strace makes pipe2 fail), it says so before any pipe is
// made, and leaves the input as it was: reading a byte at a time would cut
// every packet of a pipe of packets down to its first byte.
TEST_F(DrummetTest, FromAPipeWithoutADescriptorToSpareNothingIsRead) {
    SharedInput input = shared_input(Kind::packets, {"hello world`", "next`"});
    Process drummet({STRACE_PATH, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                     "-e", "trace=pipe2", "-e", "inject=pipe2:error=EMFILE", drummet_path()},
                    dir.path(), reading(input.drummet_end));
    input.drummet_end.reset();
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.err, "drummet: stdin: is a pipe, which needs a pipe of its own to be read "
                           "up to the backtick and no further: Too many open files\n");
    EXPECT_EQ(outcome.status, 255);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    std::string left;
    for (int packet = 0; packet < 2; ++packet)
        left += read_once(input.rest_end.get()).value_or("<nothing>") + "|";
    EXPECT_EQ(left, "hello world`|next`|");
}

// Another reader of the same pipe may take bytes between drummet's look at
// them and its read: then what drummet read is not what it saw, the message is
// not known, and nothing is sent.
TEST_F(DrummetTest, FromAPipeAnotherReaderMeanwhileMeansNothingIsSent) {
    std::array<int, 2> ends{};
    ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
    Fd from{ends[0]}, to{ends[1]}; // kept open: more may come
    ASSERT_TRUE(write_once(to.get(), "first`second`"));
    SpawnOptions options = reading(from);
    options.in_child = [fd = from.get()] {
        ::dup2(fd, STDIN_FILENO);
        stop_for_tracing();
    };
    Process drummet({drummet_path()}, dir.path(), options);
    ClientEnds client;
    std::thread connecting([&] { client = connect_as_client(dir.path()); });
    std::array<char, 3> taken{};
    const bool interrupted = interrupt_at_call(
        drummet.pid(),
        [](long call, const unsigned long long *args) { return call == SYS_read && args[0] == 0; },
        [&] { EXPECT_EQ(::read(from.get(), taken.data(), taken.size()), 3); });
    connecting.join();
    ASSERT_TRUE(interrupted);
    EXPECT_EQ(std::string(taken.data(), taken.size()), "fir");
    EXPECT_EQ(read_to_eof(client.message.get()), "") << "a message was sent";
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.err, "drummet: stdin: another process read from it at the same time, so "
                           "the message is not known: nothing is sent\n");
    EXPECT_EQ(outcome.status, 255);
}

// Input left non-blocking (by a program that crashed, say) has nothing yet
// more often than not, and a terminal out of canonical mode with no minimum
// to read gives nothing when the user pauses: drummet waits for more.
TEST_F(DrummetTest, WaitsForInputThatHasNothingYet) {
    enum class Kind { pipe, terminal, terminal_with_no_minimum };
    for (const Kind kind : {Kind::pipe, Kind::terminal, Kind::terminal_with_no_minimum}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TempDir here;
        std::array<int, 2> ends{};
        ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
        Fd from{ends[0]}, to{ends[1]};
        Terminal tty = open_terminal(false);
        if (kind == Kind::terminal_with_no_minimum) {
            termios mode{};
            ASSERT_EQ(::tcgetattr(tty.line.get(), &mode), 0);
            mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
            mode.c_cc[VMIN] = 0;
            mode.c_cc[VTIME] = 1;
            ASSERT_EQ(::tcsetattr(tty.line.get(), TCSANOW, &mode), 0);
        }
        SpawnOptions options;
        options.stdin_pipe = false;
        options.in_child = [fd = kind == Kind::pipe ? from.get() : tty.line.get(), kind] {
            ::dup2(fd, STDIN_FILENO);
            if (kind != Kind::terminal_with_no_minimum)
                ::fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
        };
        Process drummet({drummet_path()}, here.path(), options);
        ClientEnds client = connect_as_client(here.path());
        const int typing = kind == Kind::pipe ? to.get() : tty.screen.get();
        ASSERT_TRUE(write_once(typing, "hel"));
        ASSERT_TRUE(blocked_in(drummet.pid(), {SYS_poll, SYS_ppoll}));
        ASSERT_TRUE(write_once(typing, "lo`\n"));
        EXPECT_EQ(read_once(client.message.get()), "hello");
        ASSERT_TRUE(write_once(client.reply.get(), "ok"));
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST_F(DrummetTest, OverlongMessageIsCutTo999BytesAndTheCutReported) {
    std::string input(1500, 'y');
    input[998] = 'L';  // last byte kept
    input[999] = 'D';  // first byte dropped
    input[1400] = '`'; // bytes after the terminator are not counted as dropped
    auto run = exchange(dir.path(), input, "ok");
    EXPECT_EQ(run.message, input.substr(0, 999));
    EXPECT_EQ(run.outcome.out, std::string(prompt_text) + label_and("ok"));
    EXPECT_EQ(run.outcome.err,
              "drummet: fifo1: message longer than 999 bytes, 401 bytes dropped\n");
    EXPECT_EQ(run.outcome.status, 255);
}

TEST_F(DrummetTest, InputOf1000BytesLosesTheLastOne) {
    const std::string input = std::string(999, 'k') + "L`";
    auto run = exchange(dir.path(), input, "ok");
    EXPECT_EQ(run.message, std::string(999, 'k'));
    EXPECT_EQ(run.outcome.err, "drummet: fifo1: message longer than 999 bytes, 1 byte dropped\n");
    EXPECT_EQ(run.outcome.status, 255);
}

TEST_F(DrummetTest, OverlongInputWithoutTerminatorIsCutToo) {
    auto run = exchange(dir.path(), std::string(4000, 'z'), "ok");
    EXPECT_EQ(run.message, std::string(999, 'z'));
    EXPECT_EQ(run.outcome.err,
              "drummet: fifo1: message longer than 999 bytes, 3001 bytes dropped\n");
    EXPECT_EQ(run.outcome.status, 255);
}

// Writing nothing would leave both sides waiting for ever; the client gets end
// of file instead, and drummet still prints its reply.
TEST_F(DrummetTest, EmptyMessageClosesFifo1AndTheReplyStillCounts) {
    for (std::string_view input :
         {std::string_view("`rest"), std::string_view("\0abc`", 5), std::string_view("")}) {
        SCOPED_TRACE(::testing::PrintToString(std::string(input)));
        Process drummet({drummet_path()}, dir.path());
        ClientEnds client = connect_as_client(dir.path());
        drummet.write_stdin(input);
        drummet.close_stdin();
        EXPECT_EQ(read_to_eof(client.message.get()), "");
        EXPECT_TRUE(write_once(client.reply.get(), "bytes: 0\n"));
        client.reply.reset();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.out, std::string(prompt_text) + label_and("bytes: 0\n"));
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST_F(DrummetTest, UnreadableStandardInputIsReported) {
    // A file whose read fails (strace makes it, with EIO), once the client is there.
    TempDir input;
    {
        std::ofstream(input / "message") << "hello`";
    }
    const Fd file{::open((input / "message").c_str(), O_RDONLY | O_CLOEXEC)};
    Process drummet({STRACE_PATH, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                     "-P", (input / "message").string(), "-e", "trace=read", "-e",
                     "inject=read:error=EIO", drummet_path()},
                    dir.path(), reading(file));
    ClientEnds client = connect_as_client(dir.path());
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.err, "drummet: stdin: Input/output error\n");
    EXPECT_EQ(outcome.status, 255);
    EXPECT_EQ(read_to_eof(client.message.get()), "") << "nothing may be sent";
}

// Standard input that cannot be read has no message to give: no pipe may be made
// and no client kept waiting for one.
TEST_F(DrummetTest, StandardInputThatCannotBeReadIsRefusedBeforeAnyPipe) {
    SpawnOptions closed, write_only, path_only, folder, socket;
    closed.close_stdin = true;
    write_only.in_child = [] { ::dup2(::open("/dev/null", O_WRONLY), STDIN_FILENO); };
    path_only.in_child = [] { ::dup2(::open("/dev/null", O_PATH), STDIN_FILENO); };
    folder.in_child = [] { ::dup2(::open("/", O_RDONLY | O_DIRECTORY), STDIN_FILENO); };
    socket.in_child = [] { ::dup2(::socket(AF_UNIX, SOCK_STREAM, 0), STDIN_FILENO); };
    for (const auto &[options, reason] :
         {std::pair{closed, "is closed"}, std::pair{write_only, "is open for writing only"},
          std::pair{path_only, "is open as a path only"}, std::pair{folder, "is a directory"},
          std::pair{socket, "is a socket that is not connected"}}) {
        const Outcome outcome = Process({drummet_path()}, dir.path(), options).finish();
        EXPECT_EQ(outcome.err,
                  std::string("drummet: stdin: ") + reason + ", so there is no message to send\n");
        EXPECT_EQ(outcome.status, 255);
        EXPECT_TRUE(fs::is_empty(dir.path())) << reason;
    }
}

// ---------------------------------------------------------------------------
// Nodes that are not named pipes, and pipes that go wrong.

TEST_F(DrummetTest, ClientGoneBeforeTheMessageIsReportedNotFatal) {
    Process drummet({drummet_path()}, dir.path());
    ClientEnds client = connect_as_client(dir.path());
    client.message.reset();
    drummet.write_stdin("into the void`");
    drummet.close_stdin();
    const Outcome outcome = drummet.finish();
    EXPECT_TRUE(outcome.exited) << "killed by signal " << outcome.signal;
    EXPECT_EQ(outcome.err,
              "drummet: fifo1: the client closed the pipe before the message was sent\n");
    EXPECT_EQ(outcome.status, 255);
}

TEST_F(DrummetTest, FailedReplyReadIsReported) {
    // strace makes the kernel's read of fifo2 fail with EIO, and nothing else.
    // LeakSanitizer cannot run under ptrace, so a sanitizer build goes without it here.
    const std::string fifo2 = (dir / "fifo2").string();
    Process drummet({STRACE_PATH, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                     "-P", fifo2, "-e", "trace=read", "-e", "inject=read:error=EIO",
                     drummet_path()},
                    dir.path());
    ClientEnds client = connect_as_client(dir.path());
    drummet.write_stdin("hello`");
    drummet.close_stdin();
    EXPECT_EQ(read_once(client.message.get()), "hello");
    // The injected failure does not wait for data, so drummet may be gone already.
    (void)write_once(client.reply.get(), "never shown");
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.out, prompt_text);
    EXPECT_EQ(outcome.err, "drummet: fifo2: Input/output error\n");
    EXPECT_EQ(outcome.status, 255);
}

// A write to a pipe of at most 999 bytes does not fail or fall short on its own;
// strace makes it, to show that drummet would say so.
TEST_F(DrummetTest, FailedOrShortMessageWriteIsReported) {
    struct Case {
        const char *inject;
        const char *says;
    };
    for (const Case &c :
         {Case{"inject=write:error=EIO", "drummet: fifo1: Input/output error\n"},
          Case{"inject=write:retval=3", "drummet: fifo1: only 3 of 5 message bytes were sent\n"}}) {
        SCOPED_TRACE(c.inject);
        TempDir here;
        Process drummet({STRACE_PATH, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                         "-P", (here / "fifo1").string(), "-e", "trace=write", "-e", c.inject,
                         drummet_path()},
                        here.path());
        ClientEnds client = connect_as_client(here.path());
        drummet.write_stdin("hello`");
        drummet.close_stdin();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.out, prompt_text);
        EXPECT_EQ(outcome.err, c.says);
        EXPECT_EQ(outcome.status, 255);
        EXPECT_EQ(read_to_eof(client.message.get()), "") << "the write was to fail";
    }
}

TEST_F(DrummetTest, FailedWriteOfTheOutputIsReported) {
    Fd full{::open("/dev/full", O_WRONLY | O_CLOEXEC)};
    ASSERT_TRUE(full.valid());
    SpawnOptions options;
    options.stdout_fd = full.get();
    for (std::string_view reply : {"stats", ""}) {
        Process drummet({drummet_path()}, dir.path(), options);
        ClientEnds client = connect_as_client(dir.path());
        drummet.write_stdin("hello`");
        drummet.close_stdin();
        EXPECT_EQ(read_once(client.message.get()), "hello");
        if (!reply.empty()) {
            EXPECT_TRUE(write_once(client.reply.get(), reply));
        }
        client.reply.reset();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.err, "drummet: stdout: No space left on device\n");
        EXPECT_EQ(outcome.status, 255);
    }
}

// With descriptor 1 or 2 closed at start, no pipe may take its number: the
// prompts, or the report of the cut, would then be sent to the client as part
// of the message. /dev/null holds it.
TEST_F(DrummetTest, ClosedStandardOutputOrErrorNeverLeaksIntoThePipe) {
    struct Case {
        const char *closed;
        std::string typed, arrives, out, err;
        int status;
    };
    for (const Case &c : {Case{"stdout", "only this`", "only this", "",
                               "drummet: stdout: Bad file descriptor\n", 255},
                          Case{"stderr", std::string(1200, 'y') + "`", std::string(999, 'y'),
                               std::string(prompt_text) + label_and("stats"), "", 255}}) {
        SCOPED_TRACE(c.closed);
        TempDir here;
        SpawnOptions options;
        (std::string_view(c.closed) == "stdout" ? options.close_stdout : options.close_stderr) =
            true;
        Process drummet({drummet_path()}, here.path(), options);
        // Its number is held by /dev/null, whatever drummet opens later.
        ASSERT_TRUE(blocked_opening(drummet.pid(), here / "fifo1"));
        const fs::path held = "/proc/" + std::to_string(drummet.pid()) + "/fd/" +
                              (std::string_view(c.closed) == "stdout" ? "1" : "2");
        EXPECT_EQ(fs::read_symlink(held), "/dev/null");
        ClientEnds client = connect_as_client(here.path());
        drummet.write_stdin(c.typed);
        drummet.close_stdin();
        EXPECT_EQ(read_once(client.message.get()), c.arrives);
        EXPECT_TRUE(write_once(client.reply.get(), "stats"));
        client.reply.reset();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.status, c.status);
    }
}

// ---------------------------------------------------------------------------
// One folder, one drummet.

TEST_F(DrummetTest, SecondDrummetInTheFolderIsRefusedAtOnce) {
    const std::string locked = "drummet: " + fs::canonical(dir.path()).string() +
                               ": locked by another drummet, or by another process that can "
                               "read this folder (lslocks shows which): wait for it to end, or "
                               "use another folder\n";
    Process first({drummet_path()}, dir.path());
    ASSERT_TRUE(wait_for_path(dir / "fifo1")); // the folder is locked before fifo1 is made
    const Outcome second = Process({drummet_path()}, dir.path()).finish();
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, locked);
    EXPECT_EQ(second.status, 255);

    // The first goes on undisturbed, and the folder is free again once it is done.
    ClientEnds client = connect_as_client(dir.path());
    first.write_stdin("mine`");
    first.close_stdin();
    EXPECT_EQ(read_once(client.message.get()), "mine");
    EXPECT_TRUE(write_once(client.reply.get(), "ok"));
    client.reply.reset();
    EXPECT_EQ(first.finish().status, 0);
    expect_clean_run(exchange(dir.path(), "next`", "ok"), "next", "ok");

    // Any process that may read the folder can take the lock, and the line says so.
    const Fd folder{::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    ASSERT_EQ(::flock(folder.get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Process({drummet_path()}, dir.path()).finish().err, locked);
}

// The lock needs a folder it can read. One it may only write to still works,
// without the lock, as it always did, also through a link to a pipe there.
TEST_F(DrummetTest, RunsWithoutTheLockInAFolderItCannotRead) {
    ASSERT_TRUE(running_as_root()) << "this test acts as another user: run it as root";
    fs::permissions(dir.path(), static_cast<fs::perms>(0730));
    ASSERT_EQ(::chown(dir.path().c_str(), 0, 65534), 0); // the group it runs in may write
    SpawnOptions options;
    options.in_child = [] { become(65534, 65534); };
    expect_clean_run(
        exchange(dir.path(), "hello`", "ok", options, runnable_by_anyone(drummet_path())), "hello",
        "ok");
    // A link there to a pipe of that same folder leads nowhere new.
    fs::rename(dir / "fifo1", dir / "pipe");
    fs::create_symlink("pipe", dir / "fifo1");
    expect_clean_run(
        exchange(dir.path(), "linked`", "ok", options, runnable_by_anyone(drummet_path())),
        "linked", "ok");
}

// ---------------------------------------------------------------------------
// The command line.

// --help is what users expect of it: the usage, the options, the exit
// statuses, and where the whole story is.
TEST_F(DrummetTest, HelpAndVersionPrintAndLeaveTheDirectoryAlone) {
    Outcome help = Process({drummet_path(), "--help"}, dir.path()).finish();
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char *says :
         {"Usage: drummet [-C DIR]\n", "-h | --help | --version", "-C DIR", "backtick",
          "Exit status: 0", "2 bad argument", "255 failure", "mktemp -d", "man drummet"})
        EXPECT_NE(help.out.find(says), std::string::npos) << "--help does not say " << says;
    EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 20) << help.out;
    Outcome short_help = Process({drummet_path(), "-h"}, dir.path()).finish();
    EXPECT_EQ(short_help.status, 0);
    EXPECT_EQ(short_help.out, help.out);

    Outcome version = Process({drummet_path(), "--version"}, dir.path()).finish();
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "drummet " DRUMMET_VERSION "\n");

    for (const char *option : {"--help", "--version"}) {
        const Outcome unwritten = finish_with_full_stdout({drummet_path(), option}, dir.path());
        EXPECT_EQ(unwritten.err, "drummet: stdout: No space left on device\n") << option;
        EXPECT_EQ(unwritten.status, 255) << option;
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A bad argument is named as a word a shell reads back, whatever bytes it
// holds, and never cut down to nothing.
TEST_F(DrummetTest, OtherArgumentsAreAUsageError) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::string high(300, '\x80');
    std::string high_shown;
    for (int i = 0; i < 256; ++i)
        high_shown += "\\200";
    for (Case c :
         std::vector<Case>{{{"-x"}, "unexpected argument '-x'"},
                           {{"message"}, "unexpected argument 'message'"},
                           {{"-x", "--help"}, "unexpected argument '-x'"},
                           {{"--help", "extra"}, "unexpected argument 'extra'"},
                           {{"-h", "--bogus"}, "unexpected argument '--bogus'"},
                           {{"--version", "--help"}, "unexpected argument '--help'"},
                           {{"-C"}, "a folder must follow '-C'"},
                           {{"-C", "/", "extra"}, "unexpected argument 'extra'"},
                           {{"-\033[1mx"}, "unexpected argument \"$(printf '\\055\\033[1mx')\""},
                           {{high}, "unexpected argument \"$(printf '" + high_shown + "')\"..."}}) {
        c.args.insert(c.args.begin(), drummet_path());
        Outcome outcome = Process(c.args, dir.path()).finish();
        EXPECT_EQ(outcome.status, 2) << c.says;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "drummet: " + c.says + " (see drummet --help)\n");
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
    // What a shell makes of the word is the argument itself.
    const Outcome shown = Process({"/bin/sh", "-c", "printf '\\055\\033[1mx'"}, "/").finish();
    EXPECT_EQ(shown.out, "-\033[1mx");
}

// -C DIR works in DIR as if drummet had been started there, with the same
// checks on it.
TEST_F(DrummetTest, WorksInTheFolderThatMinusCNames) {
    Process drummet({drummet_path(), "-C", dir.path().string()}, "/");
    expect_clean_run(exchange_with(drummet, dir.path(), "there`", "ok"), "there", "ok");

    const Outcome missing = Process({drummet_path(), "-C", "/nonexistent"}, "/").finish();
    EXPECT_EQ(missing.err, "drummet: /nonexistent: No such file or directory\n");
    EXPECT_EQ(missing.status, 255);

    TempDir open_to_all;
    fs::permissions(open_to_all.path(), fs::perms(0777));
    const Outcome refused =
        Process({drummet_path(), "-C", open_to_all.path().string()}, "/").finish();
    EXPECT_EQ(refused.err, "drummet: " + fs::canonical(open_to_all.path()).string() +
                               ": anyone may swap the pipes in this folder (writable by all, not "
                               "sticky); use a folder of your own (mktemp -d)\n");
    EXPECT_EQ(refused.status, 255);
}

} // namespace
