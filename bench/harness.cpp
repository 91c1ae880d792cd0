// SPDX-License-Identifier: GPL-2.0-only
// Times whole broadcaster runs: from starting the process to reaping it, with a
// 999-byte message on standard input (a file, or a pipe with --pipe) and a
// client that answers at once with 1000 bytes. Prints a table and the ratios
// between the subjects, and the system calls a run of each makes (one more
// run, under strace, when it is installed).
//
// Usage: bench_harness [--pipe] RUNS WORK_DIR NAME=PROGRAM...
// The first subject is the broadcaster, the second the floor, the third the
// shell alternative; ratios are printed for those three.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "bench_harness: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// The client for one run: opens the pipes in the order drummet needs, takes
// what the first read gives and answers at once. A fresh one serves each run:
// a client that stayed could still hold the last run's pipes open when the next
// run opens them, and take the next message for the last one.
pid_t start_client(const std::string &dir) {
    const pid_t pid = ::fork();
    if (pid < 0)
        die("fork");
    if (pid != 0)
        return pid;
    if (::chdir(dir.c_str()) != 0)
        ::_exit(1);
    std::array<char, 1000> reply{};
    reply.fill('r');
    std::array<char, 4096> message{};
    ::mkfifo("fifo1", 0777);
    const int in = ::open("fifo1", O_RDONLY);
    ::mkfifo("fifo2", 0777);
    const int out = ::open("fifo2", O_WRONLY);
    if (in < 0 || out < 0)
        ::_exit(2);
    if (::read(in, message.data(), message.size()) != 999)
        ::_exit(3);
    if (::write(out, reply.data(), reply.size()) != 1000)
        ::_exit(4);
    ::_exit(0);
}

struct Sample {
    double micros;
    long max_rss_kib;
};

void expect_success(const char *who, int status) {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_harness: %s failed (status %d)\n", who, status);
        std::exit(1);
    }
}

// Standard input for one run: the message file, or a pipe that holds its
// bytes, as from `printf ... | drummet`.
int open_input(const std::string &input, bool from_pipe) {
    if (!from_pipe)
        return ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    std::array<char, 4096> bytes{};
    const int file = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t length = file < 0 ? -1 : ::read(file, bytes.data(), bytes.size());
    std::array<int, 2> ends{-1, -1};
    if (length < 0 || ::pipe2(ends.data(), O_CLOEXEC) != 0 ||
        ::write(ends[1], bytes.data(), static_cast<std::size_t>(length)) != length)
        die(input);
    ::close(file);
    ::close(ends[1]);
    return ends[0];
}

// With `trace`, the run is made under strace, which writes every call to it.
Sample run_once(const std::string &program, const std::string &dir, const std::string &input,
                bool from_pipe, const std::string &trace = {}) {
    const pid_t client = start_client(dir);
    const int in = open_input(input, from_pipe);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        const int out = ::open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0 || ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::close(out);
        if (!trace.empty())
            // LeakSanitizer cannot run under ptrace: a sanitized build goes without it.
            ::execlp("strace", "strace", "-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o",
                     trace.c_str(), program.c_str(), static_cast<char *>(nullptr));
        else
            ::execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(in);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        die("wait4");
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ::kill(client, SIGKILL); // it may wait for ever on pipes nobody opens now
    expect_success(program.c_str(), status);
    if (::waitpid(client, &status, 0) != client)
        die("waitpid");
    expect_success("the client", status);
    return {spent.count(), usage.ru_maxrss};
}

struct Subject {
    std::string name, program, dir;
    std::vector<double> micros;
    long peak_rss = 0;
    long calls = -1; // in one run, every process of it; -1 where not counted
};

// The calls one run of `s` makes, counted by strace; -1 without strace.
long count_calls(const Subject &s, const std::string &input, bool from_pipe) {
    if (::system("command -v strace >/dev/null") != 0)
        return -1;
    const std::string trace = s.dir + "/trace";
    run_once(s.program, s.dir, input, from_pipe, trace);
    FILE *f = std::fopen(trace.c_str(), "r");
    if (f == nullptr)
        die(trace);
    long calls = 0;
    std::array<char, 4096> line{};
    for (bool start = true; std::fgets(line.data(), line.size(), f) != nullptr;) {
        const std::string_view text = line.data();
        // A line that goes on where the last one stopped is no call of its own.
        if (start && text.find(" +++") == std::string_view::npos &&
            text.find(" --- ") == std::string_view::npos)
            ++calls;
        start = text.ends_with('\n');
    }
    std::fclose(f);
    return calls;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

// Runs the subjects in turn, one run each per round, so that drift on the
// machine (other load, frequency changes) hits them all alike.
void measure(std::vector<Subject> &subjects, const std::string &input, bool from_pipe, int runs) {
    for (int round = -std::max(runs / 50, 5); round < runs; ++round) { // warm-up rounds first
        for (auto &s : subjects) {
            const Sample sample = run_once(s.program, s.dir, input, from_pipe);
            if (round < 0)
                continue;
            s.micros.push_back(sample.micros);
            s.peak_rss = std::max(s.peak_rss, sample.max_rss_kib);
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const bool from_pipe = argc > 1 && std::string(argv[1]) == "--pipe";
    argc -= from_pipe ? 1 : 0;
    argv += from_pipe ? 1 : 0;
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_harness [--pipe] RUNS WORK_DIR NAME=PROGRAM...\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const std::string root = argv[2];
    const std::string input = root + "/message";
    {
        std::string message(999, 'm');
        message += '`';
        FILE *f = std::fopen(input.c_str(), "w");
        if (f == nullptr || std::fwrite(message.data(), 1, message.size(), f) != message.size() ||
            std::fclose(f) != 0)
            die(input);
    }

    // Each subject gets its own folder, so no run meets another's pipes.
    std::vector<Subject> subjects;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        Subject s;
        s.name = arg.substr(0, eq);
        s.program = arg.substr(eq + 1);
        s.dir = root + "/" + s.name;
        if (::mkdir(s.dir.c_str(), 0700) != 0)
            die(s.dir);
        subjects.push_back(std::move(s));
    }
    measure(subjects, input, from_pipe, runs);
    for (auto &s : subjects)
        s.calls = count_calls(s, input, from_pipe);

    std::printf("%d runs each: 999-byte message from a %s, 1000-byte reply, client answering at "
                "once\n\n",
                runs, from_pipe ? "pipe" : "file");
    std::printf("| %-10s | %12s | %12s | %14s | %14s |\n", "subject", "median (us)", "p99 (us)",
                "peak RSS (KiB)", "calls per run");
    std::printf("|------------|--------------|--------------|----------------|----------------|\n");
    for (const auto &s : subjects)
        std::printf("| %-10s | %12.0f | %12.0f | %14ld | %14s |\n", s.name.c_str(),
                    percentile(s.micros, 0.5), percentile(s.micros, 0.99), s.peak_rss,
                    s.calls < 0 ? "(no strace)" : std::to_string(s.calls).c_str());
    if (subjects.size() >= 3) {
        const auto ratios = [](const Subject &a, const Subject &b) {
            std::printf("%s/%s: time %.2f (median), %.2f (p99), peak memory %.2f\n", a.name.c_str(),
                        b.name.c_str(), percentile(a.micros, 0.5) / percentile(b.micros, 0.5),
                        percentile(a.micros, 0.99) / percentile(b.micros, 0.99),
                        static_cast<double>(a.peak_rss) / static_cast<double>(b.peak_rss));
        };
        std::printf("\n");
        ratios(subjects[0], subjects[1]);
        ratios(subjects[2], subjects[0]);
        // The floor makes ten calls of its own after the dynamic loader's,
        // which the broadcaster makes too.
        if (subjects[0].calls >= 0 && subjects[1].calls >= 0)
            std::printf("%s: %ld system calls after the dynamic loader's, the floor's 10\n",
                        subjects[0].name.c_str(), subjects[0].calls - subjects[1].calls + 10);
    }
    return 0;
}
