// SPDX-License-Identifier: GPL-2.0-only
#include "fifo_guard.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace fifo_guard {

namespace {

const char *node_kind(mode_t mode) {
    if (S_ISREG(mode))
        return "is a regular file, not a named pipe";
    if (S_ISDIR(mode))
        return "is a directory, not a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "is a device, not a named pipe";
    if (S_ISSOCK(mode))
        return "is a socket, not a named pipe";
    return "is not a named pipe";
}

Identity identity_of(const struct stat &st) {
    return {st.st_dev, st.st_ino};
}

// The kernel's own rule for opens that create (fs.protected_fifos=2), applied
// whatever that setting is: in a folder others or a group may write to but only
// owners may delete from, a FIFO that neither we nor the folder's owner made is
// a trap.
bool planted_by_a_stranger(const struct stat &fifo) {
    struct stat folder{};
    if (::stat(".", &folder) != 0)
        return false; // the pipe opened by name, so the folder is there; be lenient
    const bool shared =
        (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWOTH | S_IWGRP)) != 0;
    return shared && fifo.st_uid != ::geteuid() && fifo.st_uid != folder.st_uid;
}

// Why the node behind the path descriptor `path` must not be used, or nullptr.
const char *refusal(int path, const struct stat &st, const Identity *other) {
    if (!S_ISFIFO(st.st_mode))
        return node_kind(st.st_mode);
    // A link to /proc/PID/fd/N reaches a pipe that has no name and is not ours
    // to talk through: some process's standard input or output, say.
    struct statfs fs{};
    if (::fstatfs(path, &fs) != 0)
        return std::strerror(errno);
    if (fs.f_type == PIPEFS_MAGIC)
        return "is an anonymous pipe, not a named pipe";
    if (other != nullptr && identity_of(st) == *other)
        return "is the same named pipe as fifo1";
    if (planted_by_a_stranger(st))
        return "belongs to another user in a shared sticky folder";
    return nullptr;
}

// Opens `path` with `flags`. An open for writing blocks until the pipe has a
// reader; when it is about to, `waiting` (if any) is told first.
int open_pipe(const char *path, int flags, Waiting waiting) {
    if (waiting == nullptr || (flags & O_ACCMODE) != O_WRONLY)
        return ::open(path, flags);
    const int fd = ::open(path, flags | O_NONBLOCK);
    if (fd < 0 && errno == ENXIO) {
        waiting();
        return ::open(path, flags);
    }
    // The reader is there already. The message must not be written without blocking.
    if (fd >= 0 && ::fcntl(fd, F_SETFL, flags) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Opens what the path descriptor `path` holds, with `flags`.
Descriptor reopen(const Descriptor &path, const char *name, int flags, Waiting waiting) {
    // The magic link reaches the very inode the path descriptor holds, and an
    // open through it blocks like a plain open of the FIFO.
    std::array<char, 32> link{};
    std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", path.get());
    Descriptor opened{open_pipe(link.data(), flags, waiting)};
    if (!opened.valid() && errno == ENOENT) {
        // No /proc (a minimal chroot): open by name. The node may have been
        // swapped since it was checked; the caller checks what was opened, but
        // by then it has been opened.
        opened = Descriptor{open_pipe(name, flags, waiting)};
    }
    return opened;
}

// In a folder anyone may write to that is not sticky, anyone may remove our
// pipes and put their own in their place: no check of a pipe helps there.
bool open_to_all() {
    struct stat folder{};
    if (::stat(".", &folder) != 0 || (folder.st_mode & (S_IWOTH | S_ISVTX)) != S_IWOTH)
        return false;
    std::array<char, PATH_MAX> where{};
    report(working_folder_name(where), "anyone may swap the pipes in this folder (writable by "
                                       "all, not sticky); use a folder of your own (mktemp -d)");
    return true;
}

} // namespace

void report(const char *subject, const char *reason) {
    std::fprintf(stderr, "%s: %s: %s\n", program, subject, reason);
}

void report_errno(const char *subject) {
    report(subject, std::strerror(errno));
}

bool park_standard_descriptors() {
    constexpr std::array<const char *, 3> names{"stdin", "stdout", "stderr"};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Wrong direction on purpose: reads from 0 and writes to 1 and 2 fail with EBADF.
        const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (parked == fd)
            continue;
        const int error = parked < 0 ? errno : EBADF;
        if (parked >= 0)
            ::close(parked);
        std::array<char, 128> reason{};
        std::snprintf(reason.data(), reason.size(),
                      "closed, and /dev/null cannot take its place: %s", std::strerror(error));
        report(names[static_cast<std::size_t>(fd)], reason.data());
        return false;
    }
    return true;
}

Descriptor lock_working_folder() {
    Descriptor folder{::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.valid() && ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        folder.close();
        errno = error;
    }
    return folder;
}

const char *working_folder_name(std::span<char> buffer) {
    return ::getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : ".";
}

Opened open_fifo(const char *name, int flags, const Identity *other, Waiting waiting) {
    const auto fail = [&](const char *reason) {
        report(name, reason != nullptr ? reason : std::strerror(errno));
        return Opened{};
    };
    if (open_to_all())
        return Opened{};
    // "fifo1" is a bare name: it can be missing a folder only when ours is gone.
    if (::mkfifo(name, pipe_mode) != 0 && errno != EEXIST)
        return fail(errno == ENOENT ? "cannot be made: the current folder has been removed"
                                    : nullptr);

    // A path descriptor reaches the node without opening it for reading or
    // writing, which for a device could have effects of its own. Everything
    // below looks at that very node, so nothing can be swapped in meanwhile.
    const Descriptor path{::open(name, O_PATH | O_CLOEXEC)};
    if (!path.valid()) {
        const int error = errno;
        struct stat link{};
        if (error == ENOENT && ::lstat(name, &link) == 0 && S_ISLNK(link.st_mode))
            return fail("is a symbolic link whose target does not exist");
        errno = error;
        return fail(nullptr);
    }
    struct stat st{};
    if (::fstat(path.get(), &st) != 0)
        return fail(nullptr);
    if (const char *why = refusal(path.get(), st, other))
        return fail(why);

    Opened result;
    result.identity = identity_of(st);
    result.pipe = reopen(path, name, flags, waiting);
    if (!result.pipe.valid() && errno == EACCES) {
        std::array<char, 128> reason{};
        std::snprintf(reason.data(), reason.size(),
                      "Permission denied by its mode %04o (owner uid %u): remove it to have it "
                      "made anew, or chmod it",
                      static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid));
        return fail(reason.data());
    }
    if (!result.pipe.valid() || ::fstat(result.pipe.get(), &st) != 0)
        return fail(nullptr);
    if (identity_of(st) != result.identity)
        return fail("was replaced while it was being opened");
    return result;
}

} // namespace fifo_guard
