// SPDX-License-Identifier: GPL-2.0-only
// Standard input, and the message taken from it up to the backtick.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

#include "descriptor.hpp"
#include "protocol.hpp"

// What the input is, and so how it is read. From a pipe or a socket, stdio
// would read ahead and take what follows the backtick from whoever reads
// next: such input is read exactly, with a look at what it holds first (a
// private copy of a pipe, a peek at a socket). A file or a terminal is read
// through stdio; a file's offset is put back after the backtick when the
// process exits.
enum class Source {
    file,             // or a device that is no terminal
    terminal,         // a line at a time, where a hangup ends the input
    pausing_terminal, // out of canonical mode with no minimum: nothing is a pause
    pipe,
    stream_socket,
    packet_socket,   // keeps records apart: each read takes one, and what of it the
    datagram_socket, // read had no room for is lost; datagrams have no end
};

struct Input {
    int fd = -1;
    Source source = Source::file;
    common::Descriptor copy_out, copy_in; // a pipe's own copy, for a pipe
};

// Whether `fd` can give a message at all: not closed, not open for writing or
// as a path only. Found out at the first read, it would come after a client
// had connected for nothing. Says why not.
bool can_read(int fd);

// What `fd` is and what reading it needs, made before any client connects:
// a failure then keeps nobody waiting. Says why and returns false when there
// is no message to read from it.
bool prepare_input(int fd, Input &input);

// The message as it is gathered, byte by byte, up to the backtick.
struct Gathered {
    std::span<char, common::message_capacity> buffer;
    std::size_t stored = 0;
    std::size_t dropped = 0;
    bool at_nul = false;

    // A NUL ends the message too, as clients expect text, but not the reading.
    // Bytes beyond the buffer are counted instead of stored.
    void take(char byte) {
        at_nul = at_nul || byte == '\0';
        if (at_nul)
            return;
        if (stored < buffer.size() - 1)
            buffer[stored++] = byte;
        else
            ++dropped;
    }
};

// Reads the message up to the backtick or the end of input, through `stream`
// (stdio's, over input.fd) where the input is read through stdio. Says why
// and returns false when the input could not be read.
bool gather(Input &input, std::FILE *stream, Gathered &got);
