// SPDX-License-Identifier: GPL-2.0-only
#include "command_line.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "protocol.hpp"
#include "quote.hpp"
#include "report.hpp"

namespace common {

namespace {

// A bad argument: "PROGRAM: WHAT ARGUMENT (see PROGRAM --help)", with enough
// of the argument to tell which it was, cut where a character begins. No
// character is longer than four bytes: bytes that begin none are cut where
// they stand, not followed back to nothing.
void report_usage(const char *what, const char *argument) {
    constexpr std::size_t shown_length = 256;
    const std::size_t length = std::strlen(argument);
    const std::size_t longest = length < shown_length ? length : shown_length;
    const auto inside_a_character = [&](std::size_t at) {
        return at < length && (static_cast<unsigned char>(argument[at]) & 0xc0) == 0x80;
    };
    std::size_t cut = longest;
    while (cut + 3 > longest && inside_a_character(cut))
        --cut;
    if (inside_a_character(cut))
        cut = longest;
    std::array<char, shown_size(shown_length)> word;
    say("%s %s%s (see %s --help)", what, quote_name(word, std::string_view(argument, cut), true),
        cut < length ? "..." : "", program.name);
}

} // namespace

int read_command_line(int argc, char **argv, std::string_view usage, CommandLine &line) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-C") {
            if (i + 1 == argc) {
                report_usage("a folder must follow", argv[i]);
                return exit_usage;
            }
            line.folder = argv[++i];
            continue;
        }
        if (arg != "--help" && arg != "-h" && arg != "--version") {
            report_usage("unexpected argument", argv[i]);
            return exit_usage;
        }
        if (i + 1 < argc) {
            report_usage("unexpected argument", argv[i + 1]);
            return exit_usage;
        }
        if (arg == "--version")
            std::printf("%s " DRUMMET_VERSION "\n", program.name);
        else
            std::fwrite(usage.data(), 1, usage.size(), stdout);
        if (std::fflush(stdout) != 0) {
            report_errno("stdout");
            return program.failed;
        }
        return exit_ok;
    }
    return -1;
}

} // namespace common
