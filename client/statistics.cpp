// SPDX-License-Identifier: GPL-2.0-only
#include "statistics.hpp"

#include <cstdint>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

std::size_t Statistics::take(std::span<const char> bytes, bool last) {
    const auto *text = reinterpret_cast<const std::uint8_t *>(bytes.data());
    const auto length = static_cast<std::int32_t>(bytes.size());
    std::int32_t next = 0;
    while (next < length) {
        const std::int32_t start = next;
        UChar32 character = 0;
        // Unicode's practice for ill-formed input: each maximal subpart (the
        // longest start of a well-formed sequence, or else one byte) is one
        // U+FFFD, which U8_NEXT reports as a negative value.
        U8_NEXT(text, next, length, character);
        if (character < 0 && next == length && !last) {
            next = start; // the next read may finish it
            break;
        }
        count(character);
    }
    counts_.bytes += static_cast<unsigned long>(next);
    if (last && line_open_) {
        ++counts_.lines;
        line_open_ = false;
    }
    return static_cast<std::size_t>(next);
}

void Statistics::count(UChar32 character) {
    ++counts_.characters;
    const bool space = character >= 0 && u_isUWhiteSpace(character);
    if (space)
        ++counts_.whitespace;
    else if (!in_word_)
        ++counts_.words;
    in_word_ = !space;
    if (character == '\n') {
        ++counts_.lines;
        line_open_ = false;
    } else {
        line_open_ = true;
    }
    if (character < 0)
        return; // ill-formed: a character, of no class
    const std::uint32_t category = U_GET_GC_MASK(character);
    counts_.letters += (category & U_GC_L_MASK) != 0;
    counts_.digits += (category & U_GC_ND_MASK) != 0;
    counts_.punctuation += (category & (U_GC_P_MASK | U_GC_S_MASK)) != 0;
}
