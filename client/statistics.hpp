// SPDX-License-Identifier: GPL-2.0-only
// Statistics of a message in UTF-8, counted as it arrives, read by read.
#pragma once

#include <cstddef>
#include <span>

#include <unicode/umachine.h>

struct Counts {
    unsigned long bytes = 0;
    unsigned long characters = 0;
    unsigned long words = 0;
    unsigned long lines = 0;
    unsigned long letters = 0;
    unsigned long digits = 0;
    unsigned long whitespace = 0;
    unsigned long punctuation = 0;
    friend bool operator==(const Counts &, const Counts &) = default;
};

class Statistics {
  public:
    // Longest thing `take` may leave for the next call: the start of a sequence.
    static constexpr std::size_t longest_unfinished = 3;

    // Counts the characters at the start of `bytes` and returns how many bytes
    // that took. Unless `last`, a sequence that may go on past the end is left;
    // those bytes must come again at the start of the next call. So the counts
    // are the same however the message was cut into reads.
    std::size_t take(std::span<const char> bytes, bool last);

    [[nodiscard]] const Counts &counts() const { return counts_; }

  private:
    void count(UChar32 character);

    Counts counts_;
    bool in_word_ = false;
    bool line_open_ = false;
};
