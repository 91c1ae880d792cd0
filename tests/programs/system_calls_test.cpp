// SPDX-License-Identifier: GPL-2.0-only
// What a run costs in system calls, held to a ceiling so that a new check shows
// what it costs. The floor (bench/floor.cpp) makes the ten calls no run can do
// without, after the dynamic loader's, which drummet makes too: the calls of a
// drummet run after the loader's are its own less the floor's, plus ten.

#include "support.hpp"

#include <array>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The calls `program` makes in one exchange with a 999-byte message from a
// file or a pipe, standard output a file and standard error a pipe, in a
// private folder where an earlier run left the pipes, as every run but a
// folder's first finds them.
int calls_in_a_run(const std::string &program, bool from_pipe) {
    TempDir dir;
    const fs::path work = dir / "work";
    fs::create_directory(work);
    ::chmod(work.c_str(), 0700);
    const std::string message = std::string(999, 'm') + "`";
    {
        std::ofstream(dir / "message") << message;
    }
    int calls = 0;
    for (int run = 0; run < 2; ++run) {
        std::array<int, 2> ends{};
        EXPECT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
        Fd pipe_out{ends[0]}, pipe_in{ends[1]};
        EXPECT_TRUE(write_once(pipe_in.get(), message));
        pipe_in.close();
        const Fd file{::open((dir / "message").c_str(), O_RDONLY | O_CLOEXEC)};
        const Fd output{
            ::open((dir / "output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
        SpawnOptions options;
        options.stdin_pipe = false;
        options.stdout_fd = output.get();
        options.in_child = [in = from_pipe ? pipe_out.get() : file.get()] {
            ::dup2(in, STDIN_FILENO);
        };
        Process exchange({STRACE_PATH, "-qq", "-o", (dir / "trace").string(), program}, work,
                         options);
        ClientEnds client = connect_as_client(work);
        EXPECT_EQ(read_once(client.message.get()), std::string(999, 'm'));
        EXPECT_TRUE(write_once(client.reply.get(), std::string(1000, 'r')));
        const Outcome outcome = exchange.finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
    }
    std::ifstream trace(dir / "trace");
    for (std::string line; std::getline(trace, line);)
        calls += !line.starts_with("+++") && !line.starts_with("---");
    return calls;
}

TEST(SystemCalls, ARunStaysUnderItsCeiling) {
    for (const bool from_pipe : {false, true}) {
        SCOPED_TRACE(from_pipe ? "from a pipe" : "from a file");
        const int floor = calls_in_a_run(DRUMMET_FLOOR_PATH, from_pipe);
        const int drummet = calls_in_a_run(drummet_path(), from_pipe);
        const int own = drummet - floor + 10;
        std::printf("from a %s: %d calls after the dynamic loader's (the floor makes 10)\n",
                    from_pipe ? "pipe" : "file", own);
        EXPECT_LE(own, from_pipe ? 30 : 25);
    }
}

} // namespace
