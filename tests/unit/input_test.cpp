// SPDX-License-Identifier: GPL-2.0-only
// Standard input as drummet reads it, over pipes, sockets and terminals made
// here: what it refuses, what the message is, and what is left for whoever
// reads next.

#include "input.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "../expected.hpp"
#include "../inputs.hpp"
#include "../shared.hpp"
#include "unit.hpp"

namespace {

using namespace std::chrono_literals;
using common::Descriptor;

struct Message {
    bool read = false;
    std::string text;
    std::size_t dropped = 0;
};

// Reads the message from `fd` as drummet does.
Message gathered_from(int fd, std::FILE *stream = nullptr) {
    Input input;
    EXPECT_TRUE(prepare_input(fd, input));
    std::array<char, common::message_capacity> buffer{};
    Gathered got{buffer};
    Message message;
    message.read = gather(input, stream, got);
    message.text.assign(buffer.data(), got.stored);
    message.dropped = got.dropped;
    return message;
}

// A socket of `type`, with an abstract name where one is given: nothing is
// left behind.
Descriptor socket_of(int type, const char *name = nullptr) {
    Descriptor socket{::socket(AF_UNIX, type | SOCK_CLOEXEC, 0)};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "drummet-%s-%d",
                  name == nullptr ? "" : name, ::getpid());
    EXPECT_TRUE(name == nullptr ||
                ::bind(socket.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    return socket;
}

// What each kind of input is read as; and what can give no message is
// refused, with the reason, before any pipe is made.
TEST(Input, TellsWhatEachInputIsOrWhyItCanGiveNoMessage) {
    const Descriptor write_only{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
    const Descriptor path_only{::open("/dev/null", O_PATH | O_CLOEXEC)};
    const Descriptor folder{::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const Descriptor null{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    const Descriptor stream = socket_of(SOCK_STREAM), packets = socket_of(SOCK_SEQPACKET),
                     datagrams = socket_of(SOCK_DGRAM), listening = socket_of(SOCK_STREAM, "l"),
                     named = socket_of(SOCK_DGRAM, "d");
    ASSERT_EQ(::listen(listening.get(), 1), 0);
    std::array<int, 2> ends{};
    ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
    const Descriptor pipe_out{ends[0]}, pipe_in{ends[1]};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()), 0);
    const Descriptor connected{ends[0]}, peer{ends[1]};
    std::array<int, 6> terminals{};
    ASSERT_EQ(::openpty(&terminals[0], &terminals[1], nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::openpty(&terminals[2], &terminals[3], nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::openpty(&terminals[4], &terminals[5], nullptr, nullptr, nullptr), 0);
    const Descriptor keyboard{terminals[0]}, terminal{terminals[1]}, other{terminals[2]},
        pausing{terminals[3]}, lines_keyboard{terminals[4]}, lines_no_minimum{terminals[5]};
    termios mode{};
    ASSERT_EQ(::tcgetattr(pausing.get(), &mode), 0);
    mode.c_cc[VMIN] = 0; // which a terminal that reads lines ignores
    ASSERT_EQ(::tcsetattr(lines_no_minimum.get(), TCSANOW, &mode), 0);
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    ASSERT_EQ(::tcsetattr(pausing.get(), TCSANOW, &mode), 0);
    struct Case {
        const char *what;
        int fd;
        Source source;
        std::string why; // none: it is read
    };
    const auto refused = [](const char *what, int fd, const char *why) {
        return Case{what, fd, Source::file, why};
    };
    for (const Case &c :
         {refused("closed", 999, "is closed"),
          refused("write-only", write_only.get(), "is open for writing only"),
          refused("a path only", path_only.get(), "is open as a path only"),
          refused("a folder", folder.get(), "is a directory"),
          refused("a stream socket", stream.get(), "is a socket that is not connected"),
          refused("a listening socket", listening.get(), "is a socket that is not connected"),
          refused("sequenced packets", packets.get(), "is a socket that is not connected"),
          refused("datagrams", datagrams.get(), "is a socket with neither a name nor a peer"),
          Case{"a pipe", pipe_out.get(), Source::pipe, ""},
          Case{"connected sequenced packets", connected.get(), Source::packet_socket, ""},
          Case{"datagrams to a name", named.get(), Source::datagram_socket, ""},
          Case{"a terminal", terminal.get(), Source::terminal, ""},
          Case{"a terminal with no minimum", pausing.get(), Source::pausing_terminal, ""},
          Case{"a terminal that reads lines, with no minimum", lines_no_minimum.get(),
               Source::terminal, ""},
          Case{"a device", null.get(), Source::file, ""}}) {
        SCOPED_TRACE(c.what);
        const unit::CapturedStderr said;
        Input input;
        const bool read = can_read(c.fd) && prepare_input(c.fd, input);
        EXPECT_EQ(read, c.why.empty());
        EXPECT_EQ(said.text(),
                  c.why.empty() ? "" : "drummet: " + expected::no_message(c.why) + "\n");
        if (read) {
            EXPECT_EQ(input.source, c.source);
            EXPECT_EQ(input.copy_in.valid(), c.source == Source::pipe);
        }
    }
}

// From a pipe or a socket, what follows the backtick is for whoever reads it
// next: drummet reads up to it and not a byte further. A pipe of packets
// gives a whole packet to each read: only the rest of the backtick's own
// packet is lost, and the packets after it stay; so with records.
TEST(Input, FromAPipeOrASocketReadsUpToTheBacktickAndNoFurther) {
    struct Case {
        const char *what;
        Kind kind;
        std::vector<std::string> writes;
        bool writer_stays;
        std::string message;
        std::size_t dropped;
        std::string left;
    };
    const std::vector<Case> cases = {
        {"pipe", Kind::pipe, {"first`second message`"}, false, "first", 0, "second message`"},
        {"pipe, 5000 bytes after it",
         Kind::pipe,
         {"first`" + std::string(5000, 'r')},
         false,
         "first",
         0,
         std::string(5000, 'r')},
        {"pipe of packets",
         Kind::packet_pipe,
         {"hel", "lo`rest", "next`"},
         false,
         "hello",
         0,
         "next`"},
        {"packets longer than a look at them",
         Kind::packet_pipe,
         {std::string(3000, 'a'), std::string(2000, 'b') + "`" + std::string(999, 'c'), "second`"},
         false,
         std::string(999, 'a'),
         4001,
         "second`"},
        {"stream socket", Kind::stream, {"first`", "second`"}, false, "first", 0, "second`"},
        {"datagrams, one of them empty",
         Kind::datagrams,
         {"hel", "", "lo`rest", "next`"},
         true,
         "hello",
         0,
         "next`"},
        {"sequenced packets, one of them empty",
         Kind::packets,
         {"one", "", "two`", "next`"},
         true,
         "onetwo",
         0,
         "next`"},
        {"sequenced packets, one empty, the peer gone",
         Kind::packets,
         {"one", "", "two`", "next`"},
         false,
         "onetwo",
         0,
         "next`"},
        {"sequenced packets, only an empty one, the peer gone",
         Kind::packets,
         {""},
         false,
         "",
         0,
         ""},
        {"end of input", Kind::pipe, {"no backtick"}, false, "no backtick", 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Held input = holding(c.kind, c.writes, c.writer_stays);
        ASSERT_TRUE(input.whole);
        const Message message = gathered_from(input.reader.get());
        EXPECT_TRUE(message.read);
        EXPECT_EQ(message.text, c.message);
        EXPECT_EQ(message.dropped, c.dropped);
        EXPECT_EQ(left_in(input.reader, c.kind), c.left);
    }
}

// A record longer than drummet looks at, with no backtick in what it saw,
// leaves where the message ends unknown: nothing is read, and it says so.
TEST(Input, ARecordLongerThanALookIsRefusedAndLeftWhole) {
    const std::string record = std::string(4500, 'a') + "`" + std::string(499, 'b');
    const Held input = holding(Kind::datagrams, {record, "second`"}, true);
    const unit::CapturedStderr said;
    EXPECT_FALSE(gathered_from(input.reader.get()).read);
    EXPECT_EQ(said.text(), "drummet: stdin: holds a record longer than drummet can look at, so "
                           "where the message ends is not known: nothing is sent\n");
    EXPECT_EQ(left_in(input.reader, Kind::datagrams), record + "second`");
}

extern "C" void interrupted(int) {}

// Input left non-blocking (by a program that crashed, say) has nothing yet
// more often than not, also when a signal interrupts the wait (as SIGCONT
// does, after Ctrl-Z), and a terminal out of canonical mode with no minimum to
// read gives nothing while the user pauses: drummet waits for more. Such a
// terminal that hangs up has nothing more to give: the message ends there.
TEST(Input, WaitsForInputThatHasNothingYetAndEndsWhereATerminalHangsUp) {
    // Hung up while a read waits a tenth of a second for input (VTIME 1), the
    // terminal says so with EIO; while drummet waits in poll, with POLLHUP.
    enum class From {
        pipe,
        pipe_and_a_signal,
        terminal,
        pausing_terminal,
        hanging_up_in_a_read,
        hanging_up_in_a_wait
    };
    for (const From from :
         {From::pipe, From::pipe_and_a_signal, From::terminal, From::pausing_terminal,
          From::hanging_up_in_a_read, From::hanging_up_in_a_wait}) {
        SCOPED_TRACE(static_cast<int>(from));
        const bool piped = from == From::pipe || from == From::pipe_and_a_signal;
        std::array<int, 2> ends{};
        if (piped) {
            ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
        } else {
            ASSERT_EQ(::openpty(&ends[1], &ends[0], nullptr, nullptr, nullptr), 0);
        }
        Descriptor reader{ends[0]}, typing{ends[1]};
        termios mode{};
        if (piped || from == From::terminal) {
            ASSERT_EQ(::fcntl(reader.get(), F_SETFL, O_NONBLOCK), 0);
        } else {
            ASSERT_EQ(::tcgetattr(reader.get(), &mode), 0);
            mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
            mode.c_cc[VMIN] = 0;
            mode.c_cc[VTIME] = from == From::hanging_up_in_a_wait ? 0 : 1;
            ASSERT_EQ(::tcsetattr(reader.get(), TCSANOW, &mode), 0);
        }
        const bool hangs_up =
            from == From::hanging_up_in_a_read || from == From::hanging_up_in_a_wait;
        ASSERT_EQ(::write(typing.get(), "hel", 3), 3);
        const auto got = unit::within_patience(
            [&] {
                typing.close();          // only the test types
                struct sigaction wake{}; // no SA_RESTART: the wait is cut short
                wake.sa_handler = interrupted;
                ::sigaction(SIGUSR1, &wake, nullptr);
                std::FILE *stream = ::fdopen(::dup(reader.get()), "r");
                const Message message = gathered_from(reader.get(), stream);
                return std::string(message.read ? "read " : "failed ") + message.text;
            },
            [&](pid_t child) {
                // Once it has taken what was typed, and waits for more.
                EXPECT_TRUE(testing_support::eventually([&] {
                    int waiting = 1;
                    return ::ioctl(reader.get(), FIONREAD, &waiting) == 0 && waiting == 0;
                }));
                std::this_thread::sleep_for(20ms);
                if (from == From::pipe_and_a_signal) {
                    ::kill(child, SIGUSR1);
                    std::this_thread::sleep_for(20ms);
                }
                if (hangs_up) {
                    typing.close();
                } else {
                    ASSERT_EQ(::write(typing.get(), "lo`\n", 4), 4);
                }
            });
        EXPECT_EQ(got, hangs_up ? "read hel" : "read hello");
    }
}

} // namespace
