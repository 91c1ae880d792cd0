// SPDX-License-Identifier: GPL-2.0-only
// drummet-client: the other end of drummet's pipes. It takes one message from
// "fifo1" and answers on "fifo2" with statistics of that message, one per line.
//
// It may be started before or after drummet: whichever comes first creates
// "fifo1", and both create "fifo2" if it is missing, so neither waits on a node
// that does not exist yet.

#include <array>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t reply_capacity = 1000; // what drummet takes in its one read
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr std::string_view usage_text =
    "Usage: drummet-client [-C DIR] [--help | --version]\n"
    "\n"
    "Connects to drummet through the named pipes \"fifo1\" and \"fifo2\" in the\n"
    "current directory (or DIR with -C), creating them if they are missing: opens\n"
    "fifo1 for reading, then fifo2 for writing. Takes the message from what the\n"
    "reads of fifo1 return, without waiting for end of file once bytes have come;\n"
    "end of file before any byte means an empty message. Answers with one write\n"
    "on fifo2 of these statistics, one \"name: count\" per line:\n"
    "\n"
    "  bytes        bytes received\n"
    "  characters   UTF-8 characters (each invalid byte counts as one)\n"
    "  words        runs of characters between white space\n"
    "  lines        lines, counting a last line without a newline\n"
    "  letters      alphabetic characters, in any script\n"
    "  digits       decimal digits\n"
    "  whitespace   white-space characters, newlines included\n"
    "  punctuation  punctuation and symbol characters\n"
    "\n"
    "Exit status: 0 when the reply was sent, 1 on failure (said on standard error),\n"
    "2 for a bad argument.\n";

void report(const char *subject, const char *reason) {
    std::fprintf(stderr, "drummet-client: %s: %s\n", subject, reason);
}

void report_errno(const char *subject) {
    report(subject, std::strerror(errno));
}

// Creates the pipe if it is missing and opens it. Like drummet, it refuses any
// node that is not a FIFO, before opening (no device or file gets opened) and
// after (the node may have been replaced in between). Returns -1 on failure.
int open_pipe(const char *name, int flags) {
    struct stat st {};
    if ((::mkfifo(name, 0777) != 0 && errno != EEXIST) || ::stat(name, &st) != 0) {
        report_errno(name);
        return -1;
    }
    if (!S_ISFIFO(st.st_mode)) {
        report(name, "exists and is not a named pipe");
        return -1;
    }
    const int fd = ::open(name, flags);
    if (fd < 0) {
        report_errno(name);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        report(name, "was replaced by something that is not a named pipe");
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Stats {
    unsigned long bytes = 0;
    unsigned long characters = 0;
    unsigned long words = 0;
    unsigned long lines = 0;
    unsigned long letters = 0;
    unsigned long digits = 0;
    unsigned long whitespace = 0;
    unsigned long punctuation = 0;

    // Decoding state carries over between chunks, so a character split across
    // two reads still counts once.
    std::mbstate_t state{};
    bool in_word = false;
    bool line_open = false;

    void count_character(wint_t ch) {
        ++characters;
        const bool space = std::iswspace(ch) != 0;
        if (space) {
            ++whitespace;
        } else if (!in_word) {
            ++words;
        }
        in_word = !space;
        if (ch == L'\n') {
            ++lines;
            line_open = false;
        } else {
            line_open = true;
        }
        letters += std::iswalpha(ch) != 0;
        digits += std::iswdigit(ch) != 0;
        punctuation += std::iswpunct(ch) != 0;
    }

    void add(std::span<const char> chunk) {
        bytes += chunk.size();
        while (!chunk.empty()) {
            wchar_t ch = 0;
            const std::size_t used = std::mbrtowc(&ch, chunk.data(), chunk.size(), &state);
            if (used == static_cast<std::size_t>(-2))
                return; // incomplete: the rest comes with the next chunk
            if (used == static_cast<std::size_t>(-1)) {
                // An invalid byte stands for itself, as one character of no class.
                state = std::mbstate_t{};
                count_character(WEOF);
                chunk = chunk.subspan(1);
                continue;
            }
            count_character(static_cast<wint_t>(ch));
            chunk = chunk.subspan(used == 0 ? 1 : used);
        }
    }

    void finish() {
        if (!std::mbsinit(&state)) // a truncated character at the very end
            count_character(WEOF);
        lines += line_open;
    }
};

// Reads until the sender has nothing more ready: the first read waits, later
// ones only take what is already in the pipe. End of file is never waited for.
bool read_message(int fd, Stats &stats) {
    std::array<char, 4096> chunk{};
    for (bool first = true;; first = false) {
        if (!first) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0)
                return true;
        }
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0) {
            report_errno("fifo1");
            return false;
        }
        if (got == 0)
            return true;
        stats.add(std::span<const char>{chunk.data(), static_cast<std::size_t>(got)});
    }
}

int format_reply(const Stats &s, std::span<char, reply_capacity> out) {
    return std::snprintf(out.data(), out.size(),
                         "bytes: %lu\ncharacters: %lu\nwords: %lu\nlines: %lu\n"
                         "letters: %lu\ndigits: %lu\nwhitespace: %lu\npunctuation: %lu\n",
                         s.bytes, s.characters, s.words, s.lines, s.letters, s.digits, s.whitespace,
                         s.punctuation);
}

int run() {
    const int message_fd = open_pipe("fifo1", O_RDONLY);
    if (message_fd < 0)
        return exit_failed;
    const int reply_fd = open_pipe("fifo2", O_WRONLY);
    if (reply_fd < 0)
        return exit_failed;

    Stats stats;
    if (!read_message(message_fd, stats))
        return exit_failed;
    stats.finish();

    std::array<char, reply_capacity> reply{};
    const int length = format_reply(stats, reply);
    const ssize_t written = ::write(reply_fd, reply.data(), static_cast<std::size_t>(length));
    if (written != length) {
        report("fifo2", written < 0 && errno == EPIPE ? "drummet closed the pipe before the reply"
                        : written < 0                 ? std::strerror(errno)
                                                      : "the reply was cut short");
        return exit_failed;
    }
    return exit_ok;
}

} // namespace

int main(int argc, char **argv) {
    const char *directory = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "--version") {
            if (arg == "--help")
                std::fputs(usage_text.data(), stdout);
            else
                std::puts("drummet-client " DRUMMET_VERSION);
            return std::fflush(stdout) == 0 ? exit_ok : exit_failed;
        }
        if (arg == "-C" && i + 1 < argc) {
            directory = argv[++i];
        } else {
            std::fprintf(stderr, "drummet-client: unexpected argument '%s' (see --help)\n",
                         argv[i]);
            return exit_usage;
        }
    }
    if (directory != nullptr && ::chdir(directory) != 0) {
        report_errno(directory);
        return exit_failed;
    }
    // Character classes follow Unicode; C.UTF-8 is built into the C library.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        report("locale", "C.UTF-8 is not available");
        return exit_failed;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return run();
}
