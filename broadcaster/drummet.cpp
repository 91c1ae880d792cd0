// SPDX-License-Identifier: GPL-2.0-only
// drummet: hands one message typed on standard input to a client over the named
// pipe "fifo1" and prints the statistics the client sends back on "fifo2".
//
// The program is meant to stay tiny and predictable: one pass, fixed buffers on
// the stack, and nothing from the C++ runtime, so it links against libc alone.

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *message_pipe = "fifo1";
constexpr const char *reply_pipe = "fifo2";
constexpr mode_t pipe_mode = 0777;

// A message is at most 999 bytes so that it and its NUL fit in 1000.
constexpr std::size_t message_capacity = 1000;
constexpr std::size_t reply_capacity = 1000;
constexpr char message_terminator = '`';

constexpr int exit_ok = 0;
constexpr int exit_usage = 2;
constexpr int exit_failed = 255;

constexpr std::string_view usage_text =
    "Usage: drummet [--help | --version]\n"
    "\n"
    "Creates the named pipes \"fifo1\" and \"fifo2\" in the current directory and\n"
    "waits until a client has opened fifo1 for reading and then fifo2 for writing.\n"
    "Then reads one message from standard input up to a backtick (`) or the end of\n"
    "input, sends it to the client on fifo1 in one write, and prints the client's\n"
    "reply, read once from fifo2 (at most 1000 bytes).\n"
    "\n"
    "A message holds at most 999 bytes; longer input is cut and the cut reported.\n"
    "An empty message closes fifo1 so that the client reads end of file.\n"
    "\n"
    "Exit status: 0 when the reply was printed or the client closed fifo2 without\n"
    "one, 2 for a bad argument, 255 for any failure (said on standard error).\n";

void report(const char *subject, const char *reason) {
    std::fprintf(stderr, "drummet: %s: %s\n", subject, reason);
}

void report_errno(const char *subject) {
    report(subject, std::strerror(errno));
}

// Owns one descriptor. Closing is rarely needed (process exit does it), but an
// empty message has to close fifo1 early, and failure paths must not leak.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { close(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_ = -1;
};

const char *node_kind(mode_t mode) {
    if (S_ISREG(mode))
        return "is a regular file, not a named pipe";
    if (S_ISDIR(mode))
        return "is a directory, not a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "is a device, not a named pipe";
    if (S_ISSOCK(mode))
        return "is a socket, not a named pipe";
    return "is not a named pipe";
}

bool is_pipe_or_report(const char *name, const struct stat &st) {
    if (S_ISFIFO(st.st_mode))
        return true;
    report(name, node_kind(st.st_mode));
    return false;
}

// Creates the named pipe unless it is already there, then opens it; the open
// blocks until the client has the other end. Anything at the path that is not a
// FIFO is refused, checked before the open (so that no device or file is opened
// for writing) and again after it (in case the node was swapped in between).
Descriptor open_pipe(const char *name, int flags) {
    if (::mkfifo(name, pipe_mode) != 0 && errno != EEXIST) {
        report_errno(name);
        return {};
    }
    struct stat st {};
    if (::stat(name, &st) != 0) {
        report_errno(name);
        return {};
    }
    if (!is_pipe_or_report(name, st))
        return {};
    Descriptor pipe{::open(name, flags)};
    if (!pipe.valid()) {
        report_errno(name);
        return {};
    }
    if (::fstat(pipe.get(), &st) != 0) {
        report_errno(name);
        return {};
    }
    if (!is_pipe_or_report(name, st))
        return {};
    return pipe;
}

// If the caller started us with 0, 1 or 2 closed, the first pipe we open would
// take that number and the prompts would travel to the client. Parking an unusable
// descriptor there keeps the numbers taken and makes console I/O fail loudly.
void occupy_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Wrong direction on purpose: reads from 0 and writes to 1 and 2 fail with EBADF.
        const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (parked != fd && parked >= 0)
            ::close(parked);
    }
}

struct Gathered {
    std::size_t stored = 0;
    std::size_t dropped = 0;
};

// Reads up to the backtick. End of input ends the message as the backtick would.
// Bytes beyond the buffer are read (so the backtick is still found) but counted
// instead of stored.
Gathered gather_message(std::span<char, message_capacity> buffer) {
    Gathered got;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        const char byte = static_cast<char>(c);
        if (byte == message_terminator)
            break;
        if (got.stored < buffer.size() - 1)
            buffer[got.stored++] = byte;
        else
            ++got.dropped;
    }
    buffer[got.stored] = '\0';
    return got;
}

// The message goes out in one write; it is at most 999 bytes, well below the
// size the kernel writes to a pipe atomically. An empty message closes the pipe
// instead, since writing nothing would leave the client waiting for ever.
bool send_message(Descriptor &pipe, std::string_view message) {
    if (message.empty()) {
        pipe.close();
        return true;
    }
    const ssize_t written = ::write(pipe.get(), message.data(), message.size());
    if (written < 0 && errno == EPIPE) {
        report(message_pipe, "the client closed the pipe before the message was sent");
        return false;
    }
    if (written < 0) {
        report_errno(message_pipe);
        return false;
    }
    if (static_cast<std::size_t>(written) != message.size()) {
        std::fprintf(stderr, "drummet: %s: only %zd of %zu message bytes were sent\n", message_pipe,
                     written, message.size());
        return false;
    }
    return true;
}

int handle_arguments(int argc, char **argv) {
    const std::string_view arg = argv[1];
    if (argc == 2 && arg == "--help") {
        std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
    } else if (argc == 2 && arg == "--version") {
        std::puts("drummet " DRUMMET_VERSION);
    } else {
        const bool known = arg == "--help" || arg == "--version";
        std::fprintf(stderr, "drummet: unexpected argument '%s' (see drummet --help)\n",
                     known ? argv[2] : argv[1]);
        return exit_usage;
    }
    if (std::fflush(stdout) != 0) {
        report_errno("stdout");
        return exit_failed;
    }
    return exit_ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1)
        return handle_arguments(argc, argv);

    occupy_standard_descriptors();
    // A client that goes away early must give us EPIPE to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);

    Descriptor message_fd = open_pipe(message_pipe, O_WRONLY);
    if (!message_fd.valid())
        return exit_failed;
    Descriptor reply_fd = open_pipe(reply_pipe, O_RDONLY);
    if (!reply_fd.valid())
        return exit_failed;

    std::puts("\nReady to broadcast to client");
    std::puts("Enter message : ");

    std::array<char, message_capacity> message{};
    const Gathered got = gather_message(message);
    if (std::ferror(stdin)) {
        report_errno("stdin");
        return exit_failed;
    }
    if (got.dropped > 0) {
        std::fprintf(stderr, "drummet: %s: message longer than %zu bytes, %zu bytes dropped\n",
                     message_pipe, got.stored, got.dropped);
    }

    // A NUL typed into the message ends what is sent, as clients expect text.
    if (!send_message(message_fd, std::string_view{message.data()}))
        return exit_failed;

    std::array<char, reply_capacity + 1> reply{};
    const ssize_t received = ::read(reply_fd.get(), reply.data(), reply_capacity);
    if (received < 0) {
        report_errno(reply_pipe);
        return exit_failed;
    }
    if (received > 0) {
        reply[static_cast<std::size_t>(received)] = '\0';
        // fputs, not printf: the reply is text printed as is, and the formatter
        // would map a further 128 KiB of the C library into every run.
        std::fputs("\nStats recieved from client: \n", stdout);
        std::fputs(reply.data(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        report_errno("stdout");
        return exit_failed;
    }
    return got.dropped > 0 ? exit_failed : exit_ok;
}
