// SPDX-License-Identifier: GPL-2.0-only
#include "quote.hpp"

#include <cstdio>

namespace common {

namespace {

// Characters a terminal obeys rather than shows: the bidirectional controls
// (U+061C, U+200E and U+200F, U+202A to U+202E, U+2066 to U+2069), which make
// a line show in another order than it reads, and the line and paragraph
// separators (U+2028, U+2029), which some terminals take for a newline.
bool reorders_or_breaks(std::string_view character) {
    if (character == "\xd8\x9c")
        return true;
    if (character.size() != 3 || character[0] != '\xe2')
        return false;
    const auto second = static_cast<unsigned char>(character[1]);
    const auto third = static_cast<unsigned char>(character[2]);
    return (second == 0x80 &&
            (third == 0x8e || third == 0x8f || (third >= 0xa8 && third <= 0xae))) ||
           (second == 0x81 && third >= 0xa6 && third <= 0xa9);
}

// The length of the well-formed UTF-8 sequence at the start of `s` that a
// terminal shows as a character, or 0: a control character, a byte that starts
// no sequence, or an ill-formed sequence (overlong, a surrogate, beyond
// U+10FFFF, cut short).
std::size_t printable_sequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char first = byte(0);
    if (first < 0x80)
        return first >= 0x20 && first != 0x7f ? 1 : 0;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // the second byte's range
    if (first >= 0xc2 && first <= 0xdf)
        length = 2;
    else if (first >= 0xe0 && first <= 0xef)
        length = 3;
    else if (first >= 0xf0 && first <= 0xf4)
        length = 4;
    else
        return 0;
    if (first == 0xc2)
        low = 0xa0; // U+0080 to U+009F are the C1 controls
    else if (first == 0xe0)
        low = 0xa0;
    else if (first == 0xed)
        high = 0x9f;
    else if (first == 0xf0)
        low = 0x90;
    else if (first == 0xf4)
        high = 0x8f;
    if (s.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return reorders_or_breaks(s.substr(0, length)) ? 0 : length;
}

bool clean(std::string_view name) {
    for (std::size_t length = 0; !name.empty(); name.remove_prefix(length))
        if ((length = printable_sequence(name)) == 0)
            return false;
    return true;
}

// Appends to a fixed buffer, always leaving room for the NUL; what does not
// fit is shown to be missing, with "..." at the end.
struct Writer {
    std::span<char> out;
    std::size_t used = 0;
    bool cut = false;
    void put(std::string_view text) {
        for (const char c : text) {
            if (used + 1 < out.size())
                out[used++] = c;
            else
                cut = true;
        }
    }
    const char *end() {
        if (cut && used >= 3)
            std::string_view("...").copy(out.data() + used - 3, 3);
        out[used] = '\0';
        return out.data();
    }
};

} // namespace

const char *quote_name(std::span<char> out, std::string_view name, bool shell_word) {
    Writer w{out};
    if (clean(name) && !shell_word) {
        w.put(name);
    } else if (clean(name)) {
        w.put("'");
        for (const char c : name)
            w.put(c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1));
        w.put("'");
    } else {
        // Inside printf's format a backslash and a percent sign are its own,
        // and a leading dash would be taken for an option.
        w.put("\"$(printf '");
        const std::size_t first = name.size();
        for (std::size_t length = 0; !name.empty(); name.remove_prefix(length)) {
            length = printable_sequence(name);
            if (length == 0 || (name.size() == first && name[0] == '-')) {
                char octal[5];
                std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(name[0]));
                w.put(octal);
                length = 1;
            } else if (name[0] == '\'') {
                w.put("'\\''");
            } else if (name[0] == '\\' || name[0] == '%') {
                w.put(name[0] == '\\' ? "\\\\" : "%%");
            } else {
                w.put(name.substr(0, length));
            }
        }
        w.put("')\"");
    }
    return w.end();
}

} // namespace common
