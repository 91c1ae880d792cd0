// SPDX-License-Identifier: GPL-2.0-only
// drummet-client driven by a test that plays drummet, the two programs talking
// to each other, and the command line both programs take.

#include "support.hpp"

#include <algorithm>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A drummet that opens fifo1 and leaves before it opens fifo2 (it refused
// fifo2, say) must not leave the client waiting in silence.
TEST(Client, ReportsADrummetThatLeftBeforeFifo2) {
    TempDir dir;
    Process client({client_path(), "-C", dir.path().string()}, "/");
    Fd message = open_writer(dir / "fifo1");
    ASSERT_TRUE(blocked_opening(client.pid(), dir / "fifo2"));
    message.close();
    const Outcome outcome = client.finish();
    EXPECT_EQ(outcome.err, "drummet-client: fifo1: drummet left before it opened fifo2\n");
    EXPECT_EQ(outcome.status, 1);
}

// A drummet that went away once the client had connected, without a message
// (Ctrl-C, or its own input failed), leaves the client saying what is known.
TEST(Client, SaysSoWhenDrummetWentAwayWithoutAMessage) {
    TempDir dir;
    Process client({client_path()}, dir.path());
    Process drummet({drummet_path()}, dir.path());
    ASSERT_TRUE(wait_until_open(client.pid(), dir / "fifo2", O_WRONLY));
    ::kill(drummet.pid(), SIGINT);
    EXPECT_EQ(drummet.finish().signal, SIGINT);
    const Outcome outcome = client.finish();
    EXPECT_EQ(outcome.err, "drummet-client: " + std::string(expected::no_message_came) + "\n");
    EXPECT_EQ(outcome.status, 1);
}

// The two programs, started in either order, in a fresh folder or one an
// earlier run left its pipes in, and with an empty message.
TEST(Client, WithDrummetInEitherOrderGivesTheStatistics) {
    struct Case {
        bool client_first, reused;
        std::string typed, counts;
    };
    const std::string two_words = "bytes: 9\ncharacters: 9\nwords: 2\nlines: 1\nletters: 8\n"
                                  "digits: 0\nwhitespace: 1\npunctuation: 0\n";
    const std::string nothing = "bytes: 0\ncharacters: 0\nwords: 0\nlines: 0\nletters: 0\n"
                                "digits: 0\nwhitespace: 0\npunctuation: 0\n";
    for (const Case &c :
         {Case{true, false, "Two words`ignored", two_words},
          Case{true, true, "Two words`ignored", two_words},
          Case{false, false, "Two words`ignored", two_words},
          Case{false, true, "Two words`ignored", two_words}, Case{false, false, "`", nothing}}) {
        SCOPED_TRACE(std::string(c.client_first ? "client first" : "drummet first") +
                     (c.reused ? ", pipes reused" : ", fresh folder") + ", " + c.typed);
        TempDir dir;
        for (int run = c.reused ? 0 : 1; run < 2; ++run) {
            std::optional<Process> client;
            if (c.client_first) {
                client.emplace(std::vector<std::string>{client_path()}, dir.path());
                ASSERT_TRUE(eventually([&] { return fs::exists(dir / "fifo1"); }));
            }
            Process drummet({drummet_path()}, dir.path());
            if (!c.client_first)
                client.emplace(std::vector<std::string>{client_path()}, dir.path());
            drummet.write_stdin(c.typed);
            drummet.close_stdin();
            const Outcome answered = client->finish();
            EXPECT_EQ(answered.status, 0) << answered.err;
            const Outcome outcome = drummet.finish();
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_EQ(outcome.out, std::string(prompt_text) + std::string(reply_label) + c.counts);
        }
    }
}

// What users expect of --help, --version and a bad argument, for both
// programs; none of them touches the folder. The words for each bad argument
// are command_line_test.cpp's.
TEST(CommandLine, HelpVersionAndABadArgumentForBothPrograms) {
    for (const Program &program : both_programs()) {
        SCOPED_TRACE(program.name);
        TempDir dir;
        const Outcome help = Process({program.path, "--help"}, dir.path()).finish();
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        const std::vector<std::string> says =
            is_drummet(program)
                ? std::vector<std::string>{"Usage: drummet [-C DIR]\n", "backtick", "255 failure",
                                           "mktemp -d", "man drummet"}
                : std::vector<std::string>{"Usage: drummet-client [-C DIR]\n",
                                           "bytes",
                                           "characters",
                                           "words",
                                           "lines",
                                           "letters",
                                           "digits",
                                           "whitespace",
                                           "punctuation",
                                           "1 failure",
                                           "man drummet-client"};
        for (const std::string &words : says)
            EXPECT_NE(help.out.find(words), std::string::npos) << "--help does not say " << words;
        for (const char *words :
             {"-h | --help | --version", "-C DIR", "Exit status: 0", "2 bad argument"})
            EXPECT_NE(help.out.find(words), std::string::npos) << "--help does not say " << words;
        EXPECT_LE(std::count(help.out.begin(), help.out.end(), '\n'), 20) << help.out;
        EXPECT_EQ(Process({program.path, "-h"}, dir.path()).finish().out, help.out);
        const Outcome version = Process({program.path, "--version"}, dir.path()).finish();
        EXPECT_EQ(version.out, program.name + " " DRUMMET_VERSION "\n");
        EXPECT_EQ(version.status, 0);

        const Fd full{::open("/dev/full", O_WRONLY | O_CLOEXEC)};
        SpawnOptions to_full;
        to_full.stdout_fd = full.get();
        for (const char *option : {"--help", "--version"}) {
            const Outcome unwritten = Process({program.path, option}, dir.path(), to_full).finish();
            EXPECT_EQ(unwritten.err, line_of(program, "stdout: No space left on device")) << option;
            EXPECT_EQ(unwritten.status, program.failure_status) << option;
        }
        const Outcome bad = Process({program.path, "--bogus"}, dir.path()).finish();
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.err, line_of(program, "unexpected argument '--bogus' (see " + program.name +
                                                " --help)"));
        EXPECT_TRUE(fs::is_empty(dir.path()));

        // A folder that cannot be entered is named as one line, whatever bytes it holds.
        for (const auto &[name, shown] :
             {std::pair{"/nonexistent/dir", "/nonexistent/dir"},
              std::pair{"/nonexistent/x\033]0;TITLE\ay\n",
                        "\"$(printf '/nonexistent/x\\033]0;TITLE\\007y\\012')\""}}) {
            const Outcome missing = Process({program.path, "-C", name}, "/").finish();
            EXPECT_EQ(missing.err, line_of(program, std::string(shown) + ": No such file or "
                                                                         "directory"));
            EXPECT_EQ(missing.status, program.failure_status);
        }
    }
}

} // namespace
