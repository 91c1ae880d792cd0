// SPDX-License-Identifier: GPL-2.0-only
// Pipes and sockets that hold what a test wrote, as standard input, and what
// is left in them once drummet has read: for the unit tests and the reader's
// fuzz target alike.
#pragma once

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "descriptor.hpp"

enum class Kind { pipe, packet_pipe, stream, packets, datagrams };

struct Held {
    common::Descriptor reader, writer;
    bool whole = true; // every write took all it was given
};

// A pipe or a socket of `kind` that holds `writes`; its writer is closed
// unless it `stays`.
inline Held holding(Kind kind, const std::vector<std::string> &writes, bool stays = false) {
    std::array<int, 2> ends{-1, -1};
    const int type = kind == Kind::stream    ? SOCK_STREAM
                     : kind == Kind::packets ? SOCK_SEQPACKET
                                             : SOCK_DGRAM;
    if (kind == Kind::pipe || kind == Kind::packet_pipe)
        (void)::pipe2(ends.data(), O_CLOEXEC | (kind == Kind::packet_pipe ? O_DIRECT : 0));
    else
        (void)::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends.data());
    Held held{common::Descriptor{ends[0]}, common::Descriptor{ends[1]}};
    for (const std::string &write : writes)
        held.whole = held.whole && ::write(held.writer.get(), write.data(), write.size()) ==
                                       static_cast<ssize_t>(write.size());
    if (!stays)
        held.writer.close();
    return held;
}

// All that is left for the next reader: the bytes of a pipe or a stream, or
// of the records still queued. A record may be empty (recv gives 0), so
// records are taken until none is queued: datagrams until recv would wait,
// sequenced packets while bytes are queued.
inline std::string left_in(const common::Descriptor &reader, Kind kind) {
    std::string left;
    std::array<char, 8192> chunk{};
    for (;;) {
        int queued = 0;
        if (kind == Kind::packets && (::ioctl(reader.get(), FIONREAD, &queued) != 0 || queued == 0))
            return left;
        const ssize_t got = kind == Kind::pipe || kind == Kind::packet_pipe
                                ? ::read(reader.get(), chunk.data(), chunk.size())
                                : ::recv(reader.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got < 0 || (got == 0 && kind != Kind::datagrams && kind != Kind::packets))
            return left;
        left.append(chunk.data(), static_cast<std::size_t>(got));
    }
}
