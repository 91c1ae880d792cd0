// SPDX-License-Identifier: GPL-2.0-only
// The terminal, when standard input is one: its mode, the signals that must
// put it back, and what is typed ahead for drummet, which must never reach the
// shell.
#pragma once

#include "connect.hpp"

class Terminal {
  public:
    // From the moment drummet waits for a client, when standard input `fd` is
    // a terminal (`terminal`): the signals that end or stop drummet put it back
    // first, and it is put back as it was found when drummet is done with it.
    // `console` says whether standard error is a terminal, to tell the user.
    Terminal(int fd, bool terminal, common::Console console);
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;
    ~Terminal() { release(); }

    [[nodiscard]] bool active() const { return active_; }

    // Said after the prompts: the user types below them and might never guess
    // how a message ends.
    void say_how_a_message_ends() const;

    // From now on out of canonical mode and without echo, whenever the
    // terminal is ours: what follows the message is no part of it, every byte
    // of a paste wakes a wait, and nothing typed shows as if it were taken.
    void hold();

    // Empties the terminal, when it is ours (what is typed while drummet is a
    // background job is the shell's), and says once that it did.
    void discard();

    // Waits until `reply` has something to read, emptying the terminal
    // meanwhile. A background job looks now and then whether it is in the
    // foreground again: fg continues a job that runs with no signal at all.
    void await(int reply);

    // Discards what comes until the terminal has been quiet for a while, and
    // for a few seconds at most: a paste goes on arriving as the terminal makes
    // room for it, ssh delivers one in pieces, and a held key never stops.
    void until_quiet();

    // As it was found. The handlers stay until the process ends, right after:
    // what they would put back is back already.
    void release();

  private:
    bool active_;
    bool tell_;
    bool told_ = false;
    long last_input_ms_ = 0;
};
