// SPDX-License-Identifier: GPL-2.0-only
// What the programs say, as drummet(1) and drummet-client(1) list it: written
// once here, for the unit tests and the tests of whole programs alike.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace expected {

// Of a node at fifoN, or of what a link there leads to.
inline constexpr std::string_view planted = "belongs to another user in a shared sticky folder, "
                                            "who may be listening; use a folder of your own "
                                            "(mktemp -d)";
inline constexpr std::string_view regular_file = "is a regular file, not a named pipe";
inline constexpr std::string_view directory = "is a directory, not a named pipe";
inline constexpr std::string_view device = "is a device, not a named pipe";
inline constexpr std::string_view socket = "is a socket, not a named pipe";
inline constexpr std::string_view other_kind = "is not a named pipe";
inline constexpr std::string_view anonymous_pipe = "is an anonymous pipe, not a named pipe";
inline constexpr std::string_view dangling_link = "is a symbolic link whose target does not exist";
inline constexpr std::string_view hard_link = "has more than one name (a hard link), so another "
                                              "drummet could wait on it from another folder: "
                                              "remove it to have it made anew";
inline constexpr std::string_view bind_mount = "is a pipe mounted here from elsewhere (a bind "
                                               "mount), so another drummet could wait on it from "
                                               "another folder";
inline constexpr std::string_view same_pipe = "is the same named pipe as fifo1";
inline constexpr std::string_view link_loop = "Too many levels of symbolic links";

// Of the working folder, and of one a link leads into.
inline std::string open_to_all(std::string_view folder) {
    return std::string(folder) + ": anyone may swap the pipes in this folder (writable by all, "
                                 "not sticky); use a folder of your own (mktemp -d)";
}
inline std::string leads_into_open_to_all(std::string_view folder) {
    return "leads into " + std::string(folder) +
           ", where anyone may swap the pipes (writable by all, not sticky); use a folder of your "
           "own (mktemp -d)";
}
inline std::string locked(std::string_view folder) {
    return std::string(folder) + ": locked by another drummet, or by another process that can "
                                 "read this folder (lslocks shows which): wait for it to end, "
                                 "or use another folder";
}
inline std::string leads_into_locked(std::string_view folder) {
    return "leads into " + std::string(folder) +
           ", which is locked by another drummet, or by another process that can read that "
           "folder (lslocks shows which)";
}

// Of standard input, before any pipe is made.
inline std::string no_message(std::string_view why) {
    return "stdin: " + std::string(why) + ", so there is no message to send";
}

// Of a message longer than 999 bytes.
inline std::string cut(std::size_t dropped) {
    return "fifo1: message longer than 999 bytes, " + std::to_string(dropped) +
           (dropped == 1 ? " byte" : " bytes") + " dropped";
}

// The hint under the prompts, and what is said once the message is in.
inline constexpr std::string_view hint = "end the message with a backtick (`), then press "
                                         "Enter; or press Ctrl-D at the start of a line";
inline constexpr std::string_view discarded = "what was typed after the message is discarded, "
                                              "not run";

// The warnings on a terminal, of fifo1 and of fifo2.
inline std::string others_may(std::string_view pipe, unsigned mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode);
    return std::string(pipe) + ": others may open it and " +
           (pipe == "fifo1" ? "take the message" : "send a reply of their own") + " (mode " +
           octal +
           ", in a folder they can reach); use a folder only you can enter (mktemp -d), "
           "or umask 077";
}

// The client, once connected.
inline constexpr std::string_view no_message_came = "fifo1: drummet went away without sending a "
                                                    "message; perhaps another client took it";
inline constexpr std::string_view closed_before_reply = "fifo2: drummet closed the pipe before the "
                                                        "reply";

} // namespace expected
