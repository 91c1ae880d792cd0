// SPDX-License-Identifier: GPL-2.0-only
// Helpers for tests that drive the real drummet and drummet-client binaries and
// play the other end of their pipes. Every wait is bounded, so a regression
// turns into a failure rather than a hung test run.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>
#include <termios.h>

namespace testing_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long a wait may take before the test calls it a hang. It is no measure of
// speed: every wait is for a state that must come, and on a loaded machine with
// kernels booting beside the tests a process may take seconds to start.
inline constexpr auto patience = 120s;

// A fresh directory under the system's temporary folder, removed with its content.
class TempDir {
  public:
    // Under `parent`, by default the system's temporary folder.
    explicit TempDir(const std::filesystem::path &parent = std::filesystem::temp_directory_path());
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    [[nodiscard]] const std::filesystem::path &path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

// An owned descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept;
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd();
    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    void reset();

  private:
    int fd_ = -1;
};

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
    std::string take_stdout(std::chrono::milliseconds wait = patience);
    [[nodiscard]] bool running();
    [[nodiscard]] pid_t pid() const { return pid_; }
    // Waits for the exit, collecting both output streams; kills the child after `limit`.
    Outcome finish(std::chrono::milliseconds limit = patience);

  private:
    pid_t pid_ = -1;
    Fd in_, out_, err_;
    std::string out_seen_;
    bool reaped_ = false;
};

// Runs `argv` in `dir` to its end with standard output on /dev/full, where
// every write fails with "No space left on device".
Outcome finish_with_full_stdout(const std::vector<std::string> &argv,
                                const std::filesystem::path &dir);

[[nodiscard]] std::string drummet_path();
[[nodiscard]] std::string client_path();

// Waits for a path to exist (true) or for `limit` to pass (false).
bool wait_for_path(const std::filesystem::path &path, std::chrono::milliseconds limit = patience);

// Opens the read end of a FIFO without blocking; the node must appear in time.
Fd open_reader(const std::filesystem::path &path, std::chrono::milliseconds limit = patience);
// Opens the write end of a FIFO once some process has its read end open.
Fd open_writer(const std::filesystem::path &path, std::chrono::milliseconds limit = patience);

// Waits until process `pid` has `path` open for reading or writing (`access`
// is O_RDONLY or O_WRONLY); false after `limit`.
bool wait_until_open(pid_t pid, const std::filesystem::path &path, int access,
                     std::chrono::milliseconds limit = patience);

// Whether process `pid` waits in one of the system calls `calls` (or has
// ended), which /proc/PID/syscall tells; false after `patience`.
bool blocked_in(pid_t pid, std::initializer_list<long> calls);
// Whether process `pid` waits in the open of the FIFO at `path`, which it has
// checked through a path descriptor; false after `patience`.
bool blocked_opening(pid_t pid, const std::filesystem::path &path);

// For SpawnOptions::in_child: become `uid`/`gid` with no other groups, and the
// given umask. Fails the child (status 125) when that is not allowed.
void become(uid_t uid, gid_t gid, mode_t umask_value = 022);
// Whether the tests run as root, and may therefore act as several users.
bool running_as_root();
// A copy of `program` that any user may run: the build tree may lie in a
// folder only root can enter, such as /root.
std::string runnable_by_anyone(const std::string &program);

// Reads what one read returns once data or end of file is there; nullopt on timeout.
std::optional<std::string> read_once(int fd, std::chrono::milliseconds limit = patience);
// Reads until end of file; nullopt on timeout.
std::optional<std::string> read_to_eof(int fd, std::chrono::milliseconds limit = patience);
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

// A program in a session of its own with a fresh terminal as its controlling
// terminal and its standard streams, as a user's shell runs: Ctrl-C and Ctrl-Z
// typed there reach it as they would reach a user's program.
class OnATerminal {
  public:
    // With no `environment`, the program gets the test's.
    OnATerminal(const std::vector<std::string> &argv,
                const std::vector<std::string> &environment = {});
    ~OnATerminal();
    OnATerminal(const OnATerminal &) = delete;
    OnATerminal &operator=(const OnATerminal &) = delete;

    // Reads the screen until `text` shows after `mark` (true), or until the
    // program is gone or `patience` has passed (false).
    bool wait_for(std::string_view text, std::size_t mark = 0);
    // Where the screen ends now, to wait for what comes after it.
    [[nodiscard]] std::size_t mark() const { return screen_.size(); }
    void type(std::string_view keys);
    // The terminal's own settings, as the program on it has them.
    [[nodiscard]] termios mode() const;
    // Reads the screen to its end and reaps the program; returns its wait status.
    int finish();
    [[nodiscard]] const std::string &screen() const { return screen_; }

  private:
    bool read_more();
    Fd terminal_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string screen_;
};

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

// For SpawnOptions::in_child: stop right away, to be traced by the test.
void stop_for_tracing();
// Follows the system calls of `pid`, which stopped itself for tracing, and
// right when it enters the first call that `wanted` picks (by its number and
// arguments), calls `meanwhile`, then lets it go on untraced. False when the
// process ended first.
bool interrupt_at_call(pid_t pid,
                       const std::function<bool(long call, const unsigned long long *args)> &wanted,
                       const std::function<void()> &meanwhile);

// The test's side of a drummet run: opens fifo1 for reading and then fifo2 for
// writing, exactly as a well-behaved client must.
struct ClientEnds {
    Fd message; // read end of fifo1
    Fd reply;   // write end of fifo2
};
ClientEnds connect_as_client(const std::filesystem::path &dir);

// The bytes drummet prints before the reply and the label that introduces it.
inline constexpr std::string_view prompt_text =
    "\nReady to broadcast to client\nEnter message : \n";
inline constexpr std::string_view reply_label = "\nStats recieved from client: \n";

} // namespace testing_support
