// SPDX-License-Identifier: GPL-2.0-only
// What drummet and drummet-client agree on: the pipes, their sizes and the exit
// statuses.
#pragma once

#include <cstddef>

#include <sys/types.h>

namespace common {

// The message travels on fifo1, from drummet to the client; the reply on
// fifo2, back. Both are made with this mode, less the umask, as any new file.
inline constexpr const char *message_pipe = "fifo1";
inline constexpr const char *reply_pipe = "fifo2";
inline constexpr mode_t pipe_mode = 0777;

// A message is at most 999 bytes so that it and its NUL fit in 1000; drummet
// takes the reply in one read of at most 1000 bytes.
inline constexpr std::size_t message_capacity = 1000;
inline constexpr std::size_t reply_capacity = 1000;
inline constexpr char message_terminator = '`';

inline constexpr int exit_ok = 0;
inline constexpr int exit_usage = 2;
inline constexpr int drummet_failed = 255;
inline constexpr int client_failed = 1;

} // namespace common
