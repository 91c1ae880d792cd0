// SPDX-License-Identifier: GPL-2.0-only
// Names as we print them: a folder's name is the user's, and whatever bytes it
// holds must not reach the terminal as they are, where an escape sequence would
// be obeyed and a newline would start a line of its own.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace common {

// Room a shown name needs: every byte may take four, and the quotes some more.
constexpr std::size_t shown_size(std::size_t name_size) {
    return 4 * name_size + 16;
}

// Writes `name` into `out` (shown_size(name.size()) bytes hold it whole) and
// returns it there, NUL-terminated; a name cut short for want of room ends in
// "...". A name that is valid UTF-8 without control characters (C0, DEL, C1)
// and without the characters that reorder or break a line on a terminal
// (bidirectional controls, line and paragraph separators) is written as it
// is, or single-quoted when `shell_word` asks for a word a shell reads back as
// the name. Any other name becomes "$(printf '...')" with those bytes as octal
// escapes: one line that shows what is there, and a word every POSIX shell
// reads back as the name (but for newlines at its very end, which the shell
// drops).
const char *quote_name(std::span<char> out, std::string_view name, bool shell_word = false);

} // namespace common
