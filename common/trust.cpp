// SPDX-License-Identifier: GPL-2.0-only
#include "trust.hpp"

#include <algorithm>

#include <sys/stat.h>

namespace common {

bool open_to_all(const Node &folder) {
    return (folder.mode & (S_IWOTH | S_ISVTX)) == S_IWOTH;
}

bool shared_sticky(const Node &folder) {
    return (folder.mode & S_ISVTX) != 0 && (folder.mode & (S_IWOTH | S_IWGRP)) != 0;
}

bool planted(const Node &folder, const Node &node, Made made, const Who &who) {
    if (!shared_sticky(folder) || made == Made::by_us)
        return false;
    if (node.uid == who.overflow_uid && !who.maps_every_id)
        return true;
    return node.uid != who.uid && node.uid != folder.uid;
}

Refusal pipe_refusal(const Node &node, const Node &folder) {
    if (S_ISREG(node.mode))
        return Refusal::regular_file;
    if (S_ISDIR(node.mode))
        return Refusal::directory;
    if (S_ISCHR(node.mode) || S_ISBLK(node.mode))
        return Refusal::device;
    if (S_ISSOCK(node.mode))
        return Refusal::socket;
    if (!S_ISFIFO(node.mode))
        return Refusal::other_kind;
    if (node.links > 1)
        return Refusal::hard_link;
    // Before 5.8 the kernel does not say which mount a node is on: a pipe
    // mounted over its name cannot be told there, and only root can mount one.
    if (node.mount != 0 && folder.mount != 0 && node.mount != folder.mount)
        return Refusal::bind_mount;
    return Refusal::none;
}

const char *refusal_text(Refusal refusal) {
    switch (refusal) {
    case Refusal::none:
        break;
    case Refusal::planted:
        return "belongs to another user in a shared sticky folder, who may be listening; use a "
               "folder of your own (mktemp -d)";
    case Refusal::regular_file:
        return "is a regular file, not a named pipe";
    case Refusal::directory:
        return "is a directory, not a named pipe";
    case Refusal::device:
        return "is a device, not a named pipe";
    case Refusal::socket:
        return "is a socket, not a named pipe";
    case Refusal::other_kind:
        return "is not a named pipe";
    case Refusal::anonymous_pipe:
        return "is an anonymous pipe, not a named pipe";
    case Refusal::dangling_link:
        return "is a symbolic link whose target does not exist";
    case Refusal::hard_link:
        return "has more than one name (a hard link), so another drummet could wait on it from "
               "another folder: remove it to have it made anew";
    case Refusal::bind_mount:
        return "is a pipe mounted here from elsewhere (a bind mount), so another drummet could "
               "wait on it from another folder";
    }
    return "";
}

bool mode_refuses(const Node &fifo, Access access, const Who &who) {
    const mode_t wanted = access == Access::write ? S_IWOTH : S_IROTH;
    const bool owner_mapped =
        who.maps_every_id || (fifo.uid != who.overflow_uid && fifo.gid != who.overflow_gid);
    if (owner_mapped && (who.overrides_modes || (access == Access::read && who.overrides_reading)))
        return false;
    const bool in_group =
        fifo.gid == who.gid || std::ranges::find(who.groups, fifo.gid) != who.groups.end();
    const int shift = fifo.uid == who.uid ? 6 : in_group ? 3 : 0;
    return ((fifo.mode >> shift) & wanted) == 0;
}

bool others_may(const Node &fifo, Access access) {
    return (fifo.mode & (access == Access::write ? S_IWGRP | S_IWOTH : S_IRGRP | S_IROTH)) != 0;
}

bool others_may_search(const Node &folder) {
    return (folder.mode & (S_IXGRP | S_IXOTH)) != 0;
}

} // namespace common
