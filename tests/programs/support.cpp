// SPDX-License-Identifier: GPL-2.0-only
#include "support.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `fd` to become readable (or hung up); false when the deadline passed.
bool wait_readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, remaining_ms(deadline));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            fail("poll");
    }
}

// The test writes to pipes whose reader may have gone: that must show as EPIPE
// in the test, not end the whole test program.
const bool sigpipe_ignored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

std::vector<char *> pointers_to(const std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (const auto &s : strings)
        pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// A copy of `program` that any user may run: the build tree may lie in a
// folder only root can enter, such as /root.
std::string runnable_by_anyone(const std::string &program) {
    static const TempDir shelf{"/tmp"}; // not $TMPDIR, which may be private too
    fs::permissions(shelf.path(), fs::perms(0755));
    const fs::path copy = shelf / fs::path(program).filename().string();
    if (!fs::exists(copy)) {
        fs::copy_file(program, copy);
        fs::permissions(copy, fs::perms(0755));
    }
    return copy.string();
}

constexpr long running = -2;
constexpr long ended = -1;

// The system call process `pid` waits in, `running` when it is in none, or
// `ended`.
long current_call(pid_t pid) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    std::string first;
    if (!(syscall >> first))
        return ended;
    if (first == "running")
        return running;
    char *end = nullptr;
    const long number = std::strtol(first.c_str(), &end, 10);
    return end != nullptr && *end == '\0' && number >= 0 ? number : ended;
}

} // namespace

pid_t start(const std::vector<std::string> &argv, const fs::path &dir,
            const std::function<void()> &in_child, const std::vector<std::string> &environment) {
    std::vector<char *> args = pointers_to(argv), env = pointers_to(environment);
    const pid_t pid = ::fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        // Only async-signal-safe calls until exec (the test may run threads).
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::signal(SIGPIPE, SIG_DFL);
        if (in_child)
            in_child();
        ::execve(args[0], args.data(), environment.empty() ? environ : env.data());
        ::_exit(127);
    }
    return pid;
}

Process::Process(const std::vector<std::string> &argv, const fs::path &dir,
                 const SpawnOptions &options) {
    std::array<int, 2> in{-1, -1}, out{-1, -1}, err{-1, -1};
    if ((options.stdin_pipe && ::pipe2(in.data(), O_CLOEXEC) != 0) ||
        ::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0)
        fail("pipe2");
    pid_ = start(argv, dir, [&] {
        const int input = options.stdin_pipe ? in[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(input, STDIN_FILENO);
        ::dup2(options.stdout_fd >= 0 ? options.stdout_fd : out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        for (const auto &[closed, fd] : {std::pair{options.close_stdin, STDIN_FILENO},
                                         std::pair{options.close_stdout, STDOUT_FILENO},
                                         std::pair{options.close_stderr, STDERR_FILENO}})
            if (closed)
                ::close(fd);
        if (options.in_child)
            options.in_child();
    });
    if (options.stdin_pipe) {
        ::close(in[0]);
        in_ = Fd{in[1]};
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = Fd{out[0]};
    err_ = Fd{err[0]};
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void Process::write_stdin(std::string_view bytes) {
    while (in_.valid() && !bytes.empty()) {
        const ssize_t n = ::write(in_.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EPIPE)
            return; // the child stopped reading, which a test may well expect
        if (n < 0)
            fail("write to standard input");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Process::close_stdin() {
    in_.close();
}

std::string Process::take_stdout(std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    std::string got;
    std::array<char, 4096> buf{};
    while (out_.valid() && wait_readable(out_.get(), deadline)) {
        const ssize_t n = ::read(out_.get(), buf.data(), buf.size());
        if (n <= 0)
            break;
        got.append(buf.data(), static_cast<std::size_t>(n));
    }
    out_seen_ += got;
    return got;
}

bool Process::running() {
    if (reaped_)
        return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

Outcome Process::finish(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Outcome result;
    result.out = std::move(out_seen_);
    std::array<char, 4096> buf{};
    // Drain both streams to their end so a chatty child never blocks on a full pipe.
    while (out_.valid() || err_.valid()) {
        std::array<pollfd, 2> fds{pollfd{out_.get(), POLLIN, 0}, pollfd{err_.get(), POLLIN, 0}};
        const int n = ::poll(fds.data(), fds.size(), remaining_ms(deadline));
        if (n == 0) {
            result.timed_out = true;
            break;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("poll");
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            Fd &stream = i == 0 ? out_ : err_;
            const ssize_t got = ::read(stream.get(), buf.data(), buf.size());
            if (got <= 0)
                stream.close();
            else
                (i == 0 ? result.out : result.err)
                    .append(buf.data(), static_cast<std::size_t>(got));
        }
    }
    if (!result.timed_out &&
        !eventually([&] { return !running(); }, std::chrono::milliseconds(remaining_ms(deadline))))
        result.timed_out = true;
    if (result.timed_out)
        ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    if (result.timed_out)
        return result;
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

std::string drummet_path() {
    return DRUMMET_PATH;
}
std::string client_path() {
    return DRUMMET_CLIENT_PATH;
}

std::vector<Program> both_programs() {
    return {{"drummet", runnable_by_anyone(drummet_path()), 255},
            {"drummet-client", runnable_by_anyone(client_path()), 1}};
}

bool is_drummet(const Program &program) {
    return program.name == "drummet";
}

std::string line_of(const Program &program, std::string_view text) {
    return program.name + ": " + std::string(text) + "\n";
}

Fd open_reader(const fs::path &path) {
    Fd fd;
    eventually([&] {
        fd = Fd{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        return fd.valid() || errno != ENOENT;
    });
    return fd;
}

Fd open_writer(const fs::path &path) {
    Fd fd;
    // Without a reader a non-blocking open for writing fails with ENXIO.
    eventually([&] {
        fd = Fd{::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
        return fd.valid() || (errno != ENOENT && errno != ENXIO);
    });
    if (fd.valid() && ::fcntl(fd.get(), F_SETFL, 0) != 0)
        fail("fcntl");
    return fd;
}

std::optional<fs::path> descriptor_of(pid_t pid, const fs::path &path, int access) {
    struct stat node{};
    if (::stat(path.c_str(), &node) != 0)
        return std::nullopt;
    return descriptor_of(pid, node, access);
}

std::optional<fs::path> descriptor_of(pid_t pid, const struct stat &wanted, int access) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(proc + "/fd", ignored)) {
        struct stat st{};
        if (::stat(entry.path().c_str(), &st) != 0 || st.st_ino != wanted.st_ino ||
            st.st_dev != wanted.st_dev)
            continue;
        if (access < 0)
            return entry.path();
        // The flags in fdinfo tell a real open from a path descriptor.
        std::ifstream info(proc + "/fdinfo/" + entry.path().filename().string());
        std::string key;
        unsigned long flags = 0;
        while (info >> key && key != "flags:")
            ;
        info >> std::oct >> flags;
        if ((flags & O_PATH) == 0 && static_cast<int>(flags & O_ACCMODE) == access)
            return entry.path();
    }
    return std::nullopt;
}

bool wait_until_open(pid_t pid, const fs::path &path, int access) {
    return eventually([&] { return descriptor_of(pid, path, access).has_value(); });
}

bool blocked_in(pid_t pid, std::initializer_list<long> calls) {
    return eventually([&] {
        const long call = current_call(pid);
        return call == ended || std::find(calls.begin(), calls.end(), call) != calls.end();
    });
}

bool blocked_opening(pid_t pid, const fs::path &path) {
    return eventually(
        [&] { return descriptor_of(pid, path).has_value() && current_call(pid) == SYS_openat; });
}

void become(uid_t uid, gid_t gid, mode_t umask_value) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        ::_exit(125);
    ::umask(umask_value);
}

bool running_as_root() {
    return ::geteuid() == 0;
}

std::optional<std::string> read_once(int fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::array<char, 65536> buf{};
    for (;;) {
        if (!wait_readable(fd, deadline))
            return std::nullopt;
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n >= 0)
            return std::string(buf.data(), static_cast<std::size_t>(n));
        if (errno != EAGAIN && errno != EINTR)
            fail("read");
    }
}

std::optional<std::string> read_to_eof(int fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string all;
    for (;;) {
        auto chunk = read_once(fd, std::chrono::milliseconds(remaining_ms(deadline)));
        if (!chunk)
            return std::nullopt;
        if (chunk->empty())
            return all;
        all += *chunk;
    }
}

bool write_once(int fd, std::string_view bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

Terminal open_terminal(bool raw) {
    termios mode{};
    ::cfmakeraw(&mode);
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, raw ? &mode : nullptr, nullptr) != 0)
        fail("openpty");
    return {Fd{master}, Fd{slave}};
}

SpawnOptions with_terminal_as(int stream, const Terminal &tty) {
    SpawnOptions options;
    options.stdin_pipe = stream != STDIN_FILENO;
    options.in_child = [fd = tty.line.get(), stream] { ::dup2(fd, stream); };
    return options;
}

std::string read_lines(const Fd &screen, int lines) {
    std::string said;
    for (int seen = 0; seen < lines;) {
        const std::string more = read_once(screen.get()).value_or("(nothing more in time)\n");
        said += more;
        seen += static_cast<int>(std::count(more.begin(), more.end(), '\n'));
    }
    return said;
}

OnATerminal::OnATerminal(const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        fail("openpty");
    terminal_ = Fd{master};
    pid_ = start(
        argv, "/",
        [&] {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd <= 2; ++fd)
                ::dup2(slave, fd);
            ::close(slave);
            ::close(master);
        },
        environment);
    ::close(slave);
}

OnATerminal::~OnATerminal() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool OnATerminal::wait_for(std::string_view text, std::size_t mark) {
    while (screen_.find(text, mark) == std::string::npos)
        if (!read_more())
            return false;
    return true;
}

void OnATerminal::type(std::string_view keys) {
    if (!write_once(terminal_.get(), keys))
        fail("typing on the terminal");
}

termios OnATerminal::mode() const {
    termios mode{}; // a pseudo-terminal's master side tells its other side's
    if (::tcgetattr(terminal_.get(), &mode) != 0)
        fail("tcgetattr");
    return mode;
}

int OnATerminal::finish() {
    while (read_more())
        ;
    int status = -1;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
}

bool OnATerminal::read_more() {
    if (!wait_readable(terminal_.get(), Clock::now() + patience()))
        return false;
    std::array<char, 4096> buf{};
    const ssize_t n = ::read(terminal_.get(), buf.data(), buf.size());
    if (n <= 0) // EIO: nobody has the terminal open any more
        return false;
    screen_.append(buf.data(), static_cast<std::size_t>(n));
    return true;
}

Shell::Shell(const fs::path &dir)
    : OnATerminal({"/bin/bash", "--norc", "--noprofile", "-i"},
                  {"PS1=$ ", "TERM=dumb", "PATH=/usr/bin:/bin"}) {
    if (!wait_for("$ ") || !run("cd '" + dir.string() + "'"))
        throw std::runtime_error("no shell prompt: " + screen());
}

// A prompt alone does not show that the line ran: the one after a job's
// "Stopped" may come after the line is typed, and the terminal may echo the
// line before the shell reads it. What the line's own echo prints, and the
// typed line does not hold, does.
bool Shell::run(std::string_view line) {
    const std::string done = "ran" + std::to_string(++lines_run_);
    const std::size_t at = mark();
    type(std::string(line) + "; echo ran$((" + std::to_string(lines_run_) + "))\n");
    if (!wait_for(done + "\r\n", at))
        return false;
    return wait_for("$ ", screen().find(done + "\r\n", at));
}

void stop_for_tracing() {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::raise(SIGSTOP);
}

bool interrupt_at_call(pid_t pid,
                       const std::function<bool(long call, const unsigned long long *args)> &wanted,
                       const std::function<void()> &meanwhile) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        return false;
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
             PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    int pass_on = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, pid, nullptr, pass_on) != 0 ||
            ::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
            return false;
        pass_on = 0;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            if (status >> 16 == 0 && WSTOPSIG(status) != SIGSTOP)
                pass_on = WSTOPSIG(status); // a real signal, not a ptrace event
            continue;
        }
        __ptrace_syscall_info info{};
        ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY ||
            !wanted(static_cast<long>(info.entry.nr),
                    reinterpret_cast<const unsigned long long *>(info.entry.args)))
            continue;
        meanwhile();
        return ::ptrace(PTRACE_DETACH, pid, nullptr, 0) == 0;
    }
}

std::vector<std::string> with_fault(const std::vector<std::string> &argv, const std::string &call,
                                    const std::string &inject, const std::string &path) {
    // LeakSanitizer cannot run under ptrace: a sanitizer build goes without it here.
    std::vector<std::string> traced{STRACE_PATH, "-qq", "-o",
                                    "/dev/null", "-E",  "ASAN_OPTIONS=detect_leaks=0"};
    if (!path.empty())
        traced.insert(traced.end(), {"-P", path});
    traced.insert(traced.end(), {"-e", "trace=" + call, "-e", "inject=" + call + ":" + inject});
    traced.insert(traced.end(), argv.begin(), argv.end());
    return traced;
}

ClientEnds connect_as_client(const fs::path &dir) {
    ClientEnds ends;
    ends.message = open_reader(dir / "fifo1");
    if (!ends.message.valid())
        fail("open fifo1 for reading");
    // drummet creates and opens fifo2 only after its open of fifo1 has returned,
    // so once this succeeds the message end is connected too.
    ends.reply = open_writer(dir / "fifo2");
    if (!ends.reply.valid())
        fail("open fifo2 for writing");
    return ends;
}

BroadcasterEnds connect_as_broadcaster(const fs::path &dir) {
    BroadcasterEnds ends;
    ends.message = open_writer(dir / "fifo1");
    ends.reply = open_reader(dir / "fifo2");
    if (!ends.message.valid() || !ends.reply.valid())
        fail("open the pipes as drummet");
    return ends;
}

Exchange exchange_with(Process &drummet, const fs::path &dir, std::string_view input,
                       std::string_view reply) {
    ClientEnds client = connect_as_client(dir);
    drummet.write_stdin(input);
    drummet.close_stdin();
    Exchange result;
    result.message = read_once(client.message.get()).value_or("<no message in time>");
    if (!reply.empty())
        (void)write_once(client.reply.get(), reply); // drummet may be gone already
    client.reply.close();
    result.outcome = drummet.finish();
    return result;
}

Outcome converse(const Program &program, const fs::path &dir, const SpawnOptions &options) {
    Process process({program.path}, dir, options);
    if (is_drummet(program)) {
        const Exchange run = exchange_with(process, dir, "hi`", "ok");
        EXPECT_EQ(run.message, "hi");
        return run.outcome;
    }
    BroadcasterEnds ends = connect_as_broadcaster(dir);
    EXPECT_TRUE(write_once(ends.message.get(), "hi"));
    EXPECT_TRUE(read_to_eof(ends.reply.get()).has_value());
    return process.finish();
}

} // namespace testing_support
