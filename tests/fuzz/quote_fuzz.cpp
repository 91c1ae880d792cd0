// SPDX-License-Identifier: GPL-2.0-only
// Names as both programs show them, for any bytes: one line that acts on
// nothing on a terminal, and a word that a shell reads back as the name, read
// back here by a plain model of what sh makes of it.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "quote.hpp"

namespace {

// What a POSIX shell makes of a word that quote_name writes: '...' with '\''
// for a quote, or "$(printf '...')" with printf's octal escapes, \\ and %%;
// nothing, when it is no such word.
bool read_back(std::string_view word, std::string &name) {
    name.clear();
    constexpr std::string_view open = "\"$(printf '", close = "')\"";
    if (word.starts_with(open) && word.ends_with(close)) {
        const std::string_view format =
            word.substr(open.size(), word.size() - open.size() - close.size());
        for (std::size_t i = 0; i < format.size(); ++i) {
            if (format.substr(i).starts_with("'\\''")) {
                name += '\'';
                i += 3;
            } else if (format[i] == '\\' && i + 1 < format.size() && format[i + 1] == '\\') {
                name += '\\';
                ++i;
            } else if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
                name += '%';
                ++i;
            } else if (format[i] == '\\' && i + 3 < format.size() &&
                       format.substr(i + 1, 3).find_first_not_of("01234567") ==
                           std::string_view::npos) {
                name +=
                    static_cast<char>(std::stoi(std::string(format.substr(i + 1, 3)), nullptr, 8));
                i += 3;
            } else if (format[i] == '\\' || format[i] == '%' || format[i] == '\'') {
                return false;
            } else {
                name += format[i];
            }
        }
        return true;
    }
    if (word.size() < 2 || word.front() != '\'' || word.back() != '\'')
        return false;
    const std::string_view inside = word.substr(1, word.size() - 2);
    for (std::size_t i = 0; i < inside.size(); ++i) {
        if (inside.substr(i).starts_with("'\\''")) {
            name += '\'';
            i += 3;
        } else if (inside[i] == '\'') {
            return false;
        } else {
            name += inside[i];
        }
    }
    return true;
}

// Characters a terminal shows rather than obeys, in well-formed UTF-8: no C0
// or C1 control or DEL, and none of the controls that reorder a line or break
// it (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069, U+2028,
// U+2029).
bool printable(std::string_view shown) {
    for (std::size_t i = 0; i < shown.size();) {
        const auto lead = static_cast<unsigned char>(shown[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        if ((lead >= 0x80 && lead < 0xc2) || lead > 0xf4 || i + length > shown.size())
            return false;
        char32_t code = length == 1 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(shown[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3f);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
            code < 0x20 || (code >= 0x7f && code < 0xa0) || code == 0x61c || code == 0x200e ||
            code == 0x200f || (code >= 0x202a && code <= 0x202e) ||
            (code >= 0x2066 && code <= 0x2069) || code == 0x2028 || code == 0x2029)
            return false;
        i += length;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A name is a C string: it ends at its first NUL.
    std::string_view name(reinterpret_cast<const char *>(data), size);
    name = name.substr(0, name.find('\0'));
    std::vector<char> room(common::shown_size(name.size()));
    const std::string text = common::quote_name(room, name);
    const std::string word = common::quote_name(room, name, true);
    if (!printable(text) || !printable(word) || word.empty())
        std::abort();
    // A name a terminal shows as it is, is shown as it is; any other in the one
    // form that escapes what it must.
    if ((text == name) != printable(name) || (text != name && !text.starts_with("\"$(printf '")))
        std::abort();
    std::string back;
    if (!read_back(word, back) || back != name)
        std::abort();
    // Too little room: cut, and said to be.
    std::vector<char> small(8);
    const std::string_view cut = common::quote_name(small, name, true);
    if (cut.size() >= small.size() || (word.size() >= small.size() && !cut.ends_with("...")))
        std::abort();
    return 0;
}
