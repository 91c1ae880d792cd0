// SPDX-License-Identifier: GPL-2.0-only
// The client's side of the exchange over pipes made here: the message read as
// it arrives, never waiting for its end, and the reply, or why none went.

#include "reply.hpp"

#include <array>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../expected.hpp"
#include "unit.hpp"

namespace {

using common::Descriptor;

struct Pipe {
    Descriptor out, in;
};
Pipe a_pipe() {
    std::array<int, 2> ends{};
    EXPECT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
    return {Descriptor{ends[0]}, Descriptor{ends[1]}};
}

// The counts of what `writes` put in fifo1, which drummet keeps open: the
// client must not wait for its end, and a character cut across its reads (it
// reads 4096 bytes at a time) counts once.
TEST(Reply, CountsWhatArrivesWithoutWaitingForTheEnd) {
    struct Case {
        const char *what;
        std::vector<std::string> writes;
        bool closed;
        Counts counts;
    };
    for (const Case &c : std::vector<Case>{
             {"ASCII text", {"Hello, world 42!\nbye"}, false, {20, 20, 4, 2, 13, 2, 3, 2}},
             {"a character across two reads",
              {std::string(4095, 'a') + "\xe2\x82\xac" + "b"},
              false,
              {4099, 4097, 1, 1, 4096, 0, 0, 1}},
             {"end of file at once", {}, true, {}},
         }) {
        SCOPED_TRACE(c.what);
        Pipe fifo1 = a_pipe();
        for (const std::string &write : c.writes)
            ASSERT_EQ(::write(fifo1.in.get(), write.data(), write.size()),
                      static_cast<ssize_t>(write.size()));
        if (c.closed)
            fifo1.in.close();
        const auto counted = unit::within_patience([&] {
            Statistics stats;
            if (!read_message(fifo1.out.get(), stats))
                return std::string("failed");
            std::array<char, common::reply_capacity> text{};
            return std::string(text.data(), format_reply(stats.counts(), text));
        });
        std::array<char, common::reply_capacity> text{};
        EXPECT_EQ(counted, std::string(text.data(), format_reply(c.counts, text)));
    }
}

TEST(Reply, IsOneLineACount) {
    std::array<char, common::reply_capacity> text{};
    const std::size_t length = format_reply({9, 8, 2, 1, 7, 1, 1, 3}, text);
    EXPECT_EQ(std::string(text.data(), length),
              "bytes: 9\ncharacters: 8\nwords: 2\nlines: 1\nletters: 7\ndigits: 1\n"
              "whitespace: 1\npunctuation: 3\n");
}

// drummet gone before the reply: after a message, it closed fifo2 on the
// client; before any byte, it went without sending one (interrupted, or
// failed), perhaps because another client took it.
TEST(Reply, SaysTrulyWhyItCouldNotBeSent) {
    for (const unsigned long bytes : {0UL, 2UL}) {
        SCOPED_TRACE(bytes);
        Pipe fifo2 = a_pipe();
        fifo2.out.close();
        const unit::CapturedStderr said;
        EXPECT_FALSE(send_reply(fifo2.in.get(), Counts{.bytes = bytes}));
        EXPECT_EQ(said.text(), "drummet: " +
                                   std::string(bytes == 0 ? expected::no_message_came
                                                          : expected::closed_before_reply) +
                                   "\n");
    }
}

} // namespace
