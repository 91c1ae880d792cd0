// SPDX-License-Identifier: GPL-2.0-only
// drummet-client driven by a test that plays drummet, and the two programs
// talking to each other.

#include "support.hpp"

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
    friend Counts operator+(const Counts &a, const Counts &b) {
        return {a.bytes + b.bytes,           a.characters + b.characters,  a.words + b.words,
                a.lines + b.lines,           a.letters + b.letters,        a.digits + b.digits,
                a.whitespace + b.whitespace, a.punctuation + b.punctuation};
    }
};

std::string stats(int bytes, int characters, int words, int lines, int letters, int digits,
                  int whitespace, int punctuation) {
    return Counts{bytes, characters, words, lines, letters, digits, whitespace, punctuation}
        .reply();
}

// Inputs where a careless decoder or classifier goes wrong, with the counts
// worked out by hand from Unicode's rules.
struct Tricky {
    const char *name;
    std::string bytes;
    Counts expected; // bytes, characters, words, lines, letters, digits, whitespace, punctuation
};

const std::vector<Tricky> &tricky_inputs() {
    static const std::vector<Tricky> inputs = {
        {"sequence cut off at the end", "\xe2\x82", {2, 1, 1, 1, 0, 0, 0, 0}},
        {"cut-off sequence before a newline", "\xe2\x82\n", {3, 2, 1, 1, 0, 0, 1, 0}},
        {"above U+10FFFF", "\xf4\x90\x80\x80", {4, 4, 1, 1, 0, 0, 0, 0}},
        {"five-byte form", "\xf8\x88\x80\x80\x80", {5, 5, 1, 1, 0, 0, 0, 0}},
        {"six-byte form", "\xfc\x84\x80\x80\x80\x80", {6, 6, 1, 1, 0, 0, 0, 0}},
        {"overlong forms", "\xc0\xaf\xe0\x80\xaf", {5, 5, 1, 1, 0, 0, 0, 0}},
        {"surrogate", "\xed\xa0\x80", {3, 3, 1, 1, 0, 0, 0, 0}},
        // The Unicode standard's own example of maximal subparts: a, F1 80 80,
        // E1 80, C2, b, 80, c, 80, BF, d.
        {"maximal subparts",
         "a\xf1\x80\x80\xe1\x80\xc2"
         "b\x80"
         "c\x80\xbf"
         "d",
         {13, 10, 1, 1, 4, 0, 0, 0}},
        {"U+FFFD itself is a symbol", "\xef\xbf\xbd", {3, 1, 1, 1, 0, 0, 0, 1}},
        {"Arabic-Indic and Devanagari digits", "\xd9\xa3\xe0\xa5\xab", {5, 2, 1, 1, 0, 2, 0, 0}},
        {"numbers that are not decimal digits",
         "\xc2\xb2\xc2\xbd\xe2\x85\xab",
         {7, 3, 1, 1, 0, 0, 0, 0}},
        {"Devanagari with virama and vowel sign",
         "\xe0\xa4\xa8\xe0\xa4\xae\xe0\xa4\xb8\xe0\xa5\x8d\xe0\xa4\xa4\xe0\xa5\x87",
         {18, 6, 1, 1, 4, 0, 0, 0}},
        {"combining acute accent", "e\xcc\x81", {3, 2, 1, 1, 1, 0, 0, 0}},
        {"zero-width space, BOM and soft hyphen inside a word",
         "a\xe2\x80\x8b"
         "b\xef\xbb\xbf"
         "c\xc2\xad",
         {11, 6, 1, 1, 3, 0, 0, 0}},
        {"no-break spaces separate words",
         "a\xc2\xa0"
         "b\xe2\x80\xaf"
         "c",
         {8, 5, 3, 1, 3, 0, 2, 0}},
        {"emoji ZWJ sequence",
         "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb",
         {11, 3, 1, 1, 0, 0, 0, 2}},
        {"skin tone and flag",
         "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd \xf0\x9f\x87\xab\xf0\x9f\x87\xb7",
         {17, 5, 2, 1, 0, 0, 1, 4}},
        {"CRLF line ends", "one\r\ntwo\r\n", {10, 10, 2, 2, 6, 0, 4, 0}},
        {"white space beyond ASCII", "\t\v\f\r \xc2\x85 \xe3\x80\x80x", {12, 9, 1, 1, 1, 0, 8, 0}},
        {"controls that are not white space",
         "a\x1c"
         "b\x01\x7f",
         {5, 5, 1, 1, 2, 0, 0, 0}},
        {"punctuation and symbols",
         "\xc2\xbf\xc2\xa1\xc2\xab\xc2\xbb\xe2\x82\xac$+^",
         {14, 8, 1, 1, 0, 0, 0, 8}},
        {"letters of four scripts",
         "\xce\xa9\xd0\xb6\xe4\xb8\xad\xe3\x85\x8e",
         {10, 4, 1, 1, 4, 0, 0, 0}},
        {"private use", "\xee\x80\x80", {3, 1, 1, 1, 0, 0, 0, 0}},
    };
    return inputs;
}

// The client reads 4096 bytes at a time; a message sent in one write is split
// there, which is where the tests put the edge of a read.
constexpr int client_read_size = 4096;

TEST(ClientStatistics, TrickyInputsCountAsUnicodeSays) {
    for (const Tricky &t : tricky_inputs()) {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(statistics_for({t.bytes}), t.expected.reply());
    }
}

TEST(ClientStatistics, SameCountsWhereverAReadEnds) {
    for (const Tricky &t : tricky_inputs()) {
        for (int inside = 1; inside < static_cast<int>(t.bytes.size()); ++inside) {
            SCOPED_TRACE(std::string(t.name) + ", " + std::to_string(inside) +
                         " bytes in the first read");
            // A line of letters ends right where the first read takes `inside`
            // bytes of the tricky input, and adds its own counts.
            const int padding = client_read_size - inside;
            const std::string message = std::string(padding - 1, 'a') + "\n" + t.bytes;
            const Counts line{padding, padding, 1, 1, padding - 1, 0, 1, 0};
            EXPECT_EQ(statistics_for({message}), (line + t.expected).reply());
        }
    }
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
    {
        std::ofstream(dir / "fifo1") << "keep me";
    }
    Outcome outcome = Process({client_path(), "-C", dir.path().string()}, "/").finish();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "drummet-client: fifo1: is a regular file, not a named pipe\n");
    std::ifstream in(dir / "fifo1");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
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
         {"Usage: drummet-client [-C DIR]\n", "-h | --help | --version", "bytes ", "characters ",
          "words ", "lines ", "letters ", "digits ", "whitespace ", "punctuation ", "White_Space",
          "ill-formed", "category Nd", "sticky", "/proc/PID/fd", "mktemp -d", "Exit status: 0"})
        EXPECT_NE(help.out.find(says), std::string::npos) << "--help does not say " << says;
    EXPECT_EQ(Process({client_path(), "-h"}, dir.path()).finish().out, help.out);
    Outcome version = Process({client_path(), "--version"}, dir.path()).finish();
    EXPECT_EQ(version.out, "drummet-client " DRUMMET_VERSION "\n");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(help.out.ends_with("2 for a bad argument.\n")) << help.out;

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
