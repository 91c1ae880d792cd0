// SPDX-License-Identifier: GPL-2.0-only
// The rules of trust, straight: nodes, folders and who we are in, a refusal or
// none out. The walk that applies them is tested in walk_test.cpp, the
// programs that report them in tests/programs.

#include "trust.hpp"

#include <array>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../expected.hpp"

namespace {

using common::Access;
using common::Made;
using common::Node;
using common::Refusal;
using common::Who;

constexpr uid_t user = 2401, stranger = 2402, root = 0, nobody = 65534;

Node folder(mode_t mode, uid_t owner) {
    Node node;
    node.mode = S_IFDIR | mode;
    node.uid = owner;
    node.links = 2;
    node.mount = 7;
    return node;
}

Node fifo(uid_t owner, mode_t mode = 0644) {
    Node node;
    node.mode = S_IFIFO | mode;
    node.uid = owner;
    node.gid = owner;
    node.links = 1;
    node.mount = 7;
    return node;
}

// On a host: every id is mapped. In a namespace that maps only its root, as
// unshare -U -r makes one; in one that maps nobody (unshare -U), we show as the
// overflow uid ourselves; the real user nobody on the host is one too.
const Who on_the_host{.uid = user, .gid = user, .groups = {}, .maps_every_id = true};
const Who namespace_root{.uid = 0,
                         .gid = 0,
                         .groups = {},
                         .maps_every_id = false,
                         .overrides_modes = true,
                         .overrides_reading = true};
const Who unmapped{.uid = nobody, .gid = nobody, .groups = {}, .maps_every_id = false};
const Who real_nobody{.uid = nobody, .gid = nobody, .groups = {}, .maps_every_id = true};

TEST(Rules, AStrangersNodeInASharedStickyFolderIsPlanted) {
    struct Case {
        const char *what;
        Node folder, node;
        Made made;
        const Who &who;
        bool planted;
    };
    const std::vector<Case> cases = {
        {"a stranger's in /tmp", folder(01777, root), fifo(stranger), Made::before, on_the_host,
         true},
        {"ours in /tmp", folder(01777, root), fifo(user), Made::before, on_the_host, false},
        {"the folder owner's", folder(01777, stranger), fifo(stranger), Made::before, on_the_host,
         false},
        {"root's in root's /tmp", folder(01777, root), fifo(root), Made::before, on_the_host,
         false},
        {"a stranger's in a team folder", folder(03770, root), fifo(stranger), Made::before,
         on_the_host, true},
        {"a stranger's, sticky and writable by its group", folder(01770, user), fifo(stranger),
         Made::before, on_the_host, true},
        {"a stranger's, sticky but shared with nobody", folder(01755, root), fifo(stranger),
         Made::before, on_the_host, false},
        {"a stranger's, shared but not sticky", folder(0770, root), fifo(stranger), Made::before,
         on_the_host, false},
        {"a stranger's, made by us in this run", folder(01777, root), fifo(stranger), Made::by_us,
         on_the_host, false},
        {"unmapped owner, seen from a namespace", folder(01777, nobody), fifo(nobody), Made::before,
         namespace_root, true},
        {"ours in a folder of an unmapped owner", folder(01777, nobody), fifo(0), Made::before,
         namespace_root, false},
        {"overflow-owned where we are unmapped", folder(01777, nobody), fifo(nobody), Made::before,
         unmapped, true},
        {"overflow-owned where we are unmapped, made by us", folder(01777, nobody), fifo(nobody),
         Made::by_us, unmapped, false},
        {"nobody's own, on the host", folder(01777, root), fifo(nobody), Made::before, real_nobody,
         false},
        {"a stranger's, seen by nobody on the host", folder(01777, root), fifo(stranger),
         Made::before, real_nobody, true},
        {"nobody's, seen by another user on the host", folder(01777, root), fifo(nobody),
         Made::before, on_the_host, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(common::planted(c.folder, c.node, c.made, c.who), c.planted);
    }
}

TEST(Rules, FoldersAnyoneMayChangeAndSharedStickyFolders) {
    struct Case {
        mode_t mode;
        bool open_to_all, shared_sticky;
    };
    for (const Case &c :
         {Case{0777, true, false}, Case{0703, true, false}, Case{01777, false, true},
          Case{01770, false, true}, Case{01755, false, false}, Case{0775, false, false},
          Case{0700, false, false}}) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(common::open_to_all(folder(c.mode, root)), c.open_to_all);
        EXPECT_EQ(common::shared_sticky(folder(c.mode, root)), c.shared_sticky);
    }
}

TEST(Rules, TheNodeAWalkEndsOnMustBeAPipeWithOneName) {
    Node two_names = fifo(user), mounted = fifo(user), unknown_mount = fifo(user);
    two_names.links = 2;
    mounted.mount = 8;
    unknown_mount.mount = 0; // before Linux 5.8
    const auto of_kind = [](mode_t kind) {
        Node node = fifo(user);
        node.mode = kind | 0644;
        return node;
    };
    struct Case {
        Node node;
        Refusal refusal;
    };
    for (const Case &c :
         {Case{fifo(user), Refusal::none}, Case{unknown_mount, Refusal::none},
          Case{two_names, Refusal::hard_link}, Case{mounted, Refusal::bind_mount},
          Case{of_kind(S_IFREG), Refusal::regular_file}, Case{of_kind(S_IFDIR), Refusal::directory},
          Case{of_kind(S_IFCHR), Refusal::device}, Case{of_kind(S_IFBLK), Refusal::device},
          Case{of_kind(S_IFSOCK), Refusal::socket}, Case{of_kind(S_IFLNK), Refusal::other_kind}}) {
        SCOPED_TRACE(c.node.mode);
        EXPECT_EQ(common::pipe_refusal(c.node, folder(0700, user)), c.refusal);
    }
}

// The words each refusal gets, as the manual lists them.
TEST(Rules, EachRefusalHasTheManualsWords) {
    const std::vector<std::pair<Refusal, std::string_view>> words = {
        {Refusal::planted, expected::planted},
        {Refusal::regular_file, expected::regular_file},
        {Refusal::directory, expected::directory},
        {Refusal::device, expected::device},
        {Refusal::socket, expected::socket},
        {Refusal::other_kind, expected::other_kind},
        {Refusal::anonymous_pipe, expected::anonymous_pipe},
        {Refusal::dangling_link, expected::dangling_link},
        {Refusal::hard_link, expected::hard_link},
        {Refusal::bind_mount, expected::bind_mount},
    };
    for (const auto &[refusal, text] : words)
        EXPECT_EQ(common::refusal_text(refusal), text);
}

// Which of the mode's bits refuse us, to say whether chmod would help.
TEST(Rules, TheModeRefusesAsTheKernelReadsIt) {
    const std::array<gid_t, 2> groups{100, 2400};
    const Who member{.uid = user, .gid = user, .groups = groups, .maps_every_id = true};
    const Who host_root{.uid = 0,
                        .gid = 0,
                        .groups = {},
                        .maps_every_id = true,
                        .overrides_modes = true,
                        .overrides_reading = true};
    const Who root_without_capabilities{.uid = 0, .gid = 0, .groups = {}, .maps_every_id = true};
    const Who reader{.uid = user,
                     .gid = user,
                     .groups = groups,
                     .maps_every_id = true,
                     .overrides_reading = true};
    const auto owned = [](uid_t owner, gid_t group, mode_t mode) {
        Node node = fifo(owner, mode);
        node.gid = group;
        return node;
    };
    struct Case {
        const char *what;
        Node fifo;
        Access access;
        const Who &who;
        bool refuses;
    };
    const std::vector<Case> cases = {
        {"ours, readable", owned(user, user, 0400), Access::read, member, false},
        {"ours, not writable", owned(user, user, 0477), Access::write, member, true},
        {"the group's, through a supplementary group", owned(stranger, 2400, 0060), Access::write,
         member, false},
        {"the group's, not ours", owned(stranger, 2402, 0060), Access::write, member, true},
        {"others'", owned(stranger, 2402, 0006), Access::read, member, false},
        {"others', not theirs to read", owned(stranger, 2402, 0662), Access::read, member, true},
        {"root passes the bits", owned(stranger, 2402, 0000), Access::write, host_root, false},
        {"root on the host passes them for nobody's too", owned(nobody, nobody, 0000), Access::read,
         host_root, false},
        {"root of a namespace, an unmapped owner", owned(nobody, nobody, 0000), Access::read,
         namespace_root, true},
        {"root without its capabilities is held to them", owned(stranger, 2402, 0000), Access::read,
         root_without_capabilities, true},
        {"CAP_DAC_READ_SEARCH passes them for reading", owned(stranger, 2402, 0000), Access::read,
         reader, false},
        {"but not for writing", owned(stranger, 2402, 0000), Access::write, reader, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(common::mode_refuses(c.fifo, c.access, c.who), c.refuses);
    }
}

TEST(Rules, WhoElseMayOpenAPipeOrSearchAFolder) {
    EXPECT_TRUE(common::others_may(fifo(user, 0755), Access::read));
    EXPECT_TRUE(common::others_may(fifo(user, 0740), Access::read)); // its group
    EXPECT_FALSE(common::others_may(fifo(user, 0733), Access::read));
    EXPECT_TRUE(common::others_may(fifo(user, 0602), Access::write));
    EXPECT_TRUE(common::others_may(fifo(user, 0620), Access::write));
    EXPECT_FALSE(common::others_may(fifo(user, 0755), Access::write));
    EXPECT_TRUE(common::others_may_search(folder(0701, user)));
    EXPECT_TRUE(common::others_may_search(folder(0710, user)));
    EXPECT_FALSE(common::others_may_search(folder(0766, user)));
}

} // namespace
