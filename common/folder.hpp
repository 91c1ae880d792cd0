// SPDX-License-Identifier: GPL-2.0-only
// The folders the pipes are named in: the working folder, opened once, and
// the lock that keeps a second drummet off the pipes of a folder.
#pragma once

#include "descriptor.hpp"
#include "node.hpp"

namespace common {

// Which end of the exchange this program is. drummet locks the folder of each
// pipe: two drummets on one pipe would both wait on it, and one client would
// read both messages as one. The client locks nothing.
enum class Role { broadcaster, client };

// The working folder: its descriptor serves every name in it, the rules and
// the lock, held until the process exits.
struct Folder {
    Role role = Role::client;
    Descriptor fd;
    Node is;
    bool locked = false;
};

// Changes to the folder `path` names (-C), if any, reached as the pipes'
// names are: walked from the current folder, every link and folder on the
// way judged where it lies, so that a stranger's link on the way cannot lead
// into a folder of theirs. Says why and returns false when it must not.
bool enter_folder(const char *path);

// Opens the working folder as `role` needs it, and judges it. Says why and
// returns false when it must not be used.
bool open_working_folder(Folder &folder, Role role);

enum class Locked { yes, unreadable, by_another, failed };

// Takes an exclusive lock on the folder that `fd` holds, for as long as
// `lock` lives: a lock needs the folder open for reading, so that very folder
// is opened for reading into `lock`. errno says why when it is not `yes`.
Locked lock_folder(int fd, Descriptor &lock);

// The path of the folder `fd` holds, for what we say about it (getcwd, which
// needs no /proc); `otherwise` when it has none that fits. The working folder
// stays the current one.
const char *folder_name(int fd, const Folder &working, const char *otherwise);

} // namespace common
