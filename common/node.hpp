// SPDX-License-Identifier: GPL-2.0-only
// What the rules of trust need to know of a node, looked at once through a
// descriptor.
#pragma once

#include <cstdint>

#include <sys/types.h>

namespace common {

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const Identity &, const Identity &) = default;
};

struct Node {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    nlink_t links = 0;
    Identity identity;
    std::uint64_t mount = 0; // 0 where the kernel does not say (before 5.8)
};

// What `path` in the folder `fd` is (`flags` as statx takes them), or, with
// an empty path and AT_EMPTY_PATH, what `fd` itself is. False with errno.
bool inspect(int fd, const char *path, int flags, Node &node);
// What the node that `fd` holds is.
bool inspect(int fd, Node &node);

} // namespace common
