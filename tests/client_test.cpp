// SPDX-License-Identifier: GPL-2.0-only
// drummet-client driven by a test that plays drummet, and the two programs
// talking to each other.

#include "support.hpp"

#include <fstream>
#include <string>
#include <thread>

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

std::string stats(int bytes, int characters, int words, int lines, int letters, int digits,
                  int whitespace, int punctuation) {
    return "bytes: " + std::to_string(bytes) + "\ncharacters: " + std::to_string(characters) +
           "\nwords: " + std::to_string(words) + "\nlines: " + std::to_string(lines) +
           "\nletters: " + std::to_string(letters) + "\ndigits: " + std::to_string(digits) +
           "\nwhitespace: " + std::to_string(whitespace) +
           "\npunctuation: " + std::to_string(punctuation) + "\n";
}

TEST(ClientStatistics, CountsAsciiText) {
    EXPECT_EQ(statistics_for({"Hello, world 42!\nbye"}), stats(20, 20, 4, 2, 13, 2, 3, 2));
}

TEST(ClientStatistics, CountsUtf8CharactersAndLettersOfAnyScript) {
    // "é", "ö" and "ж" are two bytes each, "€" three; the euro sign is a symbol.
    EXPECT_EQ(statistics_for({"h\xc3\xa9llo \xd0\xb6 \xe2\x82\xac"
                              "5\n"}),
              stats(15, 11, 3, 1, 6, 1, 3, 1));
}

TEST(ClientStatistics, CharacterSplitAcrossReadsCountsOnce) {
    // The client reads 4096 bytes at a time; one write puts the euro sign across
    // the boundary between its first and its second read.
    const std::string message = std::string(4095, 'a') + "\xe2\x82\xac" + "b";
    EXPECT_EQ(statistics_for({message}), stats(4099, 4097, 1, 1, 4096, 0, 0, 1));
}

TEST(ClientStatistics, InvalidBytesCountAsOneCharacterEach) {
    EXPECT_EQ(statistics_for({"\xff\xfe"
                              "a\xc3"}),
              stats(4, 4, 1, 1, 1, 0, 0, 0));
}

TEST(ClientStatistics, EndOfFileAtOnceIsAnEmptyMessage) {
    EXPECT_EQ(statistics_for({}), stats(0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ClientStatistics, LinesAndWordsFollowWhiteSpace) {
    EXPECT_EQ(statistics_for({"\n\n  two   words\t\n"}), stats(17, 17, 2, 3, 8, 0, 9, 0));
}

TEST(ClientPipes, RefusesANodeThatIsNotAFifo) {
    TempDir dir;
    { std::ofstream(dir / "fifo1") << "keep me"; }
    Outcome outcome = Process({client_path(), "-C", dir.path().string()}, "/").finish();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "drummet-client: fifo1: exists and is not a named pipe\n");
    std::ifstream in(dir / "fifo1");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
}

TEST(ClientPipes, ReportsAMissingDirectory) {
    Outcome outcome = Process({client_path(), "-C", "/nonexistent/dir"}, "/").finish();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "drummet-client: /nonexistent/dir: No such file or directory\n");
}

TEST(ClientPipes, ReportsABroadcasterThatLeftBeforeTheReply) {
    TempDir dir;
    Process client({client_path(), "-C", dir.path().string()}, "/");
    BroadcasterEnds ends = connect_as_broadcaster(dir.path());
    ends.reply.reset();
    ASSERT_TRUE(write_once(ends.message.get(), "hi"));
    Outcome outcome = client.finish();
    EXPECT_TRUE(outcome.exited) << "killed by signal " << outcome.signal;
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "drummet-client: fifo2: drummet closed the pipe before the reply\n");
}

TEST(ClientCommandLine, HelpVersionAndUsage) {
    TempDir dir;
    Outcome help = Process({client_path(), "--help"}, dir.path()).finish();
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: drummet-client [-C DIR]"), std::string::npos);
    EXPECT_NE(help.out.find("punctuation"), std::string::npos);
    Outcome version = Process({client_path(), "--version"}, dir.path()).finish();
    EXPECT_EQ(version.out, "drummet-client " DRUMMET_VERSION "\n");
    Outcome bad = Process({client_path(), "--bogus"}, dir.path()).finish();
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "drummet-client: unexpected argument '--bogus' (see --help)\n");
    Outcome missing = Process({client_path(), "-C"}, dir.path()).finish();
    EXPECT_EQ(missing.status, 2);
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
