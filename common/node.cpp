// SPDX-License-Identifier: GPL-2.0-only
#include "node.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace common {

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

bool inspect(int fd, Node &node) {
    return inspect(fd, "", AT_EMPTY_PATH, node);
}

} // namespace common
