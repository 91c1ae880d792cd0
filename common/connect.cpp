// SPDX-License-Identifier: GPL-2.0-only
#include "connect.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol.hpp"
#include "quote.hpp"
#include "report.hpp"
#include "ticks.hpp"
#include "trust.hpp"
#include "walk.hpp"

namespace common {

namespace {

constexpr const char *use_your_own = "use a folder of your own (mktemp -d)";

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

const char *name_of(const Channel &channel, const Descriptor &folder) {
    return shown(folder_name(folder.get(), channel.folder, "a folder whose path cannot be had"));
}

// Says why `name` could not be made in the working folder, and what helps.
void report_not_made(const Channel &channel, const char *name) {
    const int error = errno;
    Node now;
    if (error == ENOENT && inspect(channel.folder.fd.get(), now) && now.links == 0) {
        report(name, "cannot be made: the current folder has been removed");
        return;
    }
    const char *advice = error == ENOSPC   ? "free some space or inodes there, or use a folder on "
                                             "another file system"
                         : error == EDQUOT ? "free some of your space there (your quota is "
                                             "full), or use a folder on another file system"
                         : error == EROFS  ? "use a folder on a file system that can be written to"
                                           : use_your_own;
    report(name, "cannot be made in %s: %s; %s",
           shown(folder_name(channel.folder.fd.get(), channel.folder, "the current folder")),
           std::strerror(error), advice);
}

// The folders of links let go of, but for the one `kept` (the other pipe) uses.
void let_go_of_locks(Channel &channel, const Pipe &kept) {
    for (FolderLock &held : channel.locks)
        if (!kept.linked || held.folder != kept.folder_is.identity)
            held = FolderLock{};
}

// Locks the folder a link led into, unless it is the working folder or its
// lock is held already; says why and returns false when it cannot be locked.
bool lock_linked_folder(Channel &channel, const Pipe &pipe, const char *name) {
    const Identity folder = pipe.folder_is.identity;
    if (folder == channel.folder.is.identity)
        return true;
    FolderLock *free = nullptr;
    for (FolderLock &held : channel.locks) {
        if (held.lock.valid() && held.folder == folder)
            return true;
        if (!held.lock.valid())
            free = &held;
    }
    Descriptor lock;
    switch (lock_folder(pipe.folder.get(), lock)) {
    case Locked::yes:
        *free = FolderLock{folder, std::move(lock)};
        return true;
    case Locked::unreadable:
        report(name, "leads into %s, which cannot be opened to be locked: %s",
               name_of(channel, pipe.folder), std::strerror(errno));
        return false;
    case Locked::by_another:
        report(name,
               "leads into %s, which is locked by another drummet, or by another process that can "
               "read that folder (lslocks shows which)",
               name_of(channel, pipe.folder));
        return false;
    case Locked::failed:
        break;
    }
    report(name, "leads into %s, which cannot be locked: %s", name_of(channel, pipe.folder),
           std::strerror(errno));
    return false;
}

enum class Make { yes, no };
enum class Verdict { trusted, absent, refused };

// Judges what stands at `name` now, in place of what `pipe` held. With
// Make::yes, makes a FIFO there first when nothing is; without, says `absent`
// then. Says why when it is `refused`.
Verdict judge(Channel &channel, Pipe &pipe, const char *name, Make make) {
    pipe = Pipe{};
    Pipe &other = &pipe == &channel.message ? channel.reply : channel.message;
    let_go_of_locks(channel, other);
    const Folder &working = channel.folder;
    Made made = Made::before;
    Way way;
    for (int attempt = 0; attempt < 3; ++attempt) {
        way = walk(working.fd.get(), working.is, name, made);
        if (way.end != Walk::absent)
            break;
        if (make == Make::no)
            return Verdict::absent;
        // What stands at the name after an EEXIST is another's, even where
        // ours stood there a moment before.
        if (::mkfifoat(working.fd.get(), name, pipe_mode) == 0) {
            made = Made::by_us;
        } else if (errno == EEXIST) {
            made = Made::before;
        } else {
            report_not_made(channel, name);
            return Verdict::refused;
        }
    }
    Refusal refusal = way.refusal;
    switch (way.end) {
    case Walk::reached:
        refusal = pipe_refusal(way.node_is, way.folder_is);
        break;
    case Walk::refused:
        break;
    case Walk::open_to_all:
        report(name,
               "leads into %s, where anyone may swap the pipes (writable by all, not "
               "sticky); %s",
               name_of(channel, way.folder), use_your_own);
        return Verdict::refused;
    case Walk::absent: // made, and removed again, each time
        errno = ENOENT;
        report_errno(name);
        return Verdict::refused;
    case Walk::failed:
        errno = way.error;
        report_errno(name);
        return Verdict::refused;
    }
    if (refusal != Refusal::none) {
        report(name, "%s", refusal_text(refusal));
        return Verdict::refused;
    }
    pipe.node = std::move(way.node);
    pipe.is = way.node_is;
    pipe.folder = std::move(way.folder);
    pipe.folder_is = way.folder_is;
    pipe.name = way.name;
    pipe.linked = way.linked;
    if (working.role == Role::broadcaster && pipe.folder.valid() &&
        !lock_linked_folder(channel, pipe, name)) {
        pipe = Pipe{};
        return Verdict::refused;
    }
    return Verdict::trusted;
}

// Refuses, saying so, a fifo2 that is fifo1 under another name: a link must
// not make one pipe of two.
bool distinct(const Pipe &message, const Pipe &reply) {
    if (message.is.identity != reply.is.identity)
        return true;
    report(reply_pipe, "is the same named pipe as fifo1");
    return false;
}

// Why an open that failed with EACCES failed.
void report_permission(const char *name, const Node &fifo, Access access) {
    const auto mode = static_cast<unsigned>(fifo.mode & 07777);
    if (mode_refuses(fifo, access, who_we_are()))
        report(name,
               "Permission denied by its mode %04o (owner uid %u): remove it to have it made "
               "anew, or chmod it",
               mode, static_cast<unsigned>(fifo.uid));
    else
        report(name, "Permission denied by an ACL or a security module (its mode %04o allows it)",
               mode);
}

enum class Attempt { opened, failed, replaced };

// One open of the judged FIFO: through the magic link of its path descriptor,
// which reaches that very node, and blocks as a plain open of it does.
Attempt open_once(const Channel &channel, Pipe &pipe, int flags) {
    pipe.end = Descriptor{::open(magic_link(pipe.node.get()).data(), flags | O_CLOEXEC)};
    if (pipe.end.valid())
        return Attempt::opened;
    if (errno != ENOENT)
        return Attempt::failed;
    // No /proc (a minimal chroot): by its one name in its folder, and then the
    // node opened must be the node judged. A node swapped in meanwhile has been
    // opened by then, which only a writer of that folder, trusted already, can
    // bring about.
    const int folder = pipe.folder.valid() ? pipe.folder.get() : channel.folder.fd.get();
    pipe.end = Descriptor{::openat(folder, pipe.name.data(), flags | O_CLOEXEC | O_NOFOLLOW)};
    if (!pipe.end.valid())
        return Attempt::failed;
    Node node;
    if (inspect(pipe.end.get(), node) && node.identity == pipe.is.identity)
        return Attempt::opened;
    pipe.end.close();
    return Attempt::replaced;
}

enum class Connected { yes, partner_left, name_moved, failed };

// What is said once, on a terminal, when an open has waited a moment for want
// of a partner.
struct Waiting {
    Role role;
    bool due;
};

// Started alone, or in the wrong folder, a program would wait in silence and
// pass for hung: what it waits for, in which folder, and the command that
// starts its partner there, as in "waiting for a client to open fifo1 in
// /tmp/x; start one with: drummet-client -C '/tmp/x'".
void say_waiting(Role role) {
    const bool drummet = role == Role::broadcaster;
    const char *who = drummet ? "a client" : "drummet";
    // Large, and left unset: written before they are read, they cost no page
    // that a run which never waits uses.
    std::array<char, PATH_MAX + 1> where;
    const char *folder = ::getcwd(where.data(), PATH_MAX);
    if (folder == nullptr) {
        // A command naming "." would make fifo1 wherever it is run: none at all.
        const bool long_path = errno == ERANGE || errno == ENAMETOOLONG;
        say("waiting for %s to open fifo1 in the current folder, whose path %s%s", who,
            long_path ? "is longer than PATH_MAX" : "cannot be found: ",
            long_path ? "" : std::strerror(errno));
        return;
    }
    const char *folder_shown = shown(folder);
    // A shell drops the newlines that end a command's output, and so those that
    // end a folder's name in the suggested word; a slash after them keeps them.
    std::string_view path = folder;
    if (path.ends_with('\n')) {
        where[path.size()] = '/';
        path = {where.data(), path.size() + 1};
    }
    std::array<char, shown_size(PATH_MAX + 1)> word;
    say("waiting for %s to open fifo1 in %s; start %s with: %s -C %s", who, folder_shown,
        drummet ? "one" : "it", drummet ? "drummet-client" : "drummet",
        quote_name(word, path, true));
}

// Opens the judged FIFO with `flags`, blocking as a plain open does until the
// other end has a partner. At each tick while it waits: `waiting`, if due, is
// said; it gives up when `name` no longer leads to the FIFO it waits on
// (`name_moved`: removed, or made anew), and when the pipe `partner_of` (the
// end connected already) has lost its partner (`partner_left`). Says why when
// it `failed`.
Connected open_judged(const Channel &channel, Pipe &pipe, const char *name, int flags,
                      Waiting *waiting, int partner_of) {
    for (;;) {
        const Attempt attempt = open_once(channel, pipe, flags);
        if (attempt == Attempt::opened)
            return Connected::yes;
        if (attempt == Attempt::replaced) {
            report(name, "was replaced while it was being opened");
            return Connected::failed;
        }
        if (errno != EINTR) {
            if (errno == EACCES)
                report_permission(name, pipe.is,
                                  (flags & O_ACCMODE) == O_WRONLY ? Access::write : Access::read);
            else
                report_errno(name);
            return Connected::failed;
        }
        if (waiting != nullptr && waiting->due) {
            say_waiting(waiting->role);
            waiting->due = false;
        }
        // A pipe's write end shows POLLERR once it has no reader, its read
        // end POLLHUP once the writer it had has gone.
        pollfd partner{partner_of, 0, 0};
        if (partner_of >= 0 && ::poll(&partner, 1, 0) > 0 &&
            (partner.revents & (POLLERR | POLLHUP)) != 0)
            return Connected::partner_left;
        // A partner that comes now opens what the name leads to.
        Node now;
        if (!inspect(channel.folder.fd.get(), name, 0, now) || now.identity != pipe.is.identity)
            return Connected::name_moved;
    }
}

// Whether someone else may open the judged FIFO as `access` asks: its mode
// lets them, and they can reach its folder through every folder above it.
bool others_may_open(const Channel &channel, const Pipe &pipe, Access access) {
    if (!others_may(pipe.is, access))
        return false;
    Descriptor held;
    int folder = pipe.folder.valid() ? pipe.folder.get() : channel.folder.fd.get();
    Node is = pipe.folder_is;
    for (;;) {
        if (!others_may_search(is))
            return false;
        Descriptor up{::openat(folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC)};
        Node up_is;
        if (!up.valid() || !inspect(up.get(), up_is) || up_is.identity == is.identity)
            return true; // the root, or as far as can be seen
        held = std::move(up);
        folder = held.get();
        is = up_is;
    }
}

// On a terminal, once for each pipe: a pipe others may open is a way for them
// to take the message, or to answer in the client's place.
void warn_if_open_to_others(const Channel &channel, const Pipe &pipe, const char *name) {
    const bool message = &pipe == &channel.message;
    if (!others_may_open(channel, pipe, message ? Access::read : Access::write))
        return;
    report(name,
           "others may open it and %s (mode %04o, in a folder they can reach); use a folder only "
           "you can enter (mktemp -d), or umask 077",
           message ? "take the message" : "send a reply of their own",
           static_cast<unsigned>(pipe.is.mode & 07777));
}

} // namespace

bool connect(Channel &channel, Console console) {
    const Role role = channel.folder.role;
    const bool drummet = role == Role::broadcaster;
    const bool terminal = console == Console::terminal;
    const int message_flags = drummet ? O_WRONLY : O_RDONLY;
    const int reply_flags = drummet ? O_RDONLY : O_WRONLY;
    Pipe &message = channel.message;
    Pipe &reply = channel.reply;
    const Ticks ticks;
    Waiting waiting{role, terminal};
    bool warn_message = drummet && terminal, warn_reply = warn_message;
    const auto warn_once = [&](const Pipe &pipe, const char *name, bool &due) {
        if (due)
            warn_if_open_to_others(channel, pipe, name);
        due = false;
    };
    for (;;) {
        if (judge(channel, reply, reply_pipe, Make::no) == Verdict::refused)
            return false;
        if (reply.judged())
            warn_once(reply, reply_pipe, warn_reply);
        Connected connected = Connected::name_moved;
        while (connected == Connected::name_moved) {
            if (judge(channel, message, message_pipe, Make::yes) != Verdict::trusted ||
                (reply.judged() && !distinct(message, reply)))
                return false;
            warn_once(message, message_pipe, warn_message);
            connected = open_judged(channel, message, message_pipe, message_flags, &waiting, -1);
            if (connected == Connected::failed)
                return false;
        }
        for (bool judged = reply.judged();; judged = false) {
            if (!judged && (judge(channel, reply, reply_pipe, Make::yes) != Verdict::trusted ||
                            !distinct(message, reply)))
                return false;
            warn_once(reply, reply_pipe, warn_reply);
            connected =
                open_judged(channel, reply, reply_pipe, reply_flags, nullptr, message.end.get());
            if (connected != Connected::name_moved)
                break;
        }
        if (connected != Connected::partner_left)
            return connected == Connected::yes;
        if (!drummet) {
            report(message_pipe, "drummet left before it opened fifo2");
            return false;
        }
        if (!terminal) {
            report(message_pipe, "the client left before it opened fifo2");
            return false;
        }
        report(message_pipe, "the client left before it opened fifo2; waiting for a client again");
        // Both are judged anew, their locks let go first: a lock this process
        // holds would stand in the way of its own.
        message = Pipe{};
        reply = Pipe{};
        let_go_of_locks(channel, reply);
        waiting.due = false;
    }
}

} // namespace common
