// SPDX-License-Identifier: GPL-2.0-only
// What drummet and drummet-client agree on: the pipes, their sizes and the exit
// statuses, and the few things both programs own. Nothing here needs the C++
// runtime, so that drummet still links against the C library alone.
#pragma once

#include <cstddef>
#include <utility>

#include <sys/types.h>
#include <unistd.h>

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

// The program that is running: the name that starts every line it says on
// standard error, and its status for a failure. Each program defines it.
struct Program {
    const char *name;
    int failed;
};
extern const Program program;

// Owns one descriptor and closes it when it goes.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { close(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up, open, to the process: it closes when we exit.
    int release() { return std::exchange(fd_, -1); }
    void close() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_ = -1;
};

} // namespace common
