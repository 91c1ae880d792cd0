// SPDX-License-Identifier: GPL-2.0-only
#include "input.hpp"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "report.hpp"

namespace {

using common::report;
using common::report_errno;

constexpr const char *no_message = ", so there is no message to send";

// Whether a message can ever come through the socket `fd`, which `source`
// then names the kind of; says why not.
bool socket_can_give(int fd, Source &source) {
    int type = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0) {
        report_errno("stdin");
        return false;
    }
    source = type == SOCK_STREAM      ? Source::stream_socket
             : type == SOCK_SEQPACKET ? Source::packet_socket
                                      : Source::datagram_socket;
    sockaddr_storage address{};
    socklen_t address_size = sizeof address;
    const auto any = reinterpret_cast<sockaddr *>(&address);
    if (::getpeername(fd, any, &address_size) == 0)
        return true;
    if (errno == ENOTCONN && source != Source::datagram_socket) {
        report("stdin", "is a socket that is not connected%s", no_message);
        return false;
    }
    // A datagram socket with no peer takes messages from anyone who can name
    // it; one with no name either hears from nobody.
    address_size = sizeof address;
    if (errno != ENOTCONN || ::getsockname(fd, any, &address_size) != 0) {
        report_errno("stdin");
        return false;
    }
    const bool unnamed = address.ss_family == AF_UNIX ? address_size <= sizeof(sa_family_t)
                         : address.ss_family == AF_INET
                             ? reinterpret_cast<const sockaddr_in *>(&address)->sin_port == 0
                             : address.ss_family == AF_INET6 &&
                                   reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port == 0;
    if (unnamed)
        report("stdin", "is a socket with neither a name nor a peer%s", no_message);
    return !unnamed;
}

// Input left non-blocking (by a program that crashed, say) is waited for.
bool wait_for_input(int fd) {
    pollfd input{fd, POLLIN, 0};
    while (::poll(&input, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

// Through stdio, up to the backtick; end of input ends the message as the
// backtick would. A terminal out of canonical mode with no minimum to read
// (left so by a program, or set so with stty) gives nothing when the user
// pauses: no end of input, unless it hung up (POLLHUP or POLLERR, with
// POLLIN too, and reads that give nothing or fail with EIO).
bool gather_buffered(const Input &input, std::FILE *stream, Gathered &got) {
    for (;;) {
        const int c = std::getc(stream);
        if (c != EOF && static_cast<char>(c) == common::message_terminator)
            return true;
        if (c != EOF) {
            got.take(static_cast<char>(c));
            continue;
        }
        if (std::ferror(stream) == 0 && input.source == Source::pausing_terminal) {
            pollfd ready{input.fd, POLLIN, 0};
            while (::poll(&ready, 1, -1) < 0 && errno == EINTR)
                ;
            if ((ready.revents & POLLIN) == 0 || (ready.revents & (POLLHUP | POLLERR)) != 0)
                return true; // it hung up
            std::clearerr(stream);
            continue;
        }
        if (std::ferror(stream) == 0)
            return true;
        // Hung up while a read waited, it says so with EIO rather than POLLHUP.
        if (input.source == Source::pausing_terminal && errno == EIO)
            return true;
        if (errno != EAGAIN || !wait_for_input(input.fd)) {
            report_errno("stdin");
            return false;
        }
        std::clearerr(stream);
    }
}

bool keeps_records(Source source) {
    return source == Source::packet_socket || source == Source::datagram_socket;
}

// Whether an empty peek at a socket that keeps records apart is a record,
// to be taken, and not the end. Datagrams have no end. Sequenced packets end
// once the peer has shut down and no bytes are left behind the empty record.
bool empty_record(const Input &input) {
    if (input.source == Source::datagram_socket)
        return true;
    pollfd peer{input.fd, POLLRDHUP, 0};
    if (::poll(&peer, 1, 0) <= 0 || (peer.revents & (POLLRDHUP | POLLHUP)) == 0)
        return true;
    int left = 0;
    return ::ioctl(input.fd, FIONREAD, &left) == 0 && left > 0;
}

// Shows what the input holds next without taking it, at most `seen.size()`
// bytes: a copy of what the pipe holds (tee), or a peek at the socket, and in
// `whole` how long it is, where a record is longer than `seen`. 0 at the end
// of input, -1 with errno on failure.
ssize_t look_ahead(Input &input, std::span<char> seen, std::size_t &whole) {
    const bool socket = input.source != Source::pipe;
    for (;;) {
        const int peek = MSG_PEEK | (keeps_records(input.source) ? MSG_TRUNC : 0);
        const ssize_t shown = socket ? ::recv(input.fd, seen.data(), seen.size(), peek)
                                     : ::tee(input.fd, input.copy_in.get(), seen.size(), 0);
        if (shown == 0 && keeps_records(input.source) && empty_record(input)) {
            std::array<char, 1> none{};
            if (::recv(input.fd, none.data(), none.size(), 0) < 0)
                return -1;
            continue;
        }
        if (shown >= 0 || errno != EAGAIN || !wait_for_input(input.fd)) {
            // A record says how long it is whole, which may be more than was shown.
            whole = shown > 0 ? static_cast<std::size_t>(shown) : 0;
            return shown > static_cast<ssize_t>(seen.size()) ? static_cast<ssize_t>(seen.size())
                                                             : shown;
        }
    }
}

// Up to the backtick and not a byte further, where someone else may read on.
// A pipe of packets (written to with O_DIRECT) gives one packet a read and
// drops what the read had no room for; so its packets are read one by one,
// each whole as the copy shows it, and a packet the copy shows cut short (the
// last of a full look) is left for the next look, unless the backtick is in
// it: what follows the backtick in its own packet is lost, as for any reader
// that stops there. What is read must be what was seen, or another process is
// reading the same input and the message cannot be known.
bool gather_exactly(Input &input, Gathered &got) {
    const bool socket = input.source != Source::pipe;
    std::array<char, 4096> seen; // written before they are read
    std::array<char, 4096> taken;
    for (;;) {
        std::size_t whole = 0;
        const ssize_t shown = look_ahead(input, seen, whole);
        if (shown <= 0) {
            if (shown < 0)
                report_errno("stdin");
            return shown == 0;
        }
        const auto full = static_cast<std::size_t>(shown);
        if (whole > full && std::memchr(seen.data(), common::message_terminator, full) == nullptr) {
            report("stdin", "holds a record longer than drummet can look at, so where the "
                            "message ends is not known: nothing is sent");
            return false;
        }
        for (std::size_t offset = 0; offset < full;) {
            ssize_t piece = static_cast<ssize_t>(full - offset);
            if (!socket &&
                (piece = ::read(input.copy_out.get(), seen.data() + offset, full - offset)) <= 0) {
                report("stdin", "%s", piece < 0 ? std::strerror(errno) : "its copy came short");
                return false;
            }
            const std::span<const char> bytes{seen.data() + offset,
                                              static_cast<std::size_t>(piece)};
            const auto *end = static_cast<const char *>(
                std::memchr(bytes.data(), common::message_terminator, bytes.size()));
            offset += bytes.size();
            if (end == nullptr && offset == full && offset > bytes.size() && full == seen.size())
                break; // perhaps cut short: it comes whole at the next look
            const std::size_t wanted =
                end == nullptr ? bytes.size() : static_cast<std::size_t>(end - bytes.data()) + 1;
            const ssize_t took = ::read(input.fd, taken.data(), wanted);
            if (took < 0 && errno != EAGAIN) {
                report_errno("stdin");
                return false;
            }
            if (took != static_cast<ssize_t>(wanted) ||
                std::memcmp(taken.data(), bytes.data(), wanted) != 0) {
                report("stdin", "another process read from it at the same time, so the message "
                                "is not known: nothing is sent");
                return false;
            }
            for (const char byte : std::span{taken}.first(end == nullptr ? wanted : wanted - 1))
                got.take(byte);
            if (end != nullptr)
                return true;
        }
    }
}

} // namespace

bool can_read(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    const char *refused = flags == -1                       ? "is closed"
                          : (flags & O_ACCMODE) == O_WRONLY ? "is open for writing only"
                          : (flags & O_PATH) != 0           ? "is open as a path only"
                                                            : nullptr;
    if (refused != nullptr)
        report("stdin", "%s%s", refused, no_message);
    return refused == nullptr;
}

bool prepare_input(int fd, Input &input) {
    input.fd = fd;
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        report_errno("stdin");
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        report("stdin", "is a directory%s", no_message);
        return false;
    }
    if (S_ISSOCK(st.st_mode))
        return socket_can_give(fd, input.source);
    termios mode{};
    if (S_ISCHR(st.st_mode) && ::tcgetattr(fd, &mode) == 0)
        input.source = (mode.c_lflag & ICANON) == 0 && mode.c_cc[VMIN] == 0
                           ? Source::pausing_terminal
                           : Source::terminal;
    if (!S_ISFIFO(st.st_mode))
        return true;
    input.source = Source::pipe;
    std::array<int, 2> copy{};
    if (::pipe2(copy.data(), O_CLOEXEC) != 0) {
        report("stdin",
               "is a pipe, which needs a pipe of its own to be read up to the backtick and no "
               "further: %s",
               std::strerror(errno));
        return false;
    }
    input.copy_out = common::Descriptor{copy[0]};
    input.copy_in = common::Descriptor{copy[1]};
    return true;
}

bool gather(Input &input, std::FILE *stream, Gathered &got) {
    switch (input.source) {
    case Source::file:
    case Source::terminal:
    case Source::pausing_terminal:
        return gather_buffered(input, stream, got);
    case Source::pipe:
    case Source::stream_socket:
    case Source::packet_socket:
    case Source::datagram_socket:
        break;
    }
    return gather_exactly(input, got);
}
