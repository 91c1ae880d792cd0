// SPDX-License-Identifier: GPL-2.0-only
#include "fifo_guard.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include "quote.hpp"

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

// The id that stat shows for an owner our user namespace does not map (`kind`
// is "uid" or "gid"): 65534 unless the system says otherwise.
unsigned long overflow_id(const char *kind) {
    std::array<char, 48> path{};
    std::array<char, 16> text{};
    std::snprintf(path.data(), path.size(), "/proc/sys/kernel/overflow%s", kind);
    const Descriptor file{::open(path.data(), O_RDONLY | O_CLOEXEC)};
    const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size() - 1) : -1;
    return got > 0 ? std::strtoul(text.data(), nullptr, 10) : 65534;
}

// The kernel's own rule for opens that create (fs.protected_fifos=2), applied
// whatever that setting is: in a folder others or a group may write to but only
// owners may delete from, a FIFO that neither we nor the folder's owner made is
// a trap. Seen from a user namespace, the host's root, who owns such folders,
// and every other user the namespace does not map show as the overflow uid,
// which may also be a user the namespace maps: an owner shown so could be
// anyone.
bool planted_by_a_stranger(const struct stat &fifo) {
    struct stat folder{};
    if (::stat(".", &folder) != 0)
        return false; // the pipe opened by name, so the folder is there; be lenient
    const bool shared =
        (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWOTH | S_IWGRP)) != 0;
    if (!shared || fifo.st_uid == ::geteuid())
        return false;
    return fifo.st_uid != folder.st_uid || fifo.st_uid == overflow_id("uid");
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

bool in_group(gid_t gid) {
    if (gid == ::getegid())
        return true;
    std::array<gid_t, 1024> groups{};
    const int count = ::getgroups(groups.size(), groups.data());
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    return false;
}

// Whether the mode bits themselves refuse us what `flags` asks, as the kernel
// reads them: root passes them, but not for an owner its user namespace does
// not map (which shows as the overflow id).
bool mode_refuses(const struct stat &st, int flags) {
    const mode_t wanted = (flags & O_ACCMODE) == O_WRONLY ? S_IWOTH : S_IROTH;
    if (::geteuid() == 0 && st.st_uid != overflow_id("uid") && st.st_gid != overflow_id("gid"))
        return false;
    const int shift = st.st_uid == ::geteuid() ? 6 : in_group(st.st_gid) ? 3 : 0;
    return ((st.st_mode >> shift) & wanted) == 0;
}

// Why an open that failed with EACCES failed, in `buffer`.
const char *permission_refusal(const struct stat &st, int flags, std::span<char> buffer) {
    const auto mode = static_cast<unsigned>(st.st_mode & 07777);
    if (mode_refuses(st, flags))
        std::snprintf(buffer.data(), buffer.size(),
                      "Permission denied by its mode %04o (owner uid %u): remove it to have it "
                      "made anew, or chmod it",
                      mode, static_cast<unsigned>(st.st_uid));
    else
        std::snprintf(buffer.data(), buffer.size(),
                      "Permission denied by an ACL or a security module (its mode %04o allows "
                      "it)",
                      mode);
    return buffer.data();
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

// The magic link that reaches the very inode the path descriptor `path` holds.
std::array<char, 32> magic_link(const Descriptor &path) {
    std::array<char, 32> link{};
    std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", path.get());
    return link;
}

// Opens what the path descriptor `path` holds, with `flags`.
Descriptor reopen(const Descriptor &path, const char *name, int flags, Waiting waiting) {
    // An open through the magic link blocks like a plain open of the FIFO.
    Descriptor opened{open_pipe(magic_link(path).data(), flags, waiting)};
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
    const char *name = working_folder_name(where);
    report(name != nullptr ? name : ".", "anyone may swap the pipes in this folder (writable by "
                                         "all, not sticky); use a folder of your own (mktemp -d)");
    return true;
}

// A name can fail to be made for want of its folder only when ours is gone:
// its last link removed. Other folders take no FIFO and say ENOENT too (/proc).
bool working_folder_removed() {
    struct stat folder{};
    return ::stat(".", &folder) != 0 ? errno == ENOENT : folder.st_nlink == 0;
}

// The folders whose locks this process holds, until it exits: the working
// folder and those that linked pipes lead into.
struct HeldLock {
    Identity folder;
    int fd = -1;
};
std::array<HeldLock, 3> held_locks{};

// Locks the folder open at `folder`, unless this process holds its lock
// already (a second lock on another open of it would be refused as anyone's).
// False, with errno EWOULDBLOCK, when someone else holds it.
bool hold_lock(Descriptor folder) {
    struct stat st{};
    if (::fstat(folder.get(), &st) != 0)
        return true; // no lock where none can be had; be lenient
    for (const HeldLock &held : held_locks)
        if (held.fd >= 0 && held.folder == identity_of(st))
            return true;
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0)
        return errno != EWOULDBLOCK;
    for (HeldLock &held : held_locks)
        if (held.fd < 0) {
            held = {identity_of(st), folder.release()};
            break;
        }
    return true;
}

// The mount that the node open at `fd` is on, or 0 where the kernel does not
// say (before 5.8).
std::uint64_t mount_of(int fd) {
    struct statx st{};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) != 0 || (st.stx_mask & STATX_MNT_ID) == 0)
        return 0;
    return st.stx_mnt_id;
}

// Locks the folder that holds the one name of the FIFO behind `path`.
// Whatever name leads to the FIFO, it leads through that folder, so two
// lockers never meet on it. Returns why the FIFO must not be used, in
// `buffer`, or nullptr.
const char *lock_folder_of(const Descriptor &path, const char *name, const struct stat &st,
                           std::span<char> buffer) {
    if (st.st_nlink > 1)
        return "has more than one name (a hard link), so another drummet could wait on it "
               "from another folder: remove it to have it made anew";
    std::array<char, PATH_MAX> where;
    const ssize_t length = ::readlink(magic_link(path).data(), where.data(), where.size() - 1);
    if (length > 0)
        where[static_cast<std::size_t>(length)] = '\0';
    else if (::realpath(name, where.data()) == nullptr)
        return nullptr; // no path to its folder that fits; be lenient, as for the working one
    char *slash = std::strrchr(where.data(), '/');
    if (slash == nullptr)
        return nullptr;
    const char *base = slash + 1;
    std::array<char, 2> root{"/"};
    *slash = '\0';
    const char *folder_path = slash == where.data() ? root.data() : where.data();
    Descriptor folder{::open(folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    struct stat named{};
    // A folder we may not read takes no lock, as the working one; one that
    // does not hold the name (it is out of reach of our /) tells nothing.
    if (!folder.valid() || ::fstatat(folder.get(), base, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        identity_of(named) != identity_of(st))
        return nullptr;
    // A pipe mounted over a name (a bind mount) is one name of a pipe whose
    // own folder is elsewhere.
    const std::uint64_t mount = mount_of(path.get());
    if (mount != 0 && mount != mount_of(folder.get()))
        return "is a pipe mounted here from elsewhere (a bind mount), so another drummet could "
               "wait on it from another folder";
    if (!hold_lock(std::move(folder))) {
        std::array<char, shown_size(PATH_MAX)> shown{};
        std::snprintf(buffer.data(), buffer.size(),
                      "leads into %s, which is locked by another drummet, or by another process "
                      "that can read that folder",
                      quote_name(shown, folder_path));
        return buffer.data();
    }
    return nullptr;
}

} // namespace

void report(const char *subject, const char *reason) {
    std::array<char, shown_size(PATH_MAX)> shown{};
    std::fprintf(stderr, "%s: %s: %s\n", program, quote_name(shown, subject), reason);
}

void report_errno(const char *subject) {
    report(subject, std::strerror(errno));
}

void report_usage(const char *what, const char *argument) {
    // Enough of it to tell which it was, cut where a character begins.
    const std::size_t length = std::strlen(argument);
    std::size_t cut = length < 256 ? length : 256;
    while (cut > 0 && cut < length && (static_cast<unsigned char>(argument[cut]) & 0xc0) == 0x80)
        --cut;
    const std::string_view shown_part(argument, cut);
    std::array<char, shown_size(256)> shown{};
    std::fprintf(stderr, "%s: %s %s%s (see %s --help)\n", program, what,
                 quote_name(shown, shown_part, true), cut < length ? "..." : "", program);
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

bool lock_working_folder() {
    Descriptor folder{::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return !folder.valid() || hold_lock(std::move(folder));
}

bool lock_ahead(const char *name) {
    const Descriptor path{::open(name, O_PATH | O_CLOEXEC)};
    struct stat st{};
    if (!path.valid() || ::fstat(path.get(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return true; // nothing to lock yet: whatever is there is judged in its turn
    std::array<char, shown_size(PATH_MAX) + 128> reason;
    const char *why = lock_folder_of(path, name, st, reason);
    if (why != nullptr)
        report(name, why);
    return why == nullptr;
}

const char *working_folder_name(std::span<char> buffer) {
    return ::getcwd(buffer.data(), buffer.size());
}

Opened open_fifo(const char *name, int flags, const OpenOptions &options) {
    const auto fail = [&](const char *reason) {
        report(name, reason != nullptr ? reason : std::strerror(errno));
        return Opened{};
    };
    if (open_to_all())
        return Opened{};
    if (::mkfifo(name, pipe_mode) != 0 && errno != EEXIST) {
        if (errno != ENOENT)
            return fail(nullptr);
        return fail(working_folder_removed()
                        ? "cannot be made: the current folder has been removed"
                        : "cannot be made in this folder: No such file or directory");
    }

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
    if (const char *why = refusal(path.get(), st, options.other))
        return fail(why);

    Opened result;
    // Left unset, as the other large buffers on a run's way: written before
    // they are read, they cost no page that a run does not use.
    std::array<char, shown_size(PATH_MAX) + 128> reason;
    if (options.lock) {
        if (const char *why = lock_folder_of(path, name, st, reason))
            return fail(why);
    }
    result.identity = identity_of(st);
    result.pipe = reopen(path, name, flags, options.waiting);
    if (!result.pipe.valid() && errno == EACCES)
        return fail(permission_refusal(st, flags, reason));
    if (!result.pipe.valid() || ::fstat(result.pipe.get(), &st) != 0)
        return fail(nullptr);
    if (identity_of(st) != result.identity)
        return fail("was replaced while it was being opened");
    return result;
}

} // namespace fifo_guard
