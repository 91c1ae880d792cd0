// SPDX-License-Identifier: GPL-2.0-only
#include "console.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "quote.hpp"
#include "shared.hpp"

namespace common {

namespace {

// A tick (SIGALRM) that came while a line is written would cut it short: it
// waits until the line is out.
class TicksHeldOff {
  public:
    TicksHeldOff() {
        sigset_t tick{};
        ::sigemptyset(&tick);
        ::sigaddset(&tick, SIGALRM);
        ::sigprocmask(SIG_BLOCK, &tick, &before_);
    }
    ~TicksHeldOff() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
    TicksHeldOff(const TicksHeldOff &) = delete;
    TicksHeldOff &operator=(const TicksHeldOff &) = delete;

  private:
    sigset_t before_{};
};

} // namespace

void report(const char *subject, const char *reason) {
    std::array<char, shown_size(PATH_MAX)> shown; // written before it is read
    const TicksHeldOff held;
    std::fprintf(stderr, "%s: %s: %s\n", program.name, quote_name(shown, subject), reason);
}

void report_errno(const char *subject) {
    report(subject, std::strerror(errno));
}

void say(const char *text) {
    const TicksHeldOff held;
    std::fprintf(stderr, "%s: %s\n", program.name, text);
}

void report_usage(const char *what, const char *argument) {
    // Enough of it to tell which it was, cut where a character begins. No
    // character is longer than four bytes: bytes that begin none are cut where
    // they stand, not followed back to nothing.
    constexpr std::size_t shown_length = 256;
    const std::size_t length = std::strlen(argument);
    const std::size_t longest = length < shown_length ? length : shown_length;
    const auto inside_a_character = [&](std::size_t at) {
        return at < length && (static_cast<unsigned char>(argument[at]) & 0xc0) == 0x80;
    };
    std::size_t cut = longest;
    while (cut + 3 > longest && inside_a_character(cut))
        --cut;
    if (inside_a_character(cut))
        cut = longest;
    std::array<char, shown_size(shown_length)> shown;
    std::fprintf(stderr, "%s: %s %s%s (see %s --help)\n", program.name, what,
                 quote_name(shown, std::string_view(argument, cut), true),
                 cut < length ? "..." : "", program.name);
}

int read_command_line(int argc, char **argv, std::string_view usage, CommandLine &line) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-C") {
            if (i + 1 == argc) {
                report_usage("a folder must follow", argv[i]);
                return exit_usage;
            }
            line.folder = argv[++i];
            continue;
        }
        if (arg != "--help" && arg != "-h" && arg != "--version") {
            report_usage("unexpected argument", argv[i]);
            return exit_usage;
        }
        if (i + 1 < argc) {
            report_usage("unexpected argument", argv[i + 1]);
            return exit_usage;
        }
        if (arg == "--version")
            std::printf("%s " DRUMMET_VERSION "\n", program.name);
        else
            std::fwrite(usage.data(), 1, usage.size(), stdout);
        if (std::fflush(stdout) != 0) {
            report_errno("stdout");
            return program.failed;
        }
        return exit_ok;
    }
    return -1;
}

bool enter_folder(const CommandLine &line) {
    if (line.folder == nullptr || ::chdir(line.folder) == 0)
        return true;
    report_errno(line.folder);
    return false;
}

bool park_closed_descriptors(std::span<const int> closed) {
    constexpr std::array<const char *, 3> names{"stdin", "stdout", "stderr"};
    for (const int fd : closed) {
        // Wrong direction on purpose: reads from 0 and writes to 1 and 2 fail with EBADF.
        const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (parked == fd)
            continue;
        const int error = parked < 0 ? errno : EBADF;
        if (parked >= 0)
            ::close(parked);
        std::array<char, 128> reason{};
        std::snprintf(reason.data(), reason.size(),
                      "closed, and /dev/null cannot take its place: %s", std::strerror(error));
        report(names[static_cast<std::size_t>(fd)], reason.data());
        return false;
    }
    return true;
}

void say_waiting(const char *who, const char *pronoun, const char *command) {
    const TicksHeldOff held;
    // Large, and left unset: written before they are read, they cost no page
    // that a run which never waits uses.
    std::array<char, PATH_MAX + 1> where;
    const char *folder = working_folder_name(std::span{where}.first(PATH_MAX));
    if (folder == nullptr) {
        // A command naming "." would make fifo1 wherever it is run: none at all.
        std::fprintf(stderr,
                     "%s: waiting for %s to open fifo1 in the current folder, whose path %s%s\n",
                     program.name, who,
                     errno == ERANGE || errno == ENAMETOOLONG ? "is longer than PATH_MAX"
                                                              : "cannot be found: ",
                     errno == ERANGE || errno == ENAMETOOLONG ? "" : std::strerror(errno));
        return;
    }
    std::array<char, shown_size(PATH_MAX)> shown;
    quote_name(shown, folder);
    // A shell drops the newlines that end a command's output, and so those that
    // end a folder's name in the suggested word; a slash after them keeps them.
    std::string_view path = folder;
    if (path.ends_with('\n')) {
        where[path.size()] = '/';
        path = {where.data(), path.size() + 1};
    }
    std::array<char, shown_size(PATH_MAX + 1)> word;
    std::fprintf(stderr, "%s: waiting for %s to open fifo1 in %s; start %s with: %s -C %s\n",
                 program.name, who, shown.data(), pronoun, command, quote_name(word, path, true));
}

const char *working_folder_name(std::span<char> buffer) {
    return ::getcwd(buffer.data(), buffer.size());
}

} // namespace common
