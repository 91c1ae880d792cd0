// SPDX-License-Identifier: GPL-2.0-only
// The console both programs share: their command line, the one line a failure
// gets on standard error, and the standard descriptors they start with.
#pragma once

#include <span>
#include <string_view>

namespace common {

// Every failure a user can cause is one line on standard error:
// "PROGRAM: SUBJECT: REASON". The subject is shown as quote_name shows it.
void report(const char *subject, const char *reason);
// The same, with the reason errno gives.
void report_errno(const char *subject);
// A line that is not about a file: "PROGRAM: TEXT".
void say(const char *text);
// A bad argument: "PROGRAM: WHAT ARGUMENT (see PROGRAM --help)".
void report_usage(const char *what, const char *argument);

// What the command line asks for: the folder of -C DIR, or none.
struct CommandLine {
    const char *folder = nullptr;
};

// Reads the command line both programs take: -C DIR, -h or --help (prints
// `usage`), --version. Returns the exit status when there is nothing more to
// do (help, version or a bad argument), or -1 to go on.
int read_command_line(int argc, char **argv, std::string_view usage, CommandLine &line);

// Changes to the folder -C names, if any; says why and returns false when it
// cannot.
bool enter_folder(const CommandLine &line);

// If the caller started us with 1 or 2 closed (`stdout_closed`,
// `stderr_closed`), or with 0 closed in the client, the first pipe we open
// would take that number, and console text would travel through the pipe.
// Each closed one gets /dev/null opened the wrong way round, so that the
// number is taken and console I/O on it fails loudly. When one cannot be
// parked, nothing may be opened: says why and returns false.
bool park_closed_descriptors(std::span<const int> closed);

// On a terminal, said once before a program waits for its partner: what it
// waits for, in which folder, and the command that starts `who` there, as in
// "waiting for a client to open fifo1 in /tmp/x; start one with:
// drummet-client -C '/tmp/x'".
void say_waiting(const char *who, const char *pronoun, const char *command);

// The working folder's absolute path in `buffer`, for what we say about it;
// nullptr when it has none that fits (it was removed, or its path is longer
// than PATH_MAX).
const char *working_folder_name(std::span<char> buffer);

} // namespace common
