// SPDX-License-Identifier: GPL-2.0-only
// When a node at "fifo1" or "fifo2" may carry the message: the rules that
// drummet and drummet-client both apply before they trust a pipe, as pure
// functions of what the nodes are and who we are. walk.hpp applies them.
//
// A FIFO carries the message to whoever holds its other end, and whoever may
// change a folder may put a node of their own in place of any name there. So
// the name is walked one component at a time from the working folder, and
// every node met on the way (each folder, each symbolic link, wherever it
// leads, and the FIFO at the end) is judged by the folder it lies in:
//   1. that folder is not one anyone may change (writable by all, not sticky);
//   2. where that folder is shared but sticky, so that each name there is its
//      owner's, the node is ours or the folder owner's: made by us in this
//      run, or owned by our user. An owner shown as the overflow user of a
//      user namespace that leaves ids unmapped could be anyone: the host's
//      root, who owns such folders, or any user the namespace does not map,
//      us included where it maps nobody. Where every id is mapped (the
//      initial namespace), the overflow uid is a user like any other.
// The node the walk ends on must be a FIFO with one name (no second link, no
// mount over its name), so that the folder of that one name is the only way
// to it; and drummet locks that folder, so that no other drummet waits on the
// pipe whatever names lead to it. (A working folder drummet may write to but
// not read cannot be locked, and is used unlocked, as it always was: only
// those who may write to it could start a second drummet there, and they may
// swap its pipes anyway.) Each node is looked at once, through a path
// descriptor, and the node judged is the node opened.
#pragma once

#include <span>

#include <sys/types.h>

#include "node.hpp"

namespace common {

// Who we are, as far as the rules care.
struct Who {
    uid_t uid = 0; // effective
    gid_t gid = 0; // effective
    std::span<const gid_t> groups;
    // What stat shows for an owner our user namespace does not map.
    uid_t overflow_uid = 65534;
    gid_t overflow_gid = 65534;
    // Whether our user namespace maps every id, as the initial one does.
    bool maps_every_id = false;
    // The capabilities that pass the mode bits: CAP_DAC_OVERRIDE for every
    // access, CAP_DAC_READ_SEARCH for reading. Root has them unless dropped.
    bool overrides_modes = false;
    bool overrides_reading = false;
};

enum class Made { by_us, before };
enum class Access { read, write };

enum class Refusal {
    none,
    planted,      // in a shared sticky folder, a stranger's node
    regular_file, // at the end of the walk, what is not a FIFO
    directory,
    device,
    socket,
    other_kind,
    anonymous_pipe, // a pipe without a name, reached through /proc/PID/fd
    dangling_link,  // a symbolic link to nothing
    hard_link,
    bind_mount,
};

// Anyone may remove a name there and put their own in its place.
bool open_to_all(const Node &folder);
// Others or a group may add names there, but only the owner of a name may
// remove it.
bool shared_sticky(const Node &folder);
// In a shared sticky folder, a node that neither we nor the folder's owner
// made: a trap. The kernel's own rule for such folders (fs.protected_fifos=2,
// and for links fs.protected_symlinks), applied whatever those settings are,
// to group-writable sticky folders too, and stricter about the overflow user.
bool planted(const Node &folder, const Node &node, Made made, const Who &who);

// Why the node a walk ends on, in `folder`, is no pipe to trust, or none.
Refusal pipe_refusal(const Node &node, const Node &folder);
// The words for a refusal, as they follow "fifoN: ".
const char *refusal_text(Refusal refusal);

// Whether the mode bits themselves refuse us `access`, as the kernel reads
// them: the capabilities pass them, but not for an owner our namespace does
// not map.
bool mode_refuses(const Node &fifo, Access access, const Who &who);

// Whether someone else's access to the FIFO is allowed by its mode, and
// whether someone else may search a folder on the way to it: with the usual
// umask, a pipe in a folder others can reach is theirs to open.
bool others_may(const Node &fifo, Access access);
bool others_may_search(const Node &folder);

} // namespace common
