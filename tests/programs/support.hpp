// SPDX-License-Identifier: GPL-2.0-only
// Helpers for tests that drive the real drummet and drummet-client binaries and
// play the other end of their pipes. Every wait is bounded, so a regression
// turns into a failure rather than a hung test run.
#pragma once

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include "../expected.hpp"
#include "../shared.hpp"
#include "descriptor.hpp"

namespace testing_support {

using Fd = common::Descriptor;

struct Outcome {
    bool exited = false;    // ended by exit(), not by a signal
    int status = -1;        // exit status when exited
    int signal = 0;         // the signal that ended it otherwise
    bool timed_out = false; // still running after the wait; it was killed
    std::string out;        // everything it wrote on standard output
    std::string err;        // everything it wrote on standard error
};

struct SpawnOptions {
    bool stdin_pipe = true;         // false: /dev/null
    int stdout_fd = -1;             // use this as standard output, not a pipe
    bool close_stdin = false;       // start with descriptor 0 closed
    bool close_stdout = false;      // start with descriptor 1 closed
    bool close_stderr = false;      // start with descriptor 2 closed
    std::function<void()> in_child; // runs in the child right before exec
};

// Starts `argv` in `dir`; the child runs `in_child` right before exec, and
// gets `environment` (none: the test's own).
pid_t start(const std::vector<std::string> &argv, const std::filesystem::path &dir,
            const std::function<void()> &in_child,
            const std::vector<std::string> &environment = {});

// A child process with pipes on its standard streams.
class Process {
  public:
    Process(const std::vector<std::string> &argv, const std::filesystem::path &dir,
            const SpawnOptions &options = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    void write_stdin(std::string_view bytes);
    void close_stdin();
    // Collects standard output until it closes or `wait` passes; finish() includes it too.
    std::string take_stdout(std::chrono::milliseconds wait = patience());
    [[nodiscard]] bool running();
    [[nodiscard]] pid_t pid() const { return pid_; }
    // Waits for the exit, collecting both output streams; kills the child after `limit`.
    Outcome finish(std::chrono::milliseconds limit = patience());

  private:
    pid_t pid_ = -1;
    Fd in_, out_, err_;
    std::string out_seen_;
    bool reaped_ = false;
};

[[nodiscard]] std::string drummet_path();
[[nodiscard]] std::string client_path();

// The program under test, as a test of both drummet and its client sees it.
struct Program {
    std::string name;
    std::string path;
    int failure_status;
};
// Copies any user may run: some tests act as other users, and the build tree
// may be private.
std::vector<Program> both_programs();
bool is_drummet(const Program &program);
// "PROGRAM: TEXT\n", a whole line on standard error.
std::string line_of(const Program &program, std::string_view text);

// Opens the read end of a FIFO without blocking; the node must appear in time.
Fd open_reader(const std::filesystem::path &path);
// Opens the write end of a FIFO once some process has its read end open.
Fd open_writer(const std::filesystem::path &path);

// The descriptor of process `pid` (its link in /proc/PID/fd) that holds the
// node `node` (what stat says of it) open for `access` (O_RDONLY or O_WRONLY;
// -1: any, path descriptors too), if any; or the node at `path`.
std::optional<std::filesystem::path> descriptor_of(pid_t pid, const struct stat &node,
                                                   int access = -1);
std::optional<std::filesystem::path> descriptor_of(pid_t pid, const std::filesystem::path &path,
                                                   int access = -1);
// Waits until process `pid` has `path` open for reading or writing.
bool wait_until_open(pid_t pid, const std::filesystem::path &path, int access);
// Whether process `pid` waits in one of the system calls `calls` (or has
// ended), which /proc/PID/syscall tells; false after the tests' patience.
bool blocked_in(pid_t pid, std::initializer_list<long> calls);
// Whether process `pid` waits in the open of the FIFO at `path`, which it has
// checked through a path descriptor.
bool blocked_opening(pid_t pid, const std::filesystem::path &path);

// For SpawnOptions::in_child: become `uid`/`gid` with no other groups, and the
// given umask. Fails the child (status 125) when that is not allowed.
void become(uid_t uid, gid_t gid, mode_t umask_value = 022);
bool running_as_root();

// Reads what one read returns once data or end of file is there; nullopt on timeout.
std::optional<std::string> read_once(int fd, std::chrono::milliseconds limit = patience());
// Reads until end of file; nullopt on timeout.
std::optional<std::string> read_to_eof(int fd, std::chrono::milliseconds limit = patience());
// Writes all bytes in one write call; true when all were taken.
bool write_once(int fd, std::string_view bytes);

// A fresh pseudo-terminal: the test reads and types on `screen`, the program
// gets `line`. Raw, the line neither echoes nor edits.
struct Terminal {
    Fd screen, line;
};
Terminal open_terminal(bool raw);
// Options that give a program `tty`'s line as its standard input or its
// standard error (`stream`), the other streams as usual.
SpawnOptions with_terminal_as(int stream, const Terminal &tty);
// Reads what `screen` shows until it holds `lines` more lines.
std::string read_lines(const Fd &screen, int lines);

// A program in a session of its own with a fresh terminal as its controlling
// terminal and its standard streams, as a user's shell runs: Ctrl-C and Ctrl-Z
// typed there reach it as they would reach a user's program.
class OnATerminal {
  public:
    // With no `environment`, the program gets the test's.
    explicit OnATerminal(const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment = {});
    ~OnATerminal();
    OnATerminal(const OnATerminal &) = delete;
    OnATerminal &operator=(const OnATerminal &) = delete;

    // Reads the screen until `text` shows after `mark` (true), or until the
    // program is gone or the tests' patience has passed (false).
    bool wait_for(std::string_view text, std::size_t mark = 0);
    // Where the screen ends now, to wait for what comes after it.
    [[nodiscard]] std::size_t mark() const { return screen_.size(); }
    void type(std::string_view keys);
    // The terminal's own settings, as the program on it has them.
    [[nodiscard]] termios mode() const;
    // Reads the screen to its end and reaps the program; returns its wait status.
    int finish();
    [[nodiscard]] const std::string &screen() const { return screen_; }
    [[nodiscard]] pid_t pid() const { return pid_; }

  private:
    bool read_more();
    Fd terminal_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string screen_;
};

// An interactive bash on a terminal of its own, at its prompt in `dir`.
class Shell : public OnATerminal {
  public:
    explicit Shell(const std::filesystem::path &dir);
    // Types `line` and Enter, and waits for the prompt after what it did.
    bool run(std::string_view line);

  private:
    int lines_run_ = 0;
};

// For SpawnOptions::in_child: stop right away, to be traced by the test.
void stop_for_tracing();
// Follows the system calls of `pid`, which stopped itself for tracing, and
// right when it enters the first call that `wanted` picks (by its number and
// arguments), calls `meanwhile`, then lets it go on untraced. False when the
// process ended first.
bool interrupt_at_call(pid_t pid,
                       const std::function<bool(long call, const unsigned long long *args)> &wanted,
                       const std::function<void()> &meanwhile);

// `argv` under strace, where the system call `call` does what `inject` says
// (error=E or retval=N), on `path` alone where one is given.
std::vector<std::string> with_fault(const std::vector<std::string> &argv, const std::string &call,
                                    const std::string &inject, const std::string &path = "");

// The test's side of a drummet run: fifo1 for reading, then fifo2 for writing,
// exactly as a well-behaved client must.
struct ClientEnds {
    Fd message; // read end of fifo1
    Fd reply;   // write end of fifo2
};
ClientEnds connect_as_client(const std::filesystem::path &dir);

// The test's side of a client's run: fifo1 for writing once the client reads
// it, then fifo2 for reading.
struct BroadcasterEnds {
    Fd message; // write end of fifo1
    Fd reply;   // read end of fifo2
};
BroadcasterEnds connect_as_broadcaster(const std::filesystem::path &dir);

struct Exchange {
    std::string message; // what arrived on fifo1 in the first read ("" for end of file)
    Outcome outcome;
};
// The rest of a run of a drummet started in `dir`: connects as its client,
// types `input`, takes the message, answers `reply` in one write (or closes
// fifo2 without answering if it is empty), and waits for drummet to end.
Exchange exchange_with(Process &drummet, const std::filesystem::path &dir, std::string_view input,
                       std::string_view reply);
// A whole run of `program` in `dir`, the test at the other end of both pipes:
// drummet gets "hi`" and the reply "ok"; the client, "hi".
Outcome converse(const Program &program, const std::filesystem::path &dir,
                 const SpawnOptions &options = {});

// The bytes drummet prints before the reply and the label that introduces it.
inline constexpr std::string_view prompt_text =
    "\nReady to broadcast to client\nEnter message : \n";
inline constexpr std::string_view reply_label = "\nStats recieved from client: \n";

} // namespace testing_support
