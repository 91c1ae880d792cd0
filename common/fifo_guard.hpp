// SPDX-License-Identifier: GPL-2.0-only
// fifo_guard: what drummet and drummet-client both do before they trust a node
// at "fifo1" or "fifo2" with a message. Plain POSIX and no C++ runtime, so that
// drummet still links against the C library alone.
#pragma once

#include <span>
#include <utility>

#include <sys/types.h>
#include <unistd.h>

namespace fifo_guard {

inline constexpr mode_t pipe_mode = 0777; // less the umask, as for any new file

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
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    void close() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_ = -1;
};

// The name that starts every line a program says on standard error; each
// program defines it.
extern const char *const program;

// Every failure a user can cause is one line on standard error:
// "PROGRAM: SUBJECT: REASON". The subject is shown as quote_name shows it.
void report(const char *subject, const char *reason);
// The same, with the reason errno gives.
void report_errno(const char *subject);
// A bad argument: "PROGRAM: WHAT 'ARGUMENT' (see PROGRAM --help)".
void report_usage(const char *what, const char *argument);

// If the caller started us with 0, 1 or 2 closed, the first pipe we open would
// take that number, and console text would travel through the pipe. Each closed
// one gets /dev/null opened the wrong way round, so that the number is taken and
// console I/O on it fails loudly. When one cannot be parked, nothing may be
// opened: says why and returns false.
bool park_standard_descriptors();

// An exclusive lock on the working folder, held until the process exits;
// nothing is created. Two drummets in one folder would otherwise both wait on
// "fifo1", and one client would read both messages as one. False, with errno
// EWOULDBLOCK, when someone else holds it; a folder that cannot be read takes
// no lock.
bool lock_working_folder();

// Before a drummet waits on fifo1, a "fifo2" that is there already and leads
// to a FIFO is locked as OpenOptions::lock locks it: found out only once a
// client has connected, a refusal would leave that client to answer another
// drummet. Says why and returns false when it must not be used.
bool lock_ahead(const char *name);

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const Identity &, const Identity &) = default;
};

struct Opened {
    Descriptor pipe;   // the open FIFO; invalid when refused or failed
    Identity identity; // which FIFO it is, when `pipe` is valid
};

// The working folder's absolute path in `buffer`, for what we say about it;
// nullptr when it has none that fits (it was removed, or its path is longer
// than PATH_MAX).
const char *working_folder_name(std::span<char> buffer);

// Told once, right before an open blocks for want of a partner.
using Waiting = void (*)();

struct OpenOptions {
    // The FIFO the other name leads to, which this one must not be.
    const Identity *other = nullptr;
    // Told before an open for writing blocks.
    Waiting waiting = nullptr;
    // No other holder of a lock may wait on this FIFO whatever name leads to
    // it: a FIFO with more than one name, or mounted over its name, is
    // refused, and the folder of its one name is locked until the process
    // exits.
    bool lock = false;
};

// Creates `name` in the working folder as a FIFO unless something is there
// already, and opens it with `flags` (O_RDONLY or O_WRONLY), blocking as a plain
// open does until the other end has a partner. Refuses, without ever opening it
// for reading or writing:
// - a working folder anyone may write to that is not sticky: anyone may swap
//   the pipes there;
// - anything that is not a FIFO (links are followed), and an anonymous pipe
//   reached through /proc/PID/fd;
// - the FIFO `options.other` names, so that a link cannot make one pipe of two;
// - in a sticky folder others or a group may write to, a FIFO owned neither by
//   us nor by the folder's owner, or by an owner our user namespace does not
//   map: someone else may be listening at the other end.
// Says why on standard error when the pipe is not opened.
Opened open_fifo(const char *name, int flags, const OpenOptions &options = {});

} // namespace fifo_guard
