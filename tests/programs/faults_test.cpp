// SPDX-License-Identifier: GPL-2.0-only
// What the programs say when a system call fails that does not fail on its
// own: strace makes it fail (or fall short), on the one file named, to show
// that each failure is one line that says what, and that nothing is sent for
// it.

#include "support.hpp"

#include <array>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

enum class Who { drummet, client, both };
enum class When { before_any_pipe, once_connected };
enum class Start {
    as_usual,
    stdin_closed,
    stdout_closed,
    stdin_a_file,
    stdin_packets,
    stdin_a_socket
};

struct Fault {
    const char *what;
    Who who;
    std::string call, inject, on; // on: a file in the test's folder, or another path
    Start start;
    When when;
    std::string says;
    std::string arrives; // on the other end: the message, or the reply
};

TEST(Faults, EachFailureIsOneLineThatSaysWhat) {
    const std::string full = "No space left on device";
    const std::vector<Fault> faults = {
        {"no /dev/null for a closed stdout", Who::both, "openat", "error=ENOENT", "/dev/null",
         Start::stdout_closed, When::before_any_pipe,
         "stdout: closed, and /dev/null cannot take its place: No such file or directory", ""},
        {"no /dev/null for the client's closed stdin", Who::client, "openat", "error=ENOENT",
         "/dev/null", Start::stdin_closed, When::before_any_pipe,
         "stdin: closed, and /dev/null cannot take its place: No such file or directory", ""},
        {"no descriptor left for a pipe's copy", Who::drummet, "pipe2", "error=EMFILE", "",
         Start::stdin_packets, When::before_any_pipe,
         "stdin: is a pipe, which needs a pipe of its own to be read up to the backtick and no "
         "further: Too many open files",
         ""},
        {"a socket whose peer cannot be known", Who::drummet, "getpeername", "error=ENOBUFS", "",
         Start::stdin_a_socket, When::before_any_pipe, "stdin: No buffer space available", ""},
        {"no descriptor left for the working folder", Who::both, "openat", "error=EMFILE", ".",
         Start::as_usual, When::before_any_pipe, "FOLDER: Too many open files", ""},
        {"a full file system", Who::both, "mknodat", "error=ENOSPC", "", Start::as_usual,
         When::before_any_pipe,
         "fifo1: cannot be made in FOLDER: " + full +
             "; free some space or inodes there, or use a folder on another file system",
         ""},
        {"a full quota", Who::drummet, "mknodat", "error=EDQUOT", "", Start::as_usual,
         When::before_any_pipe,
         "fifo1: cannot be made in FOLDER: Disk quota exceeded; free some of your space there "
         "(your quota is full), or use a folder on another file system",
         ""},
        {"a read-only file system", Who::both, "mknodat", "error=EROFS", "", Start::as_usual,
         When::before_any_pipe,
         "fifo1: cannot be made in FOLDER: Read-only file system; use a folder on a file system "
         "that can be written to",
         ""},
        {"stdin unreadable", Who::drummet, "read", "error=EIO", "message", Start::stdin_a_file,
         When::once_connected, "stdin: Input/output error", ""},
        {"the message not written", Who::drummet, "write", "error=EIO", "fifo1", Start::as_usual,
         When::once_connected, "fifo1: Input/output error", ""},
        {"the message cut short", Who::drummet, "write", "retval=3", "fifo1", Start::as_usual,
         When::once_connected, "fifo1: only 3 of 5 message bytes were sent", ""},
        {"the reply unreadable", Who::drummet, "read", "error=EIO", "fifo2", Start::as_usual,
         When::once_connected, "fifo2: Input/output error", "hello"},
        {"the message unreadable", Who::client, "read", "error=EIO", "fifo1", Start::as_usual,
         When::once_connected, "fifo1: Input/output error", ""},
        {"the reply not written", Who::client, "write", "error=EIO", "fifo2", Start::as_usual,
         When::once_connected, "fifo2: Input/output error", ""},
        {"the reply cut short", Who::client, "write", "retval=3", "fifo2", Start::as_usual,
         When::once_connected, "fifo2: the reply was cut short", ""},
    };
    for (const Fault &fault : faults) {
        for (const Program &program : both_programs()) {
            if (fault.who != Who::both && (fault.who == Who::drummet) != is_drummet(program))
                continue;
            SCOPED_TRACE(program.name + ": " + fault.what);
            TempDir dir;
            std::ofstream(dir / "message") << "hello`";
            std::array<int, 2> packets{};
            ASSERT_EQ(::pipe2(packets.data(), O_CLOEXEC | O_DIRECT), 0);
            const Fd packets_out{packets[0]}, packets_in{packets[1]};
            ASSERT_TRUE(write_once(packets_in.get(), "hello world`"));
            const Fd file{::open((dir / "message").c_str(), O_RDONLY | O_CLOEXEC)};
            std::array<int, 2> sockets{};
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets.data()), 0);
            const Fd socket{sockets[0]}, peer{sockets[1]};
            SpawnOptions options;
            options.close_stdin = fault.start == Start::stdin_closed;
            options.close_stdout = fault.start == Start::stdout_closed;
            const int input = fault.start == Start::stdin_a_file     ? file.get()
                              : fault.start == Start::stdin_packets  ? packets_out.get()
                              : fault.start == Start::stdin_a_socket ? socket.get()
                                                                     : -1;
            options.stdin_pipe = input < 0;
            options.in_child = [input] {
                if (input >= 0)
                    ::dup2(input, STDIN_FILENO);
            };
            const fs::path work = dir / "work";
            fs::create_directory(work);
            const std::string on = fault.on.empty()                        ? ""
                                   : fault.on[0] == '/' || fault.on == "." ? fault.on
                                   : fault.on == "message" ? (dir / "message").string()
                                                           : (work / fault.on).string();
            Process process(with_fault({program.path}, fault.call, fault.inject, on), work,
                            options);
            std::string arrived;
            if (fault.when == When::once_connected && is_drummet(program)) {
                ClientEnds client = connect_as_client(work);
                process.write_stdin("hello`");
                process.close_stdin();
                arrived = read_once(client.message.get()).value_or("<nothing in time>");
                (void)write_once(client.reply.get(), "stats"); // it may be gone already
            } else if (fault.when == When::once_connected) {
                BroadcasterEnds drummet = connect_as_broadcaster(work);
                (void)write_once(drummet.message.get(), "hi"); // it may be gone already
                arrived = read_to_eof(drummet.reply.get()).value_or("<no end in time>");
            }
            Outcome outcome = process.finish();
            // strace says first what "." resolves into, where a fault is on it.
            if (const std::size_t end = outcome.err.find('\n');
                fault.on == "." &&
                outcome.err.substr(0, end).find(": Requested path \".\"") != std::string::npos)
                outcome.err.erase(0, end + 1);
            std::string says = fault.says;
            if (const std::size_t at = says.find("FOLDER"); at != std::string::npos)
                says.replace(at, 6, fs::canonical(work).string());
            EXPECT_EQ(outcome.err, line_of(program, says));
            EXPECT_EQ(outcome.status, program.failure_status);
            EXPECT_EQ(arrived, fault.arrives);
            if (fault.when == When::before_any_pipe) {
                EXPECT_TRUE(fs::is_empty(work)) << "a pipe was made";
            }
            if (fault.start == Start::stdin_packets) {
                EXPECT_EQ(read_once(packets_out.get()), "hello world`") << "the input was read";
            }
        }
    }
}

} // namespace
