// SPDX-License-Identifier: GPL-2.0-only
// How both programs connect the pipes: drummet opens fifo1 for writing, then
// fifo2 for reading; the client fifo1 for reading, then fifo2 for writing.
// Each pipe is walked to and judged (walk.hpp, trust.hpp) before it is opened,
// and the node judged is the node opened.
#pragma once

#include <array>
#include <climits>

#include "descriptor.hpp"
#include "folder.hpp"
#include "node.hpp"

namespace common {

// One pipe, as it was judged and opened.
struct Pipe {
    Descriptor node;   // a path descriptor of the FIFO judged
    Node is;           // what it was judged on
    Descriptor folder; // the folder of its one name, where that is not the working folder
    Node folder_is;
    std::array<char, NAME_MAX + 1> name{}; // its name there
    bool linked = false;                   // reached through a symbolic link
    Descriptor end;                        // the end opened
    [[nodiscard]] bool judged() const { return node.valid(); }
};

// The lock of a folder a link leads into.
struct FolderLock {
    Identity folder;
    Descriptor lock;
};

// What a run holds from the moment it opens its working folder: the folder and
// its lock, both pipes (the nodes judged, their folders and the ends opened),
// and the locks of the folders links lead into. The locks keep a second
// drummet off the pipes only while they are held, and the ends are the run's
// way to its partner: it must live until the run ends.
struct Channel {
    Folder folder;
    Pipe message, reply;
    std::array<FolderLock, 2> locks;
};

// Where standard error goes, and so what is said while connecting.
enum class Console { terminal, elsewhere };

// Connects the pipes of the working folder (open_working_folder first) as its
// role expects, in the order the other end expects. A fifo2 that is there
// already is judged before anyone is waited for, so that no partner connects
// for nothing; one that comes later, once fifo1 has its partner. A pipe whose
// name leads elsewhere while we wait on it is judged anew: a partner that
// comes opens what the name leads to now. On a terminal: says once that it
// waits, when it has waited a moment; drummet warns when others may open a
// pipe, and waits for a client again when one leaves before it opens fifo2.
// Says why and returns false when it cannot connect.
bool connect(Channel &channel, Console console);

} // namespace common
