// SPDX-License-Identifier: GPL-2.0-only
// The client's side of the exchange: the message read from fifo1, and the
// statistics sent back on fifo2.
#pragma once

#include <cstddef>
#include <span>

#include "protocol.hpp"
#include "statistics.hpp"

// Reads the message from `fd` until the sender has nothing more ready: the
// first read waits, later ones only take what is in the pipe already. End of
// file is never waited for, since drummet keeps fifo1 open until it has the
// reply. Says why and returns false when the message cannot be read.
bool read_message(int fd, Statistics &stats);

// The reply: one "name: count" line a count. Returns its length.
std::size_t format_reply(const Counts &counts, std::span<char, common::reply_capacity> out);

// Sends the reply to `fd` in one write, as drummet reads it; says why and
// returns false when it did not go whole.
bool send_reply(int fd, const Counts &counts);
