// SPDX-License-Identifier: GPL-2.0-only
// Whether a node at "fifo1" or "fifo2" may carry the message, and how it is
// opened once it may: what drummet and drummet-client both do before they
// trust a pipe.
//
// A FIFO carries the message to whoever holds its other end, and whoever may
// change the folder that holds its name may put a FIFO of their own there.
// So a pipe is trusted when
//   1. it is a FIFO with one name: no second link, no mount over its name, so
//      that the folder of that one name is the only way to it;
//   2. that folder is not one anyone may change (writable by all and not
//      sticky), and, for drummet, its lock is ours, so that no other drummet
//      waits on the pipe whatever name leads to it;
//   3. where the folder is shared but sticky, so that each name there is its
//      owner's, the node at the name (the FIFO, and a symbolic link that leads
//      to it) is ours or the folder owner's: made by us in this run, or owned
//      by our user, unless that user shows as the overflow user of a user
//      namespace, who could be anyone.
// The working folder is opened once; its descriptor serves the lock, every
// name in it and its rules. A name that is a symbolic link takes the slower
// way for itself alone: the folder of the FIFO's one name is found, judged and
// locked as the working folder is. Each node is looked at once, through a path
// descriptor, and the node that was judged is the node opened.
#pragma once

#include <cstdint>
#include <span>

#include <sys/types.h>

#include "shared.hpp"

namespace common {

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const Identity &, const Identity &) = default;
};

// What the rules need to know of a node.
struct Node {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    nlink_t links = 0;
    Identity identity;
    std::uint64_t mount = 0; // 0 where the kernel does not say (before 5.8)
};

// The folder the pipes are named in, opened once.
struct Folder {
    Descriptor fd;
    Node node;
    bool locked = false;
};

// Opens the working folder and judges it. With `lock` (drummet), takes an
// exclusive lock on it, held until the process exits: two drummets in one
// folder would both wait on fifo1, and one client would read both messages as
// one. Says why and returns false when it must not be used.
bool open_working_folder(Folder &folder, bool lock);

// A FIFO judged fit to carry the message.
struct Judged {
    Descriptor node;        // a path descriptor of the FIFO itself
    Node fifo;              // what it was judged on
    Node folder;            // the folder of its one name
    Descriptor folder_lock; // that folder's lock, when no other holds it
    bool linked = false;    // reached through a symbolic link
    [[nodiscard]] bool valid() const { return node.valid(); }
};

enum class Verdict { trusted, absent, refused };

// Judges what stands at `name` in `folder`, in place of what `judged` held.
// With `make`, makes a FIFO there first when nothing is; without, says
// `absent` then. With `lock` (drummet), locks the folder a symbolic link
// leads into unless it is the working folder or `other` holds its lock; a lock
// `judged` held for both passes to `other`. Says why when the verdict is
// `refused`.
Verdict judge(const Folder &folder, const char *name, Judged &judged, bool make, bool lock,
              Judged *other = nullptr);

// Refuses, saying so, a fifo2 that is fifo1 under another name: a link must
// not make one pipe of two.
bool distinct(const Judged &message, const Judged &reply);

// Whether others than us may open the judged FIFO for reading: its mode lets
// them and they can reach its folder.
bool others_may_read(const Judged &judged);

// Told once, when an open has waited a moment for want of a partner.
using Waiting = void (*)();

// While it lives, a tick every 0.2 s (the first after 0.1 s) ends a blocked
// open, so that a wait can look around. It does nothing else: a line said
// meanwhile holds the tick off.
class Ticks {
  public:
    Ticks();
    ~Ticks();
    Ticks(const Ticks &) = delete;
    Ticks &operator=(const Ticks &) = delete;
};

enum class Connected { yes, partner_left, name_moved, failed };

// Opens the judged FIFO at `name` with `flags` (O_RDONLY or O_WRONLY), blocking
// as a plain open does until the other end has a partner. At each tick while
// it waits: `*waiting`, if any, is told, and cleared so that it is told
// once in a run; it gives up when `name` no longer
// leads to the FIFO it waits on (`name_moved`: removed, or made anew), and,
// with `partner_of` (the end of the pipe that is connected already), when
// that pipe's partner has left (`partner_left`). Says why when it `failed`.
Connected open_judged(const Folder &folder, const char *name, const Judged &judged, int flags,
                      Descriptor &opened, Waiting *waiting = nullptr, int partner_of = -1);

} // namespace common
