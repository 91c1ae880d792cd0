// SPDX-License-Identifier: GPL-2.0-only
#include "trust.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include "console.hpp"
#include "quote.hpp"

namespace common {

namespace {

constexpr const char *use_your_own = "use a folder of your own (mktemp -d)";

// Room for a reason that names a folder. One, kept apart from the stack: only
// a refusal writes to it, and a run that refuses nothing touches none of it.
using Reason = std::array<char, shown_size(PATH_MAX) + 192>;
Reason reason_text;

// The magic link that reaches the very node the descriptor `fd` holds, made
// without the formatter.
std::array<char, 32> magic_link(int fd) {
    std::array<char, 32> link{};
    constexpr std::string_view prefix = "/proc/self/fd/";
    std::array<char, 12> digits{};
    std::size_t count = 0;
    for (auto rest = static_cast<unsigned>(fd); count == 0 || rest != 0; rest /= 10)
        digits[count++] = static_cast<char>('0' + rest % 10);
    std::size_t at = prefix.copy(link.data(), prefix.size());
    while (count > 0)
        link[at++] = digits[--count];
    return link;
}

bool inspect(int fd, const char *path, int flags, Node &node) {
    struct statx st; // written by statx before it is read
    constexpr unsigned wanted =
        STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO | STATX_MNT_ID;
    if (::statx(fd, path, flags, wanted, &st) != 0)
        return false;
    node.mode = st.stx_mode;
    node.uid = st.stx_uid;
    node.gid = st.stx_gid;
    node.links = st.stx_nlink;
    node.identity = {makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino};
    node.mount = (st.stx_mask & STATX_MNT_ID) != 0 ? st.stx_mnt_id : 0;
    return true;
}

bool inspect(const Descriptor &fd, Node &node) {
    return inspect(fd.get(), "", AT_EMPTY_PATH, node);
}

// The id that stat shows for an owner our user namespace does not map: 65534
// unless the system says otherwise. Read once, and only where an owner counts.
long overflow_ids[2] = {-1, -1};
unsigned long overflow_id(bool group) {
    long &id = overflow_ids[group ? 1 : 0];
    if (id < 0) {
        std::array<char, 16> text{};
        const Descriptor file{
            ::open(group ? "/proc/sys/kernel/overflowgid" : "/proc/sys/kernel/overflowuid",
                   O_RDONLY | O_CLOEXEC)};
        const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size() - 1) : -1;
        id = got > 0 ? std::strtol(text.data(), nullptr, 10) : 65534;
    }
    return static_cast<unsigned long>(id);
}

// Anyone may remove a name there and put their own in its place.
bool open_to_all(const Node &folder) {
    return (folder.mode & (S_IWOTH | S_ISVTX)) == S_IWOTH;
}

// Others or a group may add names there, but only the owner of a name may
// remove it.
bool shared_sticky(const Node &folder) {
    return (folder.mode & S_ISVTX) != 0 && (folder.mode & (S_IWOTH | S_IWGRP)) != 0;
}

// The kernel's own rule for opens that create in such folders
// (fs.protected_fifos=2), applied whatever that setting is, to the FIFO and to
// a link that leads to it: a node that neither we nor the folder's owner made
// is a trap. An owner shown as the overflow uid could be anyone: the host's
// root, who owns such folders, or any user the namespace does not map, us
// included where it maps nobody.
bool planted(const Node &folder, const Node &node, bool made_by_us) {
    if (!shared_sticky(folder) || made_by_us)
        return false;
    if (node.uid == overflow_id(false))
        return true;
    return node.uid != ::geteuid() && node.uid != folder.uid;
}

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

const char *planted_reason(Reason &reason) {
    std::snprintf(reason.data(), reason.size(),
                  "belongs to another user in a shared sticky folder, who may be listening; %s",
                  use_your_own);
    return reason.data();
}

// Why the FIFO `fifo`, whose one name is in `folder`, must not be used, or
// nullptr. `made_by_us` when this run made it.
const char *fifo_refusal(const Node &fifo, const Node &folder, bool made_by_us, Reason &reason) {
    if (!S_ISFIFO(fifo.mode))
        return node_kind(fifo.mode);
    if (planted(folder, fifo, made_by_us))
        return planted_reason(reason);
    if (fifo.links > 1)
        return "has more than one name (a hard link), so another drummet could wait on it "
               "from another folder: remove it to have it made anew";
    // Before 5.8 the kernel does not say which mount a node is on: a pipe
    // mounted over its name cannot be told there, and only root can mount one.
    if (fifo.mount != 0 && folder.mount != 0 && fifo.mount != folder.mount)
        return "is a pipe mounted here from elsewhere (a bind mount), so another drummet could "
               "wait on it from another folder";
    return nullptr;
}

const char *folder_named(std::span<char> buffer, const char *fallback) {
    const char *name = working_folder_name(buffer);
    return name != nullptr ? name : fallback;
}

// The folder that holds the one name of the FIFO that a symbolic link leads
// to: found, judged as the working folder is, and with `lock` locked. Whatever
// names lead to the FIFO, they lead through that folder, so two lockers never
// both wait on it. A folder that cannot be found or locked is refused.
const char *judge_linked_folder(const char *name, Judged &judged, bool lock, const Folder &working,
                                const Judged *other, Reason &reason) {
    const auto say = [&](const char *format, const char *folder, const char *detail) {
        std::array<char, shown_size(PATH_MAX)> shown;
        std::snprintf(reason.data(), reason.size(), format, quote_name(shown, folder), detail);
        return reason.data();
    };
    const auto not_found = [&](const char *detail) {
        std::snprintf(reason.data(), reason.size(),
                      "leads to a pipe whose folder cannot be found: %s", detail);
        return reason.data();
    };
    std::array<char, PATH_MAX> where;
    const std::array<char, 32> link = magic_link(judged.node.get());
    const ssize_t length = ::readlink(link.data(), where.data(), where.size() - 1);
    if (length >= 0)
        where[static_cast<std::size_t>(length)] = '\0';
    else if (errno != ENOENT || ::realpath(name, where.data()) == nullptr) // no /proc: by name
        return not_found(std::strerror(errno));
    // What a descriptor of a pipe without a name says it is.
    if (std::string_view(where.data()).starts_with("pipe:["))
        return "is an anonymous pipe, not a named pipe";
    char *slash = std::strrchr(where.data(), '/');
    if (where[0] != '/' || slash == nullptr)
        return not_found("it is out of reach of this process");
    std::array<char, 2> root{"/"};
    *slash = '\0';
    const char *folder_path = slash == where.data() ? root.data() : where.data();
    Descriptor folder{::open(folder_path, O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (!folder.valid())
        return say("leads into %s, which cannot be opened: %s", folder_path, std::strerror(errno));
    Node named;
    // The path names the node only while the node still has that name: one
    // removed or renamed meanwhile is out of reach.
    if (!inspect(folder.get(), slash + 1, AT_SYMLINK_NOFOLLOW, named) ||
        named.identity != judged.fifo.identity || !inspect(folder, judged.folder))
        return not_found("it was moved while it was looked at");
    if (open_to_all(judged.folder))
        return say("leads into %s, where anyone may swap the pipes (writable by all, not "
                   "sticky); %s",
                   folder_path, use_your_own);
    if (const char *why = fifo_refusal(judged.fifo, judged.folder, false, reason))
        return why;
    // The working folder is locked already, or is used unlocked as it always
    // was; so is a folder whose lock the other pipe holds.
    const Identity found = judged.folder.identity;
    if (!lock || found == working.node.identity ||
        (other != nullptr && other->folder_lock.valid() && found == other->folder.identity))
        return nullptr;
    // A lock needs the folder open for reading: that very folder, again.
    folder =
        Descriptor{::open(magic_link(folder.get()).data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!folder.valid())
        return say("leads into %s, which cannot be opened to be locked: %s", folder_path,
                   std::strerror(errno));
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK
                   ? say("leads into %s, which is locked by another drummet, or by another "
                         "process that can read that folder (lslocks shows which)%s",
                         folder_path, "")
                   : say("leads into %s, which cannot be locked: %s", folder_path,
                         std::strerror(errno));
    judged.folder_lock = std::move(folder);
    return nullptr;
}

// A link may lead through other links, each in a folder of its own: in a
// shared sticky folder, a link that neither we nor that folder's owner made
// is a trap, wherever on the way it is (the kernel's fs.protected_symlinks,
// applied whatever that setting is). Why the links from `name` on must not
// be followed, or nullptr; what cannot be followed is said when it is.
const char *judge_links(const Folder &working, const char *name, Reason &reason) {
    Descriptor here;
    int folder = working.fd.get();
    Node folder_node = working.node;
    std::array<char, PATH_MAX> at, target;
    std::snprintf(at.data(), at.size(), "%s", name);
    for (int hop = 0; hop < 40; ++hop) {
        Node link;
        if (!inspect(folder, at.data(), AT_SYMLINK_NOFOLLOW, link) || !S_ISLNK(link.mode))
            return nullptr;
        if (planted(folder_node, link, false))
            return planted_reason(reason);
        const ssize_t length = ::readlinkat(folder, at.data(), target.data(), target.size() - 1);
        if (length <= 0)
            return nullptr;
        target[static_cast<std::size_t>(length)] = '\0';
        char *slash = std::strrchr(target.data(), '/');
        if (slash != nullptr) {
            if (slash[1] == '\0')
                return nullptr;
            *slash = '\0';
            const char *path = slash == target.data() ? "/" : target.data();
            Descriptor next{::openat(target[0] == '/' ? AT_FDCWD : folder, path,
                                     O_PATH | O_DIRECTORY | O_CLOEXEC)};
            if (!next.valid() || !inspect(next, folder_node))
                return nullptr;
            here = std::move(next);
            folder = here.get();
        }
        std::snprintf(at.data(), at.size(), "%s", slash != nullptr ? slash + 1 : target.data());
    }
    return nullptr;
}

// Why the symbolic link at `name` must not be followed to the FIFO it leads
// to, or nullptr, with that FIFO in `judged`.
const char *judge_link(const Folder &working, const char *name, Judged &judged, bool lock,
                       const Judged *other, Reason &reason) {
    if (const char *why = judge_links(working, name, reason))
        return why;
    judged.linked = true;
    judged.node = Descriptor{::openat(working.fd.get(), name, O_PATH | O_CLOEXEC)};
    if (!judged.node.valid() || !inspect(judged.node, judged.fifo))
        return errno == ENOENT ? "is a symbolic link whose target does not exist"
                               : std::strerror(errno);
    if (!S_ISFIFO(judged.fifo.mode))
        return node_kind(judged.fifo.mode);
    return judge_linked_folder(name, judged, lock, working, other, reason);
}

// Says why `name` could not be made in `folder`.
void report_not_made(const Folder &folder, const char *name) {
    const int error = errno;
    Node now;
    if (error == ENOENT && inspect(folder.fd, now) && now.links == 0) {
        report(name, "cannot be made: the current folder has been removed");
        return;
    }
    std::array<char, PATH_MAX> where;
    std::array<char, shown_size(PATH_MAX)> shown;
    Reason &reason = reason_text;
    std::snprintf(reason.data(), reason.size(), "cannot be made in %s: %s; %s",
                  quote_name(shown, folder_named(where, "the current folder")),
                  std::strerror(error), use_your_own);
    report(name, reason.data());
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
// not map.
bool mode_refuses(const Node &fifo, int flags) {
    const mode_t wanted = (flags & O_ACCMODE) == O_WRONLY ? S_IWOTH : S_IROTH;
    if (::geteuid() == 0 && fifo.uid != overflow_id(false) && fifo.gid != overflow_id(true))
        return false;
    const int shift = fifo.uid == ::geteuid() ? 6 : in_group(fifo.gid) ? 3 : 0;
    return ((fifo.mode >> shift) & wanted) == 0;
}

// Why an open that failed with EACCES failed.
void report_permission(const char *name, const Node &fifo, int flags) {
    Reason &reason = reason_text;
    const auto mode = static_cast<unsigned>(fifo.mode & 07777);
    if (mode_refuses(fifo, flags))
        std::snprintf(reason.data(), reason.size(),
                      "Permission denied by its mode %04o (owner uid %u): remove it to have it "
                      "made anew, or chmod it",
                      mode, static_cast<unsigned>(fifo.uid));
    else
        std::snprintf(reason.data(), reason.size(),
                      "Permission denied by an ACL or a security module (its mode %04o allows "
                      "it)",
                      mode);
    report(name, reason.data());
}

extern "C" void on_tick(int) {}
bool tick_handled = false;

enum class Attempt { opened, failed, replaced };

// One open of the judged FIFO: through the magic link of its path descriptor,
// which reaches that very node, and blocks as a plain open of it does.
Attempt open_once(const Folder &folder, const char *name, const Judged &judged, int flags,
                  Descriptor &opened) {
    opened = Descriptor{::open(magic_link(judged.node.get()).data(), flags | O_CLOEXEC)};
    if (opened.valid())
        return Attempt::opened;
    if (errno != ENOENT)
        return Attempt::failed;
    // No /proc (a minimal chroot): by name, and then the node opened must be
    // the node judged. A node swapped in meanwhile has been opened by then,
    // which only a writer of the folder, trusted already, can bring about.
    opened = Descriptor{
        ::openat(folder.fd.get(), name, flags | O_CLOEXEC | (judged.linked ? 0 : O_NOFOLLOW))};
    if (!opened.valid())
        return Attempt::failed;
    Node node;
    if (inspect(opened, node) && node.identity == judged.fifo.identity)
        return Attempt::opened;
    opened.close();
    return Attempt::replaced;
}

} // namespace

bool open_working_folder(Folder &folder, bool lock) {
    folder.fd = Descriptor{::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const bool readable = folder.fd.valid();
    // One we may search and write to but not read cannot be locked: a lock
    // needs a descriptor open for reading. It is used unlocked, as it always
    // was: only those who may write to it could start a second drummet there,
    // and they may swap its pipes anyway.
    if (!folder.fd.valid() && errno == EACCES)
        folder.fd = Descriptor{::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)};
    const auto refuse = [](const char *reason) {
        std::array<char, PATH_MAX> where;
        report(folder_named(where, "."), reason != nullptr ? reason : std::strerror(errno));
        return false;
    };
    if (!folder.fd.valid() || !inspect(folder.fd, folder.node))
        return refuse(nullptr);
    if (open_to_all(folder.node)) {
        std::snprintf(reason_text.data(), reason_text.size(),
                      "anyone may swap the pipes in this folder (writable by all, not sticky); %s",
                      use_your_own);
        return refuse(reason_text.data());
    }
    if (!lock || !readable)
        return true;
    if (::flock(folder.fd.get(), LOCK_EX | LOCK_NB) != 0)
        return refuse(errno == EWOULDBLOCK
                          ? "locked by another drummet, or by another process that can read this "
                            "folder (lslocks shows which): wait for it to end, or use another "
                            "folder"
                          : nullptr);
    folder.locked = true;
    return true;
}

Verdict judge(const Folder &folder, const char *name, Judged &judged, bool make, bool lock,
              Judged *other) {
    // The other pipe may be in the folder whose lock this one held for both.
    if (other != nullptr && other->valid() && !other->folder_lock.valid() &&
        judged.folder_lock.valid() && other->folder.identity == judged.folder.identity)
        other->folder_lock = std::move(judged.folder_lock);
    judged = Judged{};
    bool made_by_us = false;
    Descriptor path;
    for (int attempt = 0;; ++attempt) {
        path = Descriptor{::openat(folder.fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC)};
        if (path.valid() || errno != ENOENT || attempt == 3)
            break;
        if (!make)
            return Verdict::absent;
        if (::mkfifoat(folder.fd.get(), name, pipe_mode) == 0) {
            made_by_us = true;
        } else if (errno != EEXIST) {
            report_not_made(folder, name);
            return Verdict::refused;
        }
    }
    Node node;
    if (!path.valid() || !inspect(path, node)) {
        report_errno(name);
        return Verdict::refused;
    }
    Reason &reason = reason_text;
    const char *why = nullptr;
    if (!S_ISLNK(node.mode)) {
        judged.node = std::move(path);
        judged.fifo = node;
        judged.folder = folder.node;
        why = fifo_refusal(node, folder.node, made_by_us, reason);
    } else {
        why = judge_link(folder, name, judged, lock, other, reason);
    }
    if (why != nullptr) {
        report(name, why);
        judged = Judged{};
        return Verdict::refused;
    }
    return Verdict::trusted;
}

bool distinct(const Judged &message, const Judged &reply) {
    if (message.fifo.identity != reply.fifo.identity)
        return true;
    report(reply_pipe, "is the same named pipe as fifo1");
    return false;
}

bool others_may_read(const Judged &judged) {
    if ((judged.fifo.mode & S_IROTH) == 0 || (judged.folder.mode & S_IXOTH) == 0)
        return false;
    if (judged.linked)
        return true; // the folders above its own are not looked at
    // Others reach the working folder through every folder above it.
    std::array<char, PATH_MAX> where;
    char *path = ::getcwd(where.data(), where.size());
    for (char *slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
         slash != nullptr && slash != path; slash = std::strrchr(path, '/')) {
        *slash = '\0';
        struct stat above{};
        if (::stat(path, &above) == 0 && (above.st_mode & S_IXOTH) == 0)
            return false;
    }
    return true;
}

Ticks::Ticks() {
    if (!tick_handled) {
        struct sigaction tick{}; // no SA_RESTART: a blocked open must return
        tick.sa_handler = on_tick;
        ::sigaction(SIGALRM, &tick, nullptr);
        tick_handled = true;
    }
    const itimerval ticks{{0, 200 * 1000}, {0, 100 * 1000}};
    ::setitimer(ITIMER_REAL, &ticks, nullptr);
}

Ticks::~Ticks() {
    const itimerval none{};
    ::setitimer(ITIMER_REAL, &none, nullptr);
}

Connected open_judged(const Folder &folder, const char *name, const Judged &judged, int flags,
                      Descriptor &opened, Waiting *waiting, int partner_of) {
    for (;;) {
        const Attempt attempt = open_once(folder, name, judged, flags, opened);
        if (attempt == Attempt::opened)
            return Connected::yes;
        if (attempt == Attempt::replaced) {
            report(name, "was replaced while it was being opened");
            return Connected::failed;
        }
        if (errno != EINTR) {
            if (errno == EACCES)
                report_permission(name, judged.fifo, flags);
            else
                report_errno(name);
            return Connected::failed;
        }
        if (waiting != nullptr && *waiting != nullptr) {
            (*waiting)();
            *waiting = nullptr;
        }
        // A pipe's write end shows POLLERR once it has no reader, its read
        // end POLLHUP once the writer it had has gone.
        pollfd partner{partner_of, 0, 0};
        if (partner_of >= 0 && ::poll(&partner, 1, 0) > 0 &&
            (partner.revents & (POLLERR | POLLHUP)) != 0)
            return Connected::partner_left;
        // A partner that comes now opens what the name leads to.
        Node now;
        if (!inspect(folder.fd.get(), name, 0, now) || now.identity != judged.fifo.identity)
            return Connected::name_moved;
    }
}

} // namespace common
