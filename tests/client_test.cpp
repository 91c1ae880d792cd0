// SPDX-License-Identifier: GPL-2.0-only
// drummet-client driven by a test that plays drummet, and the two programs
// talking to each other.

#include "support.hpp"

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct BroadcasterEnds {
    Fd message; // write end of fifo1
    Fd reply;   // read end of fifo2
};

// Plays drummet: opens fifo1 for writing once the client reads it, then fifo2.
BroadcasterEnds connect_as_broadcaster(const fs::path &dir) {
    BroadcasterEnds ends;
    ends.message = open_writer(dir / "fifo1");
    ends.reply = open_reader(dir / "fifo2");
    return ends;
}

// Sends `message` in the given pieces (none: closes fifo1 at once) and returns
// everything the client wrote back.
std::string statistics_for(const std::vector<std::string> &pieces, Outcome *outcome = nullptr) {
    TempDir dir;
    Process client({client_path(), "-C", dir.path().string()}, "/");
    BroadcasterEnds ends = connect_as_broadcaster(dir.path());
    EXPECT_TRUE(ends.message.valid() && ends.reply.valid());
    for (const auto &piece : pieces)
        EXPECT_TRUE(write_once(ends.message.get(), piece));
    if (pieces.empty())
        ends.message.reset();
    // fifo1 stays open, as drummet keeps it: the client must not wait for its end.
    const auto reply = read_to_eof(ends.reply.get());
    EXPECT_TRUE(reply.has_value()) << "no reply in time";
    const Outcome done = client.finish();
    EXPECT_EQ(done.status, 0) << done.err;
    if (outcome)
        *outcome = done;
    return reply.value_or("<timeout>");
}

struct Counts {
    int bytes, characters, words, lines, letters, digits, whitespace, punctuation;

    [[nodiscard]] std::string reply() const {
        return "bytes: " + std::to_string(bytes) + "\ncharacters: " + std::to_string(characters) +
               "\nwords: " + std::to_string(words) + "\nlines: " + std::to_string(lines) +
               "\nletters: " + std::to_string(letters) + "\ndigits: " + std::to_string(digits) +
               "\nwhitespace: " + std::to_string(whitespace) +
               "\npunctuation: " + std::to_string(punctuation) + "\n";
    }
};

std::string stats(int bytes, int characters, int words, int lines, int letters, int digits,
                  int whitespace, int punctuation) {
    return Counts{bytes, characters, words, lines, letters, digits, whitespace, punctuation}
        .reply();
}

TEST(ClientStatistics, CountsAsciiText) {
    EXPECT_EQ(statistics_for({"Hello, world 42!\nbye"}), stats(20, 20, 4, 2, 13, 2, 3, 2));
}

TEST(ClientStatistics, CharacterSplitAcrossReadsCountsOnce) {
    // The client reads 4096 bytes at a time; one write puts the euro sign across
    // the boundary between its first and its second read.
    const std::string message = std::string(4095, 'a') + "\xe2\x82\xac" + "b";
    EXPECT_EQ(statistics_for({message}), stats(4099, 4097, 1, 1, 4096, 0, 0, 1));
}

TEST(ClientStatistics, EndOfFileAtOnceIsAnEmptyMessage) {
    EXPECT_EQ(statistics_for({}), stats(0, 0, 0, 0, 0, 0, 0, 0));
}

// The folder's name shows as one line, whatever bytes it holds.
TEST(ClientPipes, ReportsAMissingDirectory) {
    for (const auto &[name, shown] :
         {std::pair{"/nonexistent/dir", "/nonexistent/dir"},
          std::pair{"/nonexistent/x\033]0;TITLE\ay\n",
                    "\"$(printf '/nonexistent/x\\033]0;TITLE\\007y\\012')\""},
          std::pair{"/nonexistent/\xc3\xa9t\xc3\xa9 \xc2\x9b"
                    "2J", // é, and CSI as a C1 control
                    "\"$(printf '/nonexistent/\xc3\xa9t\xc3\xa9 \\302\\2332J')\""}}) {
        Outcome outcome = Process({client_path(), "-C", name}, "/").finish();
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err,
                  std::string("drummet-client: ") + shown + ": No such file or directory\n");
    }
}

TEST(ClientPipes, ReportsABroadcasterThatLeftBeforeTheReply) {
    TempDir dir;
    Process client({client_path(), "-C", dir.path().string()}, "/");
    BroadcasterEnds ends = connect_as_broadcaster(dir.path());
    // Leave only once the client has fifo2 open: an open that found no reader
    // would wait for ever instead.
    ASSERT_TRUE(wait_until_open(client.pid(), dir / "fifo2", O_WRONLY));
    ends.reply.reset();
    ASSERT_TRUE(write_once(ends.message.get(), "hi"));
    Outcome outcome = client.finish();
    EXPECT_TRUE(outcome.exited) << "killed by signal " << outcome.signal;
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "drummet-client: fifo2: drummet closed the pipe before the reply\n");
}

// A second client, connected while another took the message, reads end of
// file and finds drummet gone: it says what is known, not that drummet left
// before its reply.
TEST(ClientPipes, SaysTrulyWhenNoMessageCame) {
    TempDir dir;
    Process client({client_path(), "-C", dir.path().string()}, "/");
    BroadcasterEnds ends = connect_as_broadcaster(dir.path());
    ASSERT_TRUE(wait_until_open(client.pid(), dir / "fifo2", O_WRONLY));
    ends.reply.reset();
    ends.message.reset();
    const Outcome outcome = client.finish();
    EXPECT_EQ(outcome.err, "drummet-client: fifo1: drummet went away without sending a message; "
                           "perhaps another client took it\n");
    EXPECT_EQ(outcome.status, 1);
}

// A drummet that opens fifo1 and leaves before it opens fifo2 (it refused
// fifo2, say) must not leave the client waiting in silence.
TEST(ClientPipes, ReportsABroadcasterThatLeftBeforeFifo2) {
    TempDir dir;
    Process client({client_path(), "-C", dir.path().string()}, "/");
    Fd message = open_writer(dir / "fifo1");
    ASSERT_TRUE(blocked_opening(client.pid(), dir / "fifo2"));
    message.reset();
    const Outcome outcome = client.finish();
    EXPECT_EQ(outcome.err, "drummet-client: fifo1: drummet left before it opened fifo2\n");
    EXPECT_EQ(outcome.status, 1);
}

// Started first, or in the wrong folder, the client says on a terminal what it
// waits for and how to start drummet there; doing as it says makes the
// exchange.
TEST(ClientPipes, OnATerminalSaysWhatItWaitsFor) {
    TempDir dir;
    Terminal tty = open_terminal(true);
    Process client({client_path()}, dir.path(), with_terminal_as(STDERR_FILENO, tty));
    tty.line.reset();
    std::string said;
    while (!said.ends_with("\n"))
        said += read_once(tty.screen.get()).value_or("\n(nothing more in time)\n");
    const std::string folder = fs::canonical(dir.path()).string();
    const std::string advice = "drummet -C '" + folder + "'";
    EXPECT_EQ(said, "drummet-client: waiting for drummet to open fifo1 in " + folder +
                        "; start it with: " + advice + "\n");
    const std::string path = fs::path(drummet_path()).parent_path().string() + ":/usr/bin:/bin";
    Process shell({"/bin/sh", "-c", "printf 'hi`' | PATH=" + path + " exec " + advice}, "/");
    const Outcome drummet = shell.finish();
    EXPECT_EQ(drummet.status, 0) << drummet.err;
    EXPECT_EQ(drummet.out,
              std::string(prompt_text) + std::string(reply_label) + stats(2, 2, 1, 1, 2, 0, 0, 0));
    EXPECT_EQ(client.finish().status, 0);
}

// Reads and writes of a FIFO do not fail on their own; strace makes them, to
// show that the client would say so and send no made-up statistics.
TEST(ClientPipes, ReportsAFailedReadOrWrite) {
    struct Case {
        const char *pipe, *call, *inject, *says;
    };
    for (const Case &c :
         {Case{"fifo1", "read", "inject=read:error=EIO", "Input/output error"},
          Case{"fifo2", "write", "inject=write:error=EIO", "Input/output error"},
          Case{"fifo2", "write", "inject=write:retval=3", "the reply was cut short"}}) {
        SCOPED_TRACE(std::string(c.pipe) + " " + c.inject);
        TempDir dir;
        Process client({STRACE_PATH, "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                        "-P", (dir / c.pipe).string(), "-e", std::string("trace=") + c.call, "-e",
                        c.inject, client_path(), "-C", dir.path().string()},
                       "/");
        BroadcasterEnds ends = connect_as_broadcaster(dir.path());
        (void)write_once(ends.message.get(), "hi"); // the client may be gone already
        EXPECT_EQ(read_to_eof(ends.reply.get()), "") << "no statistics may arrive";
        const Outcome outcome = client.finish();
        EXPECT_EQ(outcome.err, std::string("drummet-client: ") + c.pipe + ": " + c.says + "\n");
        EXPECT_EQ(outcome.status, 1);
    }
}

TEST(ClientCommandLine, HelpVersionAndUsage) {
    TempDir dir;
    Outcome help = Process({client_path(), "--help"}, dir.path()).finish();
    EXPECT_EQ(help.status, 0);
    for (const char *says :
         {"Usage: drummet-client [-C DIR]\n", "-h | --help | --version", "-C DIR", "bytes",
          "characters", "words", "lines", "letters", "digits", "whitespace", "punctuation",
          "Exit status: 0", "1 failure", "2 bad argument", "man drummet-client"})
        EXPECT_NE(help.out.find(says), std::string::npos) << "--help does not say " << says;
    EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 20) << help.out;
    EXPECT_EQ(Process({client_path(), "-h"}, dir.path()).finish().out, help.out);
    Outcome version = Process({client_path(), "--version"}, dir.path()).finish();
    EXPECT_EQ(version.out, "drummet-client " DRUMMET_VERSION "\n");
    EXPECT_EQ(version.status, 0);

    for (const char *option : {"--help", "--version"}) {
        const Outcome unwritten = finish_with_full_stdout({client_path(), option}, dir.path());
        EXPECT_EQ(unwritten.err, "drummet-client: stdout: No space left on device\n") << option;
        EXPECT_EQ(unwritten.status, 1) << option;
    }

    struct Bad {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Bad &bad : std::vector<Bad>{
             {{"--bogus"}, "unexpected argument '--bogus'"},
             {{"--version", "extra"}, "unexpected argument 'extra'"},
             {{"--help", "--bogus"}, "unexpected argument '--bogus'"},
             {{"-C", dir.path().string(), "-h", "x"}, "unexpected argument 'x'"},
             {{"-C"}, "a folder must follow '-C'"},
         }) {
        std::vector<std::string> args = bad.args;
        args.insert(args.begin(), client_path());
        Outcome outcome = Process(args, dir.path()).finish();
        EXPECT_EQ(outcome.status, 2) << bad.says;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "drummet-client: " + bad.says + " (see drummet-client --help)\n");
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// ---------------------------------------------------------------------------
// The two programs together, started in either order.

Outcome converse(const fs::path &dir, bool client_first, std::string_view typed,
                 Outcome *client_outcome) {
    std::optional<Process> client;
    if (client_first) {
        client.emplace(std::vector<std::string>{client_path()}, dir);
        EXPECT_TRUE(wait_for_path(dir / "fifo1"));
    }
    Process drummet({drummet_path()}, dir);
    if (!client_first)
        client.emplace(std::vector<std::string>{client_path()}, dir);
    drummet.write_stdin(typed);
    drummet.close_stdin();
    *client_outcome = client->finish();
    return drummet.finish();
}

TEST(TogetherWithDrummet, EitherStartOrderGivesTheStatistics) {
    for (const bool client_first : {true, false}) {
        for (const bool reused : {false, true}) {
            SCOPED_TRACE(std::string(client_first ? "client first" : "drummet first") +
                         (reused ? ", nodes reused" : ", fresh directory"));
            TempDir dir;
            Outcome client;
            if (reused)
                converse(dir.path(), client_first, "warm up`", &client);
            Outcome drummet = converse(dir.path(), client_first, "Two words`ignored", &client);
            EXPECT_EQ(client.status, 0) << client.err;
            EXPECT_EQ(drummet.status, 0) << drummet.err;
            EXPECT_EQ(drummet.out, std::string(prompt_text) + std::string(reply_label) +
                                       stats(9, 9, 2, 1, 8, 0, 1, 0));
        }
    }
}

TEST(TogetherWithDrummet, EmptyMessageStillGetsAnAnswer) {
    TempDir dir;
    Outcome client;
    Outcome drummet = converse(dir.path(), false, "`", &client);
    EXPECT_EQ(client.status, 0) << client.err;
    EXPECT_EQ(drummet.status, 0) << drummet.err;
    EXPECT_EQ(drummet.out,
              std::string(prompt_text) + std::string(reply_label) + stats(0, 0, 0, 0, 0, 0, 0, 0));
}

} // namespace
