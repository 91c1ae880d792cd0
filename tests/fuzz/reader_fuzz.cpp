// SPDX-License-Identifier: GPL-2.0-only
// drummet's reading up to the backtick, fed through a real pipe or socket in
// the pieces the input chooses, against a plain model of what the message and
// what is left for the next reader must be.
//
// The input: its first byte chooses the kind of pipe or socket (and, for
// sequenced packets, whether the writer stays); then pieces, each a length
// byte and that many bytes (255 is 3000 bytes, for records 5000: longer than
// one look at the input).

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../inputs.hpp"
#include "input.hpp"
#include "report.hpp"

const common::Program common::program{"drummet", 255};

namespace {

struct Read {
    bool read = true;
    std::string message;
    std::size_t dropped = 0;
    std::string left;
};

// What reading `pieces` up to the backtick must give: streams keep what
// follows it; records lose the rest of the backtick's own, and a record
// longer than the 4096 bytes drummet looks at, without the backtick in them,
// stops the reading with that record and all after it left.
Read model(Kind kind, const std::vector<std::string> &pieces) {
    const bool records = kind != Kind::pipe && kind != Kind::stream;
    Read wanted;
    std::string gathered;
    std::size_t next = 0;
    for (; next < pieces.size(); ++next) {
        const std::string &piece = pieces[next];
        const std::size_t tick = piece.find('`');
        if (records && piece.size() > 4096 && (tick == std::string::npos || tick >= 4096)) {
            wanted.read = false;
            break;
        }
        gathered += piece.substr(0, tick);
        if (tick != std::string::npos) {
            if (!records)
                wanted.left = piece.substr(tick + 1);
            ++next;
            break;
        }
    }
    for (; next < pieces.size(); ++next)
        wanted.left += pieces[next];
    const std::string text = gathered.substr(0, gathered.find('\0'));
    wanted.message = text.substr(0, 999);
    wanted.dropped = text.size() - wanted.message.size();
    return wanted;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const auto kind = static_cast<Kind>(data[0] % 5);
    const bool writer_stays = (data[0] & 0x80) != 0 && kind == Kind::packets;
    const bool records = kind == Kind::packets || kind == Kind::datagrams;
    // A pipe of packets holds 16, and a socket of datagrams 10 unread (the
    // kernel's defaults), a pipe 64 KiB: no more, or a write would wait for ever.
    const std::size_t most = kind == Kind::packet_pipe ? 15 : kind == Kind::datagrams ? 9 : 64;
    std::vector<std::string> pieces;
    std::size_t total = 0;
    for (std::size_t at = 1; at < size && pieces.size() < most && total < 50000;) {
        std::size_t length = data[at++];
        if (length == 255)
            length = records ? 5000 : 3000;
        length = std::min(length, size - at);
        pieces.emplace_back(reinterpret_cast<const char *>(data + at), length);
        at += length;
        total += length;
    }
    // Writing nothing makes no packet of a pipe.
    if (kind == Kind::pipe || kind == Kind::packet_pipe || kind == Kind::stream)
        std::erase_if(pieces, [](const std::string &piece) { return piece.empty(); });
    // Datagrams have no end, and a peer that stays sends none: a last record
    // with a backtick ends the message where none did before.
    if (kind == Kind::datagrams || writer_stays)
        pieces.emplace_back("`");

    const Held held = holding(kind, pieces, writer_stays || kind == Kind::datagrams);
    if (!held.reader.valid() || !held.whole)
        std::abort(); // what the input holds would not be known

    Input input;
    if (!prepare_input(held.reader.get(), input))
        std::abort();
    std::array<char, common::message_capacity> buffer{};
    Gathered got{buffer};
    const bool read = gather(input, nullptr, got);
    const Read wanted = model(kind, pieces);
    if (read != wanted.read)
        std::abort();
    if (read &&
        (std::string(buffer.data(), got.stored) != wanted.message || got.dropped != wanted.dropped))
        std::abort();
    if (left_in(held.reader, kind) != wanted.left)
        std::abort();
    return 0;
}
