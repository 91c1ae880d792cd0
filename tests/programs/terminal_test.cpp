// SPDX-License-Identifier: GPL-2.0-only
// drummet and its client on terminals: what they say there, and that nothing
// typed for drummet reaches the shell, however the run ends, and the terminal
// is left as it was found.

#include "support.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// What the next reader of `line` (the shell) gets: only what is typed now.
void expect_nothing_left_for_the_shell(const Terminal &tty) {
    ASSERT_TRUE(write_once(tty.screen.get(), "echo next\n"));
    EXPECT_EQ(read_once(tty.line.get()), "echo next\n");
}

// The prompts show as soon as both pipes have a partner, and not before: a
// user typing early would otherwise type without a prompt.
TEST(OnATerminal, PromptsShowOnlyOnceBothPipesAreOpen) {
    TempDir dir;
    Terminal tty = open_terminal(true);
    SpawnOptions options;
    options.stdout_fd = tty.line.get();
    Process drummet({drummet_path()}, dir.path(), options);
    tty.line.close();
    EXPECT_FALSE(read_once(tty.screen.get(), 300ms).has_value()) << "printed before any client";
    Fd message = open_reader(dir / "fifo1");
    ASSERT_TRUE(blocked_opening(drummet.pid(), dir / "fifo2"));
    EXPECT_FALSE(read_once(tty.screen.get(), 300ms).has_value()) << "printed before fifo2";
    Fd reply = open_writer(dir / "fifo2");
    std::string seen;
    while (seen.size() < prompt_text.size()) {
        auto more = read_once(tty.screen.get());
        ASSERT_TRUE(more.has_value()) << "prompt incomplete: " << seen;
        seen += *more;
    }
    EXPECT_EQ(seen, prompt_text);
    drummet.close_stdin();
}

// Types on the terminal as fast as it takes the text, as a paste does; false
// when it would not take it all in time.
bool type_on(int keyboard, std::string_view text) {
    return eventually([&] {
        pollfd room{keyboard, POLLOUT, 0};
        if (::poll(&room, 1, 100) > 0) {
            const ssize_t took = ::write(keyboard, text.data(), text.size());
            if (took > 0)
                text.remove_prefix(static_cast<std::size_t>(took));
        }
        return text.empty();
    });
}

// What follows the backtick was meant for drummet, and a paste goes on
// arriving once drummet has its message: a large one as the terminal makes room
// for it, and one from ssh in pieces, the later ones after the client has
// answered, and some ending inside a line. None of it may reach the shell,
// whether the terminal is drummet's controlling terminal or not.
TEST(OnATerminal, NothingOfAPasteReachesTheShell) {
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
                expect_nothing_left_for_the_shell(tty);
                break;
            }
        }
    }
}

// Whatever ends a run once drummet has begun to wait, what was typed for it
// is not left for the shell, and the terminal is as drummet found it: a
// refusal after a client connected, or any signal that ends drummet, sent by
// kill(1) (Ctrl-C empties the terminal itself), while it waits for a client or
// for the reply.
TEST(OnATerminal, HoweverTheRunEndsNothingTypedIsLeftAndTheTerminalIsAsFound) {
    enum class Phase { waiting_for_a_client, waiting_for_the_reply };
    struct Case {
        int signal; // 0: fifo2 is refused
        Phase phase;
    };
    for (const Case &c :
         {Case{0, Phase::waiting_for_a_client}, Case{SIGTERM, Phase::waiting_for_a_client},
          Case{SIGUSR1, Phase::waiting_for_a_client}, Case{SIGINT, Phase::waiting_for_the_reply},
          Case{SIGUSR2, Phase::waiting_for_the_reply},
          Case{SIGHUP, Phase::waiting_for_the_reply}}) {
        SCOPED_TRACE("signal " + std::to_string(c.signal) + ", phase " +
                     std::to_string(static_cast<int>(c.phase)));
        TempDir here;
        Terminal tty = open_terminal(false);
        termios found{};
        ASSERT_EQ(::tcgetattr(tty.line.get(), &found), 0);
        Process drummet({drummet_path()}, here.path(), with_terminal_as(STDIN_FILENO, tty));
        ClientEnds client;
        if (c.phase == Phase::waiting_for_a_client) {
            ASSERT_TRUE(blocked_opening(drummet.pid(), here / "fifo1"));
            ASSERT_TRUE(write_once(tty.screen.get(), "my secret`\necho LEAKED\n"));
        } else {
            client = connect_as_client(here.path());
            ASSERT_TRUE(write_once(tty.screen.get(), "hi`\n"));
            EXPECT_EQ(read_once(client.message.get()), "hi");
            ASSERT_TRUE(eventually([&] {
                termios now{};
                return ::tcgetattr(tty.line.get(), &now) == 0 && (now.c_lflag & ICANON) == 0;
            }));
        }
        if (c.signal != 0) {
            ::kill(drummet.pid(), c.signal);
            EXPECT_EQ(drummet.finish().signal, c.signal);
        } else {
            fs::create_directory(here / "fifo2");
            client.message = open_reader(here / "fifo1");
            const Outcome outcome = drummet.finish();
            EXPECT_EQ(outcome.err, "drummet: fifo2: " + std::string(expected::directory) + "\n");
            EXPECT_EQ(outcome.status, 255);
        }
        termios left{};
        ASSERT_EQ(::tcgetattr(tty.line.get(), &left), 0);
        EXPECT_EQ(left.c_lflag, found.c_lflag);
        EXPECT_EQ(left.c_cc[VMIN], found.c_cc[VMIN]);
        expect_nothing_left_for_the_shell(tty);
    }
}

// A key held down, or a noisy serial line, never lets the terminal fall quiet:
// drummet stops emptying it after a few seconds and ends.
TEST(OnATerminal, InputThatNeverStopsDoesNotKeepItRunning) {
    TempDir dir;
    Terminal tty = open_terminal(false);
    Process drummet({drummet_path()}, dir.path(), with_terminal_as(STDIN_FILENO, tty));
    ClientEnds client = connect_as_client(dir.path());
    ASSERT_TRUE(write_once(tty.screen.get(), "hi`\n"));
    EXPECT_EQ(read_once(client.message.get()), "hi");
    ASSERT_TRUE(write_once(client.reply.get(), "ok"));
    EXPECT_TRUE(eventually([&] {
        EXPECT_TRUE(write_once(tty.screen.get(), "x"));
        std::this_thread::sleep_for(50ms);
        return !drummet.running();
    })) << "still emptying the terminal";
    EXPECT_EQ(drummet.finish().status, 0);
}

// Started alone on a terminal, each program says once what it waits for and
// how to start its partner there; doing as it says makes the exchange. A
// folder's name shows as one line, escape sequences, newlines and all, and the
// suggested command still reaches the folder when a shell runs it. A path
// longer than PATH_MAX has no name a command could give, and "." would lead
// the partner astray: no command then.
TEST(OnATerminal, EachProgramSaysOnceWhatItWaitsFor) {
    struct Case {
        const char *name, *shown, *word;
    };
    std::vector<std::string> steps;
    for (std::size_t length = 0; length <= PATH_MAX; length += 201)
        steps.push_back(std::string(200, static_cast<char>('a' + steps.size())));
    for (const Program &program : both_programs()) {
        const bool drummet = is_drummet(program);
        const std::string partner = drummet ? "drummet-client" : "drummet";
        const std::string waits = program.name + ": waiting for " +
                                  (drummet ? "a client" : "drummet") + " to open fifo1 in ";
        for (const Case &c : {Case{"it's here", "it's here", "it'\\''s here'"},
                              Case{"x\033]0;TITLE\a\033[2Jy", "x\\033]0;TITLE\\007\\033[2Jy')\"",
                                   "x\\033]0;TITLE\\007\\033[2Jy')\""},
                              Case{"%\\\xff\n", "%%\\\\\\377\\012')\"", "%%\\\\\\377\\012/')\""}}) {
            SCOPED_TRACE(program.name + " in " + ::testing::PrintToString(std::string(c.name)));
            TempDir dir;
            const std::string parent = fs::canonical(dir.path()).string() + "/";
            const fs::path folder = parent + c.name;
            fs::create_directory(folder);
            Terminal tty = open_terminal(true);
            Process waiting({program.path}, folder, with_terminal_as(STDERR_FILENO, tty));
            tty.line.close();
            const bool plain = std::string_view(c.shown) == c.name;
            const std::string command =
                partner + " -C " + (plain ? "'" : "\"$(printf '") + parent + c.word;
            EXPECT_EQ(read_lines(tty.screen, 1),
                      waits + (plain ? parent : "\"$(printf '" + parent) + c.shown + "; start " +
                          (drummet ? "one" : "it") + " with: " + command + "\n");
            const std::string path = fs::path(drummet_path()).parent_path().string() + ":" +
                                     fs::path(client_path()).parent_path().string() + ":/bin";
            Process shell({"/bin/sh", "-c", "printf 'hi`' | PATH=" + path + " exec " + command},
                          "/");
            waiting.write_stdin("hi`");
            waiting.close_stdin();
            EXPECT_EQ(shell.finish().status, 0);
            EXPECT_EQ(waiting.finish().status, 0);
            std::array<char, 64> more{};
            EXPECT_LT(::read(tty.screen.get(), more.data(), more.size()), 0)
                << "said more than once";
        }
        TempDir dir;
        Terminal tty = open_terminal(true);
        SpawnOptions options = with_terminal_as(STDERR_FILENO, tty);
        options.in_child = [&steps, fd = tty.line.get()] {
            for (const std::string &step : steps)
                if (::mkdir(step.c_str(), 0700) != 0 || ::chdir(step.c_str()) != 0)
                    ::_exit(125);
            ::dup2(fd, STDERR_FILENO);
        };
        Process deep({program.path}, dir.path(), options);
        tty.line.close();
        EXPECT_EQ(read_lines(tty.screen, 1),
                  waits + "the current folder, whose path is longer than PATH_MAX\n");
        (void)deep.finish(0ms);
        // Too deep for the temporary folder's own clean-up.
        EXPECT_EQ(Process({"/bin/rm", "-rf", (dir / steps.front()).string()}, "/").finish().status,
                  0);
    }
}

// The user is told how a message ends before typing it, on standard error:
// standard output carries the dialogue alone. What was typed after the
// message, which a paste puts on the screen at once, is said to be discarded.
TEST(OnATerminal, SaysHowTheMessageEndsAndThatTheRestIsDiscarded) {
    TempDir dir;
    Terminal tty = open_terminal(true);
    Terminal keyboard = open_terminal(false);
    SpawnOptions options;
    options.stdin_pipe = false;
    options.in_child = [err = tty.line.get(), in = keyboard.line.get()] {
        ::dup2(err, STDERR_FILENO);
        ::dup2(in, STDIN_FILENO);
    };
    Process drummet({drummet_path()}, dir.path(), options);
    tty.line.close();
    ClientEnds client = connect_as_client(dir.path());
    const std::string hint = "drummet: " + std::string(expected::hint) + "\n";
    std::string said;
    while (!said.ends_with(hint) && !said.ends_with("(nothing more in time)\n"))
        said += read_lines(tty.screen, 1);
    EXPECT_TRUE(said.ends_with(hint)) << said;
    ASSERT_TRUE(write_once(keyboard.screen.get(), "hi`\necho INJECTED\n"));
    EXPECT_EQ(read_once(client.message.get()), "hi");
    EXPECT_EQ(read_lines(tty.screen, 1), "drummet: " + std::string(expected::discarded) + "\n");
    ASSERT_TRUE(write_once(client.reply.get(), "ok"));
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.out, std::string(prompt_text) + std::string(reply_label) + "ok");
    EXPECT_EQ(outcome.status, 0);
}

// With the usual umask a pipe in a folder others can reach is open to them: to
// take the message from fifo1, and to answer in the client's place on fifo2.
// On a terminal drummet says so once for each, and goes on. In a folder of
// one's own it says nothing.
TEST(OnATerminal, WarnsWhenOthersMayOpenAPipe) {
    for (const bool shared : {true, false}) {
        for (const bool fifo2_first : {false, true}) {
            SCOPED_TRACE(
                std::string(shared ? "a folder others can reach" : "a folder of one's own") +
                (fifo2_first ? ", fifo2 there already" : ""));
            TempDir here{"/tmp"};
            fs::permissions(here.path(), fs::perms(shared ? 0755 : 0700));
            if (fifo2_first) {
                ASSERT_EQ(::mkfifo((here / "fifo2").c_str(), 0622), 0);
                fs::permissions(here / "fifo2", fs::perms(0622));
            }
            Terminal tty = open_terminal(true);
            SpawnOptions options = with_terminal_as(STDERR_FILENO, tty);
            options.in_child = [fd = tty.line.get()] {
                ::dup2(fd, STDERR_FILENO);
                ::umask(022);
            };
            Process drummet({drummet_path()}, here.path(), options);
            tty.line.close();
            std::string said;
            while (said.find("drummet: waiting for a client") == std::string::npos &&
                   !said.ends_with("(nothing more in time)\n"))
                said += read_lines(tty.screen, 1);
            const Exchange run = exchange_with(drummet, here.path(), "hi`", "ok");
            EXPECT_EQ(run.outcome.status, 0);
            std::array<char, 4096> rest{};
            for (ssize_t got; (got = ::read(tty.screen.get(), rest.data(), rest.size())) > 0;)
                said.append(rest.data(), static_cast<std::size_t>(got));
            const std::string fifo1 = "drummet: " + expected::others_may("fifo1", 0755) + "\n";
            const std::string fifo2 = "drummet: " + expected::others_may("fifo2", 0622) + "\n";
            EXPECT_EQ(said.find(fifo1) != std::string::npos, shared) << said;
            EXPECT_EQ(said.find(fifo2) != std::string::npos, shared && fifo2_first) << said;
            EXPECT_NE(said.find("drummet: waiting for a client"), std::string::npos) << said;
        }
    }
}

// A client that opens fifo1 and leaves before it opens fifo2 does not end the
// run on a terminal: drummet says it waits for a client again, and a client
// that comes, after fifo2 was removed too, makes the exchange. Also where both
// names are links into another folder, whose lock drummet takes again as it
// judges them anew.
TEST(OnATerminal, WaitsForAClientAgainWhenOneLeavesBeforeFifo2) {
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "links into another folder" : "pipes of the folder");
        TempDir here, there;
        const fs::path &pipes = linked ? there.path() : here.path();
        if (linked) {
            for (const char *name : {"fifo1", "fifo2"}) {
                ASSERT_EQ(::mkfifo((there / name).c_str(), 0600), 0);
                fs::create_symlink(there / name, here / name);
            }
        }
        Terminal tty = open_terminal(true);
        Process drummet({drummet_path()}, here.path(), with_terminal_as(STDERR_FILENO, tty));
        tty.line.close();
        EXPECT_TRUE(read_lines(tty.screen, 1).starts_with("drummet: waiting for a client"));
        Fd message = open_reader(here / "fifo1");
        ASSERT_TRUE(blocked_opening(drummet.pid(), pipes / "fifo2"));
        message.close();
        EXPECT_EQ(read_lines(tty.screen, 1), "drummet: fifo1: the client left before it opened "
                                             "fifo2; waiting for a client again\n");
        if (!linked)
            fs::remove(here / "fifo2");
        const Exchange run = exchange_with(drummet, here.path(), "again`", "ok");
        EXPECT_EQ(run.message, "again");
        EXPECT_EQ(run.outcome.status, 0);
    }
}

// The drummet a shell started in the foreground, once it runs.
pid_t drummet_of(const Shell &shell) {
    pid_t found = -1;
    eventually([&] {
        std::error_code ignored;
        for (const auto &entry : fs::directory_iterator("/proc", ignored)) {
            const std::string name = entry.path().filename();
            std::error_code unreadable;
            if (std::all_of(name.begin(), name.end(), ::isdigit) &&
                fs::read_symlink(entry.path() / "exe", unreadable) == drummet_path() &&
                ::getsid(std::stoi(name)) == ::getsid(shell.pid()))
                found = std::stoi(name);
        }
        return found > 0;
    });
    return found;
}

// Stopped (Ctrl-Z, or kill -TSTP, with the terminal's own flush or without
// it), drummet leaves nothing typed for it to the shell, which reads the
// terminal while drummet is stopped; brought back with fg before its message,
// it leaves the terminal as it was until the message is in; after it,
// straight away or after bg, it takes the terminal again: what is typed while
// the reply is awaited never reaches the shell, and does not show. A real
// shell's job control drives it.
TEST(OnATerminal, StoppedAndBackNothingTypedForItReachesTheShell) {
    enum class Stop { kill_tstp, kill_tstp_noflsh, ctrl_z_then_fg, ctrl_z_bg_fg };
    for (const Stop stop :
         {Stop::kill_tstp, Stop::kill_tstp_noflsh, Stop::ctrl_z_then_fg, Stop::ctrl_z_bg_fg}) {
        SCOPED_TRACE(static_cast<int>(stop));
        TempDir here;
        Shell shell(here.path());
        if (stop == Stop::kill_tstp_noflsh) {
            ASSERT_TRUE(shell.run("stty noflsh")) << shell.screen();
        }
        std::size_t mark = shell.mark();
        shell.type(drummet_path() + "\n");
        if (stop == Stop::kill_tstp || stop == Stop::kill_tstp_noflsh) {
            const pid_t drummet = drummet_of(shell);
            ASSERT_TRUE(blocked_opening(drummet, here / "fifo1"));
            shell.type("echo LEAK$((2+3))\n");
            ASSERT_TRUE(shell.wait_for("echo LEAK$((2+3))", mark)) << shell.screen(); // its echo
            ::kill(drummet, SIGTSTP);
            ASSERT_TRUE(shell.wait_for("Stopped", mark)) << shell.screen();
            ASSERT_TRUE(shell.run("echo done")) << shell.screen();
            EXPECT_EQ(shell.screen().find("LEAK5", mark), std::string::npos) << shell.screen();
            // Back before its message, it leaves the terminal as it was: the
            // message is typed, and echoed, as on any line.
            shell.type("fg\n");
            ClientEnds client = connect_as_client(here.path());
            ASSERT_TRUE(shell.wait_for("Enter message : ", mark)) << shell.screen();
            EXPECT_EQ(shell.mode().c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
            shell.type("hi`\n");
            EXPECT_EQ(read_once(client.message.get()), "hi");
            continue;
        }
        ClientEnds client = connect_as_client(here.path());
        ASSERT_TRUE(shell.wait_for("Enter message : ")) << shell.screen();
        shell.type("hello`\n");
        EXPECT_EQ(read_once(client.message.get()), "hello");
        mark = shell.mark();
        shell.type("\x1a");
        ASSERT_TRUE(shell.wait_for("Stopped", mark)) << shell.screen();
        if (stop == Stop::ctrl_z_bg_fg) {
            mark = shell.mark();
            ASSERT_TRUE(shell.run("bg")) << shell.screen();
            // A background job leaves the terminal alone: one that changed it
            // would be stopped for it (SIGTTOU).
            const pid_t drummet = drummet_of(shell);
            std::this_thread::sleep_for(200ms);
            std::ifstream stat("/proc/" + std::to_string(drummet) + "/stat");
            std::string pid, name, state;
            stat >> pid >> name >> state;
            EXPECT_NE(state, "T") << "stopped in the background";
        }
        mark = shell.mark();
        shell.type("fg\n");
        // bash names the job it brings back once it has read the line and put
        // the terminal back in its own mode: from then on only drummet takes it.
        ASSERT_TRUE(shell.wait_for(drummet_path() + "\r\n", mark)) << shell.screen();
        EXPECT_TRUE(eventually([&] { return (shell.mode().c_lflag & ICANON) == 0; }))
            << "the terminal was not taken again";
        mark = shell.mark();
        shell.type("echo LEAK$((1+1))\n");
        ASSERT_TRUE(shell.wait_for("drummet: " + std::string(expected::discarded), mark))
            << shell.screen();
        ASSERT_TRUE(write_once(client.reply.get(), "ok"));
        client.reply.close();
        ASSERT_TRUE(shell.wait_for("Stats recieved from client: \r\nok", mark)) << shell.screen();
        ASSERT_TRUE(shell.wait_for("$ ", mark)) << shell.screen();
        ASSERT_TRUE(shell.run("echo done")) << shell.screen();
        EXPECT_EQ(shell.screen().find("LEAK", mark), std::string::npos) << shell.screen();
    }
}

} // namespace
