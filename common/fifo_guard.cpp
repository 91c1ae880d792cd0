// SPDX-License-Identifier: GPL-2.0-only
#include "fifo_guard.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

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

// The kernel's own rule for opens that create (fs.protected_fifos=1), applied
// whatever that setting is: in a folder anyone may write to but only owners may
// delete from, a FIFO that neither we nor the folder's owner made is a trap.
bool planted_by_a_stranger(const struct stat &fifo) {
    struct stat folder {};
    if (::stat(".", &folder) != 0)
        return false; // the pipe opened by name, so the folder is there; be lenient
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && fifo.st_uid != ::geteuid() && fifo.st_uid != folder.st_uid;
}

Opened refuse(const char *reason) {
    Opened result;
    result.reason = reason;
    return result;
}

Opened fail_with_errno() {
    return refuse(std::strerror(errno));
}

} // namespace

int park_standard_descriptors() {
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
        errno = error;
        return fd;
    }
    return -1;
}

Descriptor lock_working_folder() {
    Descriptor folder{::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.valid() && ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0)
        folder.close(); // errno stays the one flock set
    return folder;
}

Opened open_fifo(const char *name, int flags, const Identity *other) {
    if (::mkfifo(name, pipe_mode) != 0 && errno != EEXIST)
        return fail_with_errno();

    // A path descriptor reaches the node without opening it for reading or
    // writing, which for a device could have effects of its own. Everything
    // below looks at that very node, so nothing can be swapped in meanwhile.
    Descriptor path{::open(name, O_PATH | O_CLOEXEC)};
    if (!path.valid()) {
        const int error = errno;
        struct stat link {};
        if (error == ENOENT && ::lstat(name, &link) == 0 && S_ISLNK(link.st_mode))
            return refuse("is a symbolic link whose target does not exist");
        errno = error;
        return fail_with_errno();
    }
    struct stat st {};
    if (::fstat(path.get(), &st) != 0)
        return fail_with_errno();
    if (!S_ISFIFO(st.st_mode))
        return refuse(node_kind(st.st_mode));
    const Identity identity = identity_of(st);
    if (other != nullptr && identity == *other)
        return refuse("is the same named pipe as fifo1");
    if (planted_by_a_stranger(st))
        return refuse("belongs to another user in a shared sticky folder");

    // Opening the magic link reopens the inode the path descriptor holds, and
    // blocks like a plain open of the FIFO.
    std::array<char, 32> proc_path{};
    std::snprintf(proc_path.data(), proc_path.size(), "/proc/self/fd/%d", path.get());
    Opened result;
    result.pipe = Descriptor{::open(proc_path.data(), flags)};
    if (!result.pipe.valid() && errno == ENOENT) {
        // No /proc (a minimal chroot): open by name. The node may have been
        // swapped since it was checked, so what was opened is checked again
        // below, but by then it has been opened.
        result.pipe = Descriptor{::open(name, flags)};
    }
    if (!result.pipe.valid())
        return fail_with_errno();
    if (::fstat(result.pipe.get(), &st) != 0)
        return fail_with_errno();
    if (identity_of(st) != identity)
        return refuse("was replaced while it was being opened");
    result.identity = identity;
    return result;
}

} // namespace fifo_guard
