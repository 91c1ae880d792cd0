// SPDX-License-Identifier: GPL-2.0-only
#include "folder.hpp"

#include <array>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report.hpp"
#include "trust.hpp"
#include "walk.hpp"

namespace common {

namespace {

// Kept apart from the stack: only what is said about a folder needs it.
std::array<char, PATH_MAX> name_buffer;

Locked lock_open(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return Locked::yes;
    return errno == EWOULDBLOCK ? Locked::by_another : Locked::failed;
}

} // namespace

bool enter_folder(const char *path) {
    if (path == nullptr)
        return true;
    if (*path == '\0') { // as chdir("") fails
        errno = ENOENT;
        report_errno(path);
        return false;
    }
    Folder start;
    start.fd = Descriptor{::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (!start.fd.valid() || !inspect(start.fd.get(), start.is)) {
        report_errno(path);
        return false;
    }
    Way way = walk(start.fd.get(), start.is, path, Made::before);
    switch (way.end) {
    case Walk::reached:
        if (!S_ISDIR(way.node_is.mode))
            errno = ENOTDIR;
        else if (::fchdir(way.node.get()) == 0)
            return true;
        break;
    case Walk::absent:
        errno = ENOENT;
        break;
    case Walk::refused:
        // Nothing at a name past a link is nothing there, as chdir says.
        if (way.refusal == Refusal::dangling_link) {
            errno = ENOENT;
            break;
        }
        report(path, "%s", refusal_text(way.refusal));
        return false;
    case Walk::open_to_all:
        report(path,
               "leads into %s, where anyone may swap the pipes (writable by all, not sticky); use "
               "a folder of your own (mktemp -d)",
               shown(folder_name(way.folder.get(), start, "a folder whose path cannot be had")));
        return false;
    case Walk::failed:
        errno = way.error;
        break;
    }
    report_errno(path);
    return false;
}

bool open_working_folder(Folder &folder, Role role) {
    folder.role = role;
    folder.fd = Descriptor{::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const bool readable = folder.fd.valid();
    // One we may search and write to but not read cannot be locked: see trust.hpp.
    if (!readable && errno == EACCES)
        folder.fd = Descriptor{::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    const auto named = [&] { return folder_name(folder.fd.get(), folder, "."); };
    if (!folder.fd.valid() || !inspect(folder.fd.get(), folder.is)) {
        report_errno(named());
        return false;
    }
    if (open_to_all(folder.is)) {
        report(named(), "anyone may swap the pipes in this folder (writable by all, not sticky); "
                        "use a folder of your own (mktemp -d)");
        return false;
    }
    if (role == Role::client || !readable)
        return true;
    switch (lock_open(folder.fd.get())) {
    case Locked::yes:
        folder.locked = true;
        return true;
    case Locked::by_another:
        report(named(), "locked by another drummet, or by another process that can read this "
                        "folder (lslocks shows which): wait for it to end, or use another folder");
        return false;
    case Locked::unreadable:
    case Locked::failed:
        break;
    }
    report_errno(named());
    return false;
}

Locked lock_folder(int fd, Descriptor &lock) {
    lock = Descriptor{::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!lock.valid())
        return Locked::unreadable;
    const Locked locked = lock_open(lock.get());
    if (locked != Locked::yes) {
        const int error = errno;
        lock.close();
        errno = error;
    }
    return locked;
}

const char *folder_name(int fd, const Folder &working, const char *otherwise) {
    const int error = errno; // what the caller is about to report
    const bool elsewhere = fd != working.fd.get() && fd >= 0;
    const char *name = nullptr;
    if (!elsewhere || ::fchdir(fd) == 0)
        name = ::getcwd(name_buffer.data(), name_buffer.size());
    if (elsewhere)
        (void)::fchdir(working.fd.get());
    errno = error;
    return name != nullptr ? name : otherwise;
}

} // namespace common
