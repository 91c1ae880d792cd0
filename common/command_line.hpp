// SPDX-License-Identifier: GPL-2.0-only
// The command line both programs take: -C DIR, -h or --help, --version.
#pragma once

#include <string_view>

namespace common {

// What the command line asks for: the folder of -C DIR, or none.
struct CommandLine {
    const char *folder = nullptr;
};

// Reads the command line: -C DIR, -h or --help (prints `usage`), --version.
// Returns the exit status when there is nothing more to do (help, version or
// a bad argument, which it names on standard error), or -1 to go on.
int read_command_line(int argc, char **argv, std::string_view usage, CommandLine &line);

} // namespace common
