// SPDX-License-Identifier: GPL-2.0-only
// The client's statistics of any bytes, fed whole and cut into reads where the
// input chooses, against what must hold of them: the same counts wherever the
// reads are cut, and no count above what it counts.
//
// The input: its first byte says how many cuts follow, each a byte that says
// how far after the last one it falls; the rest is the message.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "../reads.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t count = std::min<std::size_t>(data[0] % 16, size - 1);
    const std::string_view message(reinterpret_cast<const char *>(data + 1 + count),
                                   size - 1 - count);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0, at = 0; i < count; ++i) {
        at = std::min(at + data[1 + i], message.size());
        cuts.push_back(at);
    }
    const std::optional<Counts> counted = counted_in_reads(message, {});
    if (!counted || counted_in_reads(message, cuts) != counted)
        std::abort();
    const Counts &whole = *counted;
    if (whole.bytes != message.size() || whole.characters > whole.bytes ||
        whole.words > whole.characters || whole.lines > whole.characters ||
        whole.letters + whole.digits + whole.whitespace + whole.punctuation > whole.characters ||
        (whole.characters == 0) != message.empty())
        std::abort();
    return 0;
}
