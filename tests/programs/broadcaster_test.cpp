// SPDX-License-Identifier: GPL-2.0-only
// drummet driven as a user and a client would drive it: the test types on its
// standard input and plays the client on fifo1 and fifo2. What the message is
// for each input is random_input_test.cpp's; terminals are terminal_test.cpp's.

#include "support.hpp"

#include <array>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const Program drummet_program{"drummet", drummet_path(), 255};

std::string printed(std::string_view reply) {
    return std::string(prompt_text) + std::string(reply_label) + std::string(reply);
}

bool is_named_pipe(const fs::path &path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// The reply is whatever the one read of fifo2 gives, printed as it came, and
// no more: up to 1000 bytes, the first of two writes, nothing when the client
// closes fifo2 without a word, and a NUL ends what is printed.
TEST(Drummet, PrintsWhatTheOneReadOfTheReplyGives) {
    std::string long_reply(1500, 'r'), whole(1000, 'w');
    long_reply[999] = '|';
    whole.front() = '<';
    whole.back() = '>';
    struct Case {
        const char *what;
        std::vector<std::string> writes;
        std::string printed;
    };
    for (const Case &c : std::vector<Case>{
             {"lines", {"bytes: 5\nwords: 1"}, printed("bytes: 5\nwords: 1")},
             {"one byte", {"x"}, printed("x")},
             {"1000 bytes, no newline added", {whole}, printed(whole)},
             {"cut to 1000 bytes", {long_reply}, printed(long_reply.substr(0, 1000))},
             {"a NUL inside", {std::string("one\0two", 7)}, printed("one")},
             {"none", {}, std::string(prompt_text)},
         }) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Process drummet({drummet_path()}, dir.path());
        ClientEnds client = connect_as_client(dir.path());
        drummet.write_stdin("hello`");
        drummet.close_stdin();
        EXPECT_EQ(read_once(client.message.get()), "hello");
        for (const std::string &write : c.writes) {
            EXPECT_TRUE(write_once(client.reply.get(), write));
        }
        client.reply.close();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.out, c.printed);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
    // A second write is never read: drummet ends once it has the first.
    TempDir dir;
    Process drummet({drummet_path()}, dir.path());
    ClientEnds client = connect_as_client(dir.path());
    drummet.write_stdin("m`");
    drummet.close_stdin();
    ASSERT_EQ(read_once(client.message.get()), "m");
    ASSERT_TRUE(write_once(client.reply.get(), "first part\n"));
    EXPECT_EQ(drummet.take_stdout(), printed("first part\n"));
    EXPECT_FALSE(write_once(client.reply.get(), "second part\n")) << "nobody reads it";
    EXPECT_EQ(drummet.finish().status, 0);
}

// fifo2 is made only once a client has opened fifo1, the nodes get mode 0777
// less the umask, and they stay for the next run.
TEST(Drummet, MakesThePipesInTheOrderTheClientNeeds) {
    for (const mode_t mask : {000, 022, 077}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        TempDir dir;
        SpawnOptions options;
        options.in_child = [mask] { ::umask(mask); };
        Process drummet({drummet_path()}, dir.path(), options);
        ASSERT_TRUE(blocked_opening(drummet.pid(), dir / "fifo1"));
        EXPECT_FALSE(fs::exists(dir / "fifo2")) << "fifo2 must not exist before fifo1 is opened";
        const Exchange run = exchange_with(drummet, dir.path(), "m`", "ok");
        EXPECT_EQ(run.outcome.out, printed("ok"));
        for (const char *name : {"fifo1", "fifo2"}) {
            struct stat st{};
            ASSERT_EQ(::lstat((dir / name).c_str(), &st), 0);
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << name;
            EXPECT_EQ(st.st_mode & 07777, 0777 & ~mask) << name;
        }
    }
}

// A client that opens fifo1 and leaves before it opens fifo2 (it refused
// fifo2, say) must not leave drummet waiting in silence; one that leaves before
// the message is said to have.
TEST(Drummet, AClientThatLeavesEarlyIsNoticed) {
    TempDir dir;
    {
        Process drummet({drummet_path()}, dir.path());
        Fd message = open_reader(dir / "fifo1");
        ASSERT_TRUE(eventually([&] { return is_named_pipe(dir / "fifo2"); }));
        message.close();
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "drummet: fifo1: the client left before it opened fifo2\n");
        EXPECT_EQ(outcome.status, 255);
    }
    Process drummet({drummet_path()}, dir.path());
    ClientEnds client = connect_as_client(dir.path());
    client.message.close();
    drummet.write_stdin("into the void`");
    drummet.close_stdin();
    const Outcome outcome = drummet.finish();
    EXPECT_TRUE(outcome.exited) << "killed by signal " << outcome.signal;
    EXPECT_EQ(outcome.err,
              "drummet: fifo1: the client closed the pipe before the message was sent\n");
    EXPECT_EQ(outcome.status, 255);
}

// The client's way out of a refused pipe is to remove it and start again:
// drummet waits on what the name leads to now, never on a node that has gone.
// So does the client, started before drummet.
TEST(Drummet, WaitsOnThePipeThatIsThereNow) {
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
        reply.close();
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

// Standard input that can give no message keeps every client away: nothing is
// made, and the one line says why (input_test.cpp has each reason).
TEST(Drummet, StandardInputThatCanGiveNoMessageIsRefusedBeforeAnyPipe) {
    SpawnOptions closed, socket, packets, datagrams;
    closed.close_stdin = true;
    socket.in_child = [] { ::dup2(::socket(AF_UNIX, SOCK_STREAM, 0), STDIN_FILENO); };
    packets.in_child = [] { ::dup2(::socket(AF_UNIX, SOCK_SEQPACKET, 0), STDIN_FILENO); };
    datagrams.in_child = [] { ::dup2(::socket(AF_UNIX, SOCK_DGRAM, 0), STDIN_FILENO); };
    for (const SpawnOptions *options : {&closed, &socket, &packets, &datagrams}) {
        TempDir dir;
        const Outcome outcome = Process({drummet_path()}, dir.path(), *options).finish();
        EXPECT_TRUE(outcome.err.starts_with("drummet: stdin: is ")) << outcome.err;
        EXPECT_EQ(outcome.status, 255);
        EXPECT_TRUE(fs::is_empty(dir.path())) << outcome.err;
    }
}

// Another reader of the same pipe may take bytes between drummet's look at
// them and its read: then what drummet read is not what it saw, the message is
// not known, and nothing is sent.
TEST(Drummet, FromAPipeAnotherReaderMeanwhileMeansNothingIsSent) {
    TempDir dir;
    std::array<int, 2> ends{};
    ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
    Fd from{ends[0]}, to{ends[1]}; // kept open: more may come
    ASSERT_TRUE(write_once(to.get(), "first`second`"));
    SpawnOptions options;
    options.stdin_pipe = false;
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

// From a file, what follows the backtick is left too: the offset is right
// after it when drummet has ended.
TEST(Drummet, FromAFileLeavesTheOffsetRightAfterTheBacktick) {
    TempDir dir;
    std::ofstream(dir / "input") << "first`second";
    const Fd file{::open((dir / "input").c_str(), O_RDONLY | O_CLOEXEC)};
    SpawnOptions options;
    options.stdin_pipe = false;
    options.in_child = [fd = file.get()] { ::dup2(fd, STDIN_FILENO); };
    Process drummet({drummet_path()}, dir.path(), options);
    EXPECT_EQ(exchange_with(drummet, dir.path(), "", "ok").message, "first");
    EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 6);
}

// Output that cannot be written is said to be: on a full disk, and past the
// file size limit (ulimit -f), which would otherwise end drummet in silence.
TEST(Drummet, OutputThatCannotBeWrittenIsReported) {
    TempDir dir;
    const Fd full{::open("/dev/full", O_WRONLY | O_CLOEXEC)};
    const Fd file{::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
    struct Case {
        const char *what;
        int out;
        bool limited;
        std::string says;
    };
    for (const Case &c : {Case{"/dev/full", full.get(), false, "No space left on device"},
                          Case{"ulimit -f 0", file.get(), true, "File too large"}}) {
        for (std::string_view reply : {"stats", ""}) {
            SCOPED_TRACE(std::string(c.what) + (reply.empty() ? ", no reply" : ", a reply"));
            TempDir here;
            SpawnOptions options;
            options.stdout_fd = c.out;
            options.in_child = [limited = c.limited] {
                const rlimit none{0, RLIM_INFINITY};
                if (limited && ::setrlimit(RLIMIT_FSIZE, &none) != 0)
                    ::_exit(125);
            };
            Process drummet({drummet_path()}, here.path(), options);
            const Exchange run = exchange_with(drummet, here.path(), "hello`", reply);
            EXPECT_EQ(run.outcome.err, "drummet: stdout: " + c.says + "\n");
            EXPECT_EQ(run.outcome.status, 255);
        }
    }
}

// With descriptor 1 or 2 closed at start, no pipe may take its number: the
// prompts, or the report of the cut, would then be sent to the client as part
// of the message. /dev/null holds it.
TEST(Drummet, ClosedStandardOutputOrErrorNeverLeaksIntoThePipe) {
    struct Case {
        const char *closed;
        std::string typed, arrives, out, err;
    };
    for (const Case &c :
         {Case{"stdout", "only this`", "only this", "", "drummet: stdout: Bad file descriptor\n"},
          Case{"stderr", std::string(1200, 'y') + "`", std::string(999, 'y'), printed("stats"),
               ""}}) {
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
        const Exchange run = exchange_with(drummet, here.path(), c.typed, "stats");
        EXPECT_EQ(run.message, c.arrives);
        EXPECT_EQ(run.outcome.out, c.out);
        EXPECT_EQ(run.outcome.err, c.err);
        EXPECT_EQ(run.outcome.status, 255);
    }
}

// Once the ticks that let a wait look around are over, SIGALRM does what it
// did before: by default it ends drummet, and ignored it is ignored, while the
// message is read too.
TEST(Drummet, AnAlarmWhileTheMessageIsReadIsWhatItWasBefore) {
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "ignored" : "by default");
        TempDir dir;
        SpawnOptions options;
        options.in_child = [ignored] {
            if (ignored)
                ::signal(SIGALRM, SIG_IGN);
        };
        Process drummet({drummet_path()}, dir.path(), options);
        ClientEnds client = connect_as_client(dir.path());
        drummet.write_stdin("hel");
        ASSERT_TRUE(blocked_in(drummet.pid(), {SYS_tee})); // reading, the ticks over
        ::kill(drummet.pid(), SIGALRM);
        drummet.write_stdin("lo`");
        drummet.close_stdin();
        if (!ignored) {
            EXPECT_EQ(drummet.finish().signal, SIGALRM);
            continue;
        }
        EXPECT_EQ(read_once(client.message.get()), "hello");
        ASSERT_TRUE(write_once(client.reply.get(), "ok"));
        const Outcome outcome = drummet.finish();
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

// ---------------------------------------------------------------------------
// One folder, one drummet.

TEST(Drummet, SecondDrummetInTheFolderIsRefusedAtOnce) {
    TempDir dir;
    const std::string locked = "drummet: " + expected::locked(fs::canonical(dir.path()).string());
    Process first({drummet_path()}, dir.path());
    ASSERT_TRUE(eventually([&] { return is_named_pipe(dir / "fifo1"); })); // locked before
    const Outcome second = Process({drummet_path()}, dir.path()).finish();
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, locked + "\n");
    EXPECT_EQ(second.status, 255);

    // The first goes on undisturbed, and the folder is free again once it is done.
    EXPECT_EQ(exchange_with(first, dir.path(), "mine`", "ok").outcome.status, 0);
    EXPECT_EQ(converse(drummet_program, dir.path()).status, 0);

    // Any process that may read the folder can take the lock, and the line says so.
    const Fd folder{::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    ASSERT_EQ(::flock(folder.get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Process({drummet_path()}, dir.path()).finish().err, locked + "\n");
}

// The lock needs a folder it can read. One it may only write to still works,
// without the lock, as it always did, also through a link to a pipe there.
TEST(Drummet, RunsWithoutTheLockInAFolderItCannotRead) {
    ASSERT_TRUE(running_as_root()) << "this test acts as another user: run it as root";
    TempDir dir;
    fs::permissions(dir.path(), static_cast<fs::perms>(0730));
    ASSERT_EQ(::chown(dir.path().c_str(), 0, 65534), 0); // the group it runs in may write
    SpawnOptions options;
    options.in_child = [] { become(65534, 65534); };
    const Program as_nobody = both_programs().front();
    EXPECT_EQ(converse(as_nobody, dir.path(), options).status, 0);
    // A link there to a pipe of that same folder leads nowhere new.
    fs::rename(dir / "fifo1", dir / "pipe");
    fs::create_symlink("pipe", dir / "fifo1");
    const Outcome linked = converse(as_nobody, dir.path(), options);
    EXPECT_EQ(linked.err, "");
    EXPECT_EQ(linked.status, 0);
}

// -C DIR works in DIR as if drummet had been started there, with the same
// checks on it.
TEST(Drummet, WorksInTheFolderThatMinusCNames) {
    TempDir dir, open_to_all;
    Process drummet({drummet_path(), "-C", dir.path().string()}, "/");
    EXPECT_EQ(exchange_with(drummet, dir.path(), "there`", "ok").outcome.out, printed("ok"));
    fs::permissions(open_to_all.path(), fs::perms(0777));
    const Outcome refused =
        Process({drummet_path(), "-C", open_to_all.path().string()}, "/").finish();
    EXPECT_EQ(refused.err,
              "drummet: " + expected::open_to_all(fs::canonical(open_to_all.path()).string()) +
                  "\n");
    EXPECT_EQ(refused.status, 255);
}

} // namespace
