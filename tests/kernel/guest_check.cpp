// SPDX-License-Identifier: GPL-2.0-only
// Runs inside the test guest, as root, and checks /proc/tarrow the way programs
// use it. Every check prints one line, "    ok - ..." or "    not ok - ...",
// indented under the guest's own; the exit status is the number of failed
// checks (at most 100).
//
//   guest_check reads           reads, seeks, writes, modes, users, concurrency
//   guest_check whole           one whole read gives the greeting
//   guest_check absent          /proc/tarrow does not exist
//   guest_check hammer STOPFILE read in a loop until STOPFILE exists, checking every read
//   guest_check time N          N open+read+close of /proc/tarrow and of /proc/version

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *entry = "/proc/tarrow";
constexpr std::string_view greeting = "Hello proc yend!\n";
int failures = 0;

void check(bool passed, const std::string &name, const std::string &detail = {}) {
    failures += !passed;
    std::printf("    %s - %s%s%s\n", passed ? "ok" : "not ok", name.c_str(),
                detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
}

std::string describe(std::string_view bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\" (" + std::to_string(bytes.size()) + " bytes)";
}

std::string error_text(int error) {
    return std::strerror(error);
}

// Reads with reads of `chunk` bytes until end of file; false on an error.
bool read_all(int fd, std::size_t chunk, std::string &out) {
    std::array<char, 4096> buf{};
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), chunk);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf.data(), static_cast<std::size_t>(n));
    }
}

// One open, whole read and close; returns what was read, or an error note.
std::string read_entry(std::size_t chunk = 4096) {
    const int fd = ::open(entry, O_RDONLY);
    if (fd < 0)
        return "open: " + error_text(errno);
    std::string got;
    const bool ok = read_all(fd, chunk, got);
    const int error = errno;
    ::close(fd);
    return ok ? got : "read: " + error_text(error);
}

void check_whole_read() {
    const std::string got = read_entry();
    check(got == greeting, "a whole read gives the 17 bytes, then end of file", describe(got));
}

void check_reads() {
    check_whole_read();
    const std::string by_byte = read_entry(1);
    check(by_byte == greeting, "byte-at-a-time reads give the same 17 bytes", describe(by_byte));

    const int fd = ::open(entry, O_RDONLY);
    std::array<char, 64> buf{};
    ssize_t first = ::read(fd, buf.data(), 5);
    const off_t back = ::lseek(fd, 0, SEEK_SET);
    ssize_t again = ::read(fd, buf.data(), buf.size());
    check(first == 5 && back == 0 && again == 17 && greeting == std::string_view(buf.data(), 17),
          "a seek back to 0 reads the greeting again from its first byte");

    const off_t middle = ::lseek(fd, 6, SEEK_SET);
    ssize_t rest = ::read(fd, buf.data(), buf.size());
    check(middle == 6 && rest == 11 && std::string_view(buf.data(), 11) == greeting.substr(6),
          "a seek into the greeting reads on from there");

    bool past_end_empty = true;
    for (const off_t at : {17, 18, 100, 4096}) {
        past_end_empty &= ::lseek(fd, at, SEEK_SET) == at && ::read(fd, buf.data(), 1) == 0;
        past_end_empty &= ::pread(fd, buf.data(), buf.size(), at) == 0;
    }
    check(past_end_empty, "reads at or past byte 17 give end of file");
    ::close(fd);

    struct stat st{};
    check(::stat(entry, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0444,
          "the entry is a regular file with mode 0444");

    const int writer = ::open(entry, O_WRONLY);
    const ssize_t wrote = writer >= 0 ? ::write(writer, "x", 1) : -1;
    const int write_error = errno;
    if (writer >= 0)
        ::close(writer);
    check(wrote < 0, "a write fails, also for root",
          wrote < 0 ? error_text(write_error) : "write accepted");
    check(read_entry() == greeting, "the content is unchanged after the write attempt");
}

// A child process that drops to an unprivileged user and reports what it saw.
void check_unprivileged() {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        if (read_entry() != greeting)
            ::_exit(11);
        if (::open(entry, O_WRONLY) >= 0 || errno != EACCES)
            ::_exit(12);
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "an unprivileged user reads the greeting and may not open it for writing",
          "child status " + std::to_string(status));
}

void check_concurrent() {
    constexpr int threads = 8, processes = 4, rounds = 300;
    std::atomic<int> bad{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int i = 0; i < rounds; ++i)
                bad += read_entry(t % 2 ? 3 : 4096) != greeting;
        });
    }
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t child = ::fork();
        if (child == 0) {
            int wrong = 0;
            for (int i = 0; i < rounds; ++i)
                wrong += read_entry() != greeting;
            ::_exit(wrong == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (auto &thread : pool)
        thread.join();
    int bad_processes = 0;
    for (const pid_t child : children) {
        int status = -1;
        ::waitpid(child, &status, 0);
        bad_processes += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    check(bad == 0 && bad_processes == 0,
          "8 threads and 4 processes reading at once each get the whole greeting",
          std::to_string(bad.load()) + " bad reads, " + std::to_string(bad_processes) +
              " bad processes");
}

void check_absent() {
    struct stat st{};
    const bool gone = ::stat(entry, &st) != 0 && errno == ENOENT && ::stat("/proc/self", &st) == 0;
    check(gone, "/proc/tarrow does not exist");
}

// Reads while the module comes and goes. Between unload and load the entry is
// missing (ENOENT), and an open that races the unload sees EIO; any read that
// succeeds must give the whole greeting.
void hammer(const char *stop_file) {
    long good = 0, missing = 0, racing = 0, wrong = 0;
    std::string first_wrong;
    while (::access(stop_file, F_OK) != 0) {
        const std::string got = read_entry();
        if (got == greeting) {
            ++good;
        } else if (got == "open: " + error_text(ENOENT)) {
            ++missing;
        } else if (got.ends_with(error_text(EIO))) {
            ++racing;
        } else if (wrong++ == 0) {
            first_wrong = got;
        }
    }
    check(wrong == 0 && good > 0,
          "reads during load/unload cycles give the greeting or a clean error",
          std::to_string(good) + " whole, " + std::to_string(missing) + " absent, " +
              std::to_string(racing) + " raced the unload, " + std::to_string(wrong) +
              " wrong (first: " + describe(first_wrong) + ")");
}

double microseconds_per_read(const char *path, int count) {
    std::array<char, 256> buf{};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        const int fd = ::open(path, O_RDONLY);
        if (fd < 0 || ::read(fd, buf.data(), buf.size()) <= 0)
            return -1;
        ::close(fd);
    }
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    return spent.count() / count;
}

void time_reads(int count) {
    // Alternate the two in rounds so that drift in the emulator hits both alike.
    double ours = 0, theirs = 0;
    constexpr int rounds = 5;
    for (int r = 0; r < rounds; ++r) {
        ours += microseconds_per_read(entry, count / rounds);
        theirs += microseconds_per_read("/proc/version", count / rounds);
    }
    ours /= rounds;
    theirs /= rounds;
    check(ours > 0 && theirs > 0, "timed open+read+close of /proc/tarrow and /proc/version");
    std::printf("    timing: /proc/tarrow %.1f us, /proc/version %.1f us per open+read+close "
                "(%d each), ratio %.2f\n",
                ours, theirs, count, ours / theirs);
}

} // namespace

int main(int argc, char **argv) {
    const std::string_view what = argc > 1 ? argv[1] : "";
    if (what == "reads") {
        check_reads();
        check_unprivileged();
        check_concurrent();
    } else if (what == "whole") {
        check_whole_read();
    } else if (what == "absent") {
        check_absent();
    } else if (what == "hammer" && argc == 3) {
        hammer(argv[2]);
    } else if (what == "time" && argc == 3) {
        time_reads(std::atoi(argv[2]));
    } else {
        std::fprintf(stderr, "usage: guest_check reads|whole|absent|hammer STOPFILE|time N\n");
        return 100;
    }
    return failures > 100 ? 100 : failures;
}
