// SPDX-License-Identifier: GPL-2.0-only
// Random console input, checked against what must arrive on fifo1. The seed is
// printed; DRUMMET_TEST_SEED replays a failing run.

#include "support.hpp"

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

struct Expected {
    std::string message; // what must arrive on fifo1 ("" means end of file)
    std::size_t dropped = 0;
};

// What drummet must make of the input: up to the first backtick or the end, and
// of that up to the first NUL, at most 999 bytes sent and the rest dropped.
Expected expected_for(std::string_view input) {
    const std::string_view gathered = input.substr(0, input.find('`'));
    const std::string_view text = gathered.substr(0, gathered.find('\0'));
    Expected e;
    e.message = std::string(text.substr(0, 999));
    e.dropped = text.size() - e.message.size();
    return e;
}

std::string random_input(std::mt19937_64 &rng) {
    std::uniform_int_distribution<std::size_t> length(0, 4000);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 999);
    // Some inputs have no backtick at all, to exercise the end of input.
    const bool terminated = pick(rng) < 700;
    // A NUL ends the message, so only inputs without one are long enough to be cut.
    const bool nuls = pick(rng) < 500;
    // Empty messages are rare by chance; make sure every way to one comes up.
    std::string input;
    const int start = pick(rng);
    if (start < 20)
        return input;
    if (start < 40 && terminated)
        input.push_back('`');
    else if (start < 60)
        input.push_back('\0');
    const std::size_t size = input.size() + length(rng);
    while (input.size() < size) {
        const int roll = pick(rng);
        int value = byte(rng);
        if (roll < 2 && nuls)
            value = 0; // a NUL now and then
        else if (value == 0 && !nuls)
            value = 'z';
        else if (roll < 6)
            value = 0xff;
        else if (roll < 8 && terminated)
            value = '`';
        else if (value == '`' && !terminated)
            value = 'x';
        input.push_back(static_cast<char>(value));
    }
    return input;
}

// Inputs where a careless gathering goes wrong, before the random ones.
std::vector<std::string> fixed_inputs() {
    std::string ab(999, 'x'), overlong(1500, 'y');
    for (std::size_t i = 0; i < ab.size(); ++i)
        ab[i] = static_cast<char>('a' + i % 26);
    overlong[1400] = '`'; // what follows it is not counted as dropped
    return {
        "hello`",
        "ab\ncd`\n",                                     // a message of several lines
        "hello` world",                                  // what follows is never taken
        std::string("a\xff\x80\x7f\x01 \t\r\x5f\x61z`"), // every byte but the backtick is one
        std::string("abc\0def`", 8),                     // a NUL ends what is sent
        std::string("abc\0", 4) + std::string(2000, 'x') + "`", // and what follows is not cut
        ab + "`",                     // 999 bytes arrive whole in one read
        std::string(999, 'k') + "L`", // 1000 lose the last
        overlong,
        std::string(4000, 'z'), // cut without a terminator too
        "no terminator\n",      // end of input ends it
        "`rest",                // empty messages, sent as end of file
        std::string("\0abc`", 5),
        "",
    };
}

TEST(RandomInput, WhatArrivesOnFifo1MatchesTheInput) {
    std::uint64_t seed = std::random_device{}();
    if (const char *fixed = std::getenv("DRUMMET_TEST_SEED"))
        seed = std::strtoull(fixed, nullptr, 10);
    RecordProperty("seed", std::to_string(seed));
    std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
    std::mt19937_64 rng(seed);

    TempDir dir; // one directory, so every run after the first reuses the nodes
#ifdef __SANITIZE_ADDRESS__
    constexpr int runs = 250; // a sanitized process takes some 80 ms to start and end
#else
    constexpr int runs = 1000;
#endif
    const std::vector<std::string> fixed = fixed_inputs();
    int cut = 0, empty = 0;
    for (int run = 0; run < runs; ++run) {
        const std::string input = static_cast<std::size_t>(run) < fixed.size()
                                      ? fixed[static_cast<std::size_t>(run)]
                                      : random_input(rng);
        const Expected wanted = expected_for(input);
        SCOPED_TRACE("run " + std::to_string(run) + ", input of " + std::to_string(input.size()) +
                     " bytes, seed " + std::to_string(seed));
        Process drummet({drummet_path()}, dir.path());
        const std::string reply = "got " + std::to_string(wanted.message.size());
        const Exchange exchanged = exchange_with(drummet, dir.path(), input, reply);
        ASSERT_EQ(exchanged.message, wanted.message);
        const Outcome &outcome = exchanged.outcome;
        ASSERT_EQ(outcome.out, std::string(prompt_text) + std::string(reply_label) + reply);
        if (wanted.dropped > 0) {
            ++cut;
            ASSERT_EQ(outcome.err, "drummet: " + expected::cut(wanted.dropped) + "\n");
            ASSERT_EQ(outcome.status, 255);
        } else {
            ASSERT_EQ(outcome.err, "");
            ASSERT_EQ(outcome.status, 0);
        }
        empty += wanted.message.empty();
    }
    // The generator must have reached the interesting cases, or the run proves little.
    EXPECT_GT(cut, runs / 20);
    EXPECT_GT(empty, runs / 100);
}

} // namespace
