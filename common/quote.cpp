// SPDX-License-Identifier: GPL-2.0-only
#include "quote.hpp"

#include <cstdio>

namespace fifo_guard {

namespace {

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
    return length;
}

bool clean(std::string_view name) {
    for (std::size_t length = 0; !name.empty(); name.remove_prefix(length))
        if ((length = printable_sequence(name)) == 0)
            return false;
    return true;
}

// Appends to a fixed buffer, always leaving room for the NUL.
struct Writer {
    std::span<char> out;
    std::size_t used = 0;
    void put(std::string_view text) {
        for (const char c : text)
            if (used + 1 < out.size())
                out[used++] = c;
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
        // Inside printf's format a backslash and a percent sign are its own.
        w.put("\"$(printf '");
        for (std::size_t length = 0; !name.empty(); name.remove_prefix(length)) {
            length = printable_sequence(name);
            if (length == 0) {
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
    out[w.used] = '\0';
    return out.data();
}

} // namespace fifo_guard
