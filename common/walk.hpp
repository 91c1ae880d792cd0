// SPDX-License-Identifier: GPL-2.0-only
// The one way from a name to the node it leads to: from the working folder,
// one component at a time, through path descriptors, every node on the way
// judged by the folder it lies in (trust.hpp). The node the walk ends on is
// the node opened, never looked up by name a second time.
#pragma once

#include <array>
#include <climits>

#include "descriptor.hpp"
#include "node.hpp"
#include "trust.hpp"

namespace common {

enum class Walk {
    reached,     // the node at the end of the way, whatever it is
    absent,      // nothing at the name in the working folder
    refused,     // a node on the way that must not be followed or used
    open_to_all, // a node on the way in a folder anyone may change
    failed,      // errno says why
};

struct Way {
    Walk end = Walk::failed;
    Refusal refusal = Refusal::none; // when refused
    int error = 0;                   // when failed
    Descriptor node;                 // reached: a path descriptor of it
    Node node_is;
    // Reached: the folder that holds the node's name; open_to_all: the folder
    // anyone may change. Not valid where that is the working folder.
    Descriptor folder;
    Node folder_is;
    std::array<char, NAME_MAX + 1> name{}; // reached: its name in that folder
    bool linked = false;                   // a symbolic link was followed
};

// Walks `name` from the working folder `working` (`working_is` what it is).
// `made` says whether this run made the node at `name` itself. `who` tells who
// we are, asked only where an owner counts.
Way walk(int working, const Node &working_is, const char *name, Made made,
         const Who &(*who)() = nullptr);

// Who this process is, read once, where an owner counts.
const Who &who_we_are();

} // namespace common
