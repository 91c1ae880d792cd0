// SPDX-License-Identifier: GPL-2.0-only
// The one line on standard error that a failure a user can cause gets, and the
// other lines the programs say there.
#pragma once

namespace common {

// The program that is running: the name that starts every line it says on
// standard error, and its status for a failure. Each program defines it.
struct Program {
    const char *name;
    int failed;
};
extern const Program program;

// "PROGRAM: SUBJECT: REASON", the subject shown as quote_name shows it and the
// reason formatted as printf would.
void report(const char *subject, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The same, with the reason errno gives.
void report_errno(const char *subject);
// A line that is not about a file: "PROGRAM: TEXT".
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// `name` as a reason shows it (quote_name): in a buffer of its own, good until
// the next call.
const char *shown(const char *name);

} // namespace common
