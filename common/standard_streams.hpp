// SPDX-License-Identifier: GPL-2.0-only
// The standard descriptors a program starts with, and what a failed write to
// them does.
#pragma once

#include <span>

namespace common {

// If the caller started us with 1 or 2 closed, or with 0 closed in the client,
// the first pipe we open would take that number, and console text would
// travel through the pipe. Each closed one gets /dev/null opened the wrong way
// round, so that the number is taken and console I/O on it fails (a parked
// standard error, silently: it has nobody to tell). When one cannot be
// parked, nothing may be opened: says why and returns false.
bool park_closed_descriptors(std::span<const int> closed);

// A write to a pipe whose reader has gone, or to a file grown past the size
// limit (ulimit -f), fails with EPIPE or EFBIG to be reported, instead of
// ending the program in silence. Held back rather than ignored: one call
// serves both signals.
void hold_back_write_signals();

} // namespace common
