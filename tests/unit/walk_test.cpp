// SPDX-License-Identifier: GPL-2.0-only
// The walk from a name to its pipe, over real folders and links made here:
// where it leads, and which node on the way stops it. Who we are can be
// played: to the walk, a node of ours then belongs to someone else.

#include "walk.hpp"

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../shared.hpp"

namespace {

namespace fs = std::filesystem;
using common::Descriptor;
using common::Made;
using common::Refusal;
using common::Walk;
using common::Way;
using testing_support::TempDir;

common::Identity identity_of(const fs::path &path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_dev, st.st_ino};
}

// Walks `name` from `folder`, as `who` (by default the real one).
Way walk_from(const fs::path &folder, const char *name, Made made = Made::before,
              const common::Who &(*who)() = nullptr) {
    const Descriptor working{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    common::Node is;
    EXPECT_TRUE(common::inspect(working.get(), is)) << folder;
    return common::walk(working.get(), is, name, made, who);
}

// Who owns the nodes a test makes in /tmp: us, or, where we are root (who owns
// /tmp too, and the folder's owner is trusted there), a user they are given to.
uid_t owner() {
    return ::geteuid() != 0 ? ::geteuid() : 2402;
}
void own(const fs::path &path) {
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown(path.c_str(), owner(), owner()), 0) << path;
    }
}

// The owner of what the test made, and someone else, to whom it is a stranger's.
const common::Who &as_owner() {
    static const common::Who who{
        .uid = owner(), .gid = owner(), .groups = {}, .maps_every_id = true};
    return who;
}
const common::Who &someone_else() {
    static const common::Who who{
        .uid = owner() + 1, .gid = owner() + 1, .groups = {}, .maps_every_id = true};
    return who;
}

int asked = 0;
const common::Who &counted() {
    ++asked;
    return common::who_we_are();
}

// A name of ours right in /tmp, which root owns and anyone may add names to
// (mode 1777): a shared sticky folder on every Debian machine.
class InTmp {
  public:
    explicit InTmp(const std::string &what)
        : path_("/tmp/drummet-test-" + std::to_string(::getpid()) + "-" + what) {}
    ~InTmp() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    InTmp(const InTmp &) = delete;
    InTmp &operator=(const InTmp &) = delete;
    [[nodiscard]] const fs::path &path() const { return path_; }

  private:
    fs::path path_;
};

void expect_tmp_is_shared_sticky() {
    struct stat st{};
    ASSERT_EQ(::stat("/tmp", &st), 0);
    ASSERT_EQ(st.st_mode & 07777, 01777U) << "these tests need /tmp as Debian makes it";
    ASSERT_EQ(st.st_uid, 0U) << "these tests need /tmp as Debian makes it";
}

TEST(Walk, ReachesThePipeAtTheNameOrSaysNothingIsThere) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0600), 0);
    const Way way = walk_from(dir.path(), "fifo1");
    ASSERT_EQ(way.end, Walk::reached);
    EXPECT_FALSE(way.linked);
    EXPECT_FALSE(way.folder.valid()) << "the working folder itself";
    EXPECT_EQ(way.node_is.identity, identity_of(dir / "fifo1"));
    EXPECT_STREQ(way.name.data(), "fifo1");
    EXPECT_EQ(walk_from(dir.path(), "fifo2").end, Walk::absent);
}

// Links relative and absolute, chains of them, links to folders in the middle
// of a target, "." and ".." on the way, and a name that only in /proc would
// be a pipe's without a name: the walk ends on the pipe itself, in the folder
// that holds its name.
TEST(Walk, FollowsEveryLinkToThePipeItselfAndItsFolder) {
    TempDir top;
    const fs::path working = top / "working", there = top / "there", deeper = there / "deeper";
    fs::create_directories(working);
    fs::create_directories(deeper);
    ASSERT_EQ(::mkfifo((deeper / "pipe").c_str(), 0600), 0);
    fs::create_symlink(deeper, top / "shortcut");
    fs::create_symlink("pipe", deeper / "again");
    fs::create_symlink(deeper / "pipe", working / "pipe:[1]");
    struct Case {
        const char *what;
        std::string target;
    };
    for (const Case &c : std::vector<Case>{
             {"relative", "../there/deeper/pipe"},
             {"absolute", (deeper / "pipe").string()},
             {"through a link to a folder", "../shortcut/pipe"},
             {"to a link beside the pipe", "../there/deeper/again"},
             {"with . and .. and //", ".././there//deeper/../deeper/./pipe"},
             {"named as /proc names a pipe without a name", "pipe:[1]"},
         }) {
        SCOPED_TRACE(c.what);
        fs::remove(working / "fifo1");
        fs::create_symlink(c.target, working / "fifo1");
        const Way way = walk_from(working, "fifo1");
        ASSERT_EQ(way.end, Walk::reached) << way.error;
        EXPECT_TRUE(way.linked);
        EXPECT_EQ(way.node_is.identity, identity_of(deeper / "pipe"));
        ASSERT_TRUE(way.folder.valid());
        EXPECT_EQ(way.folder_is.identity, identity_of(deeper));
        EXPECT_STREQ(way.name.data(), "pipe");
    }
}

TEST(Walk, StopsWhereTheWayCannotBeFollowed) {
    TempDir dir;
    {
        const Descriptor file{::open((dir / "file").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)};
    }
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink("link-loop", dir / "loop");
    fs::create_symlink("pipe", dir / "to-pipe");
    // Links that each lead through the next, what follows each left to walk.
    std::string filler;
    for (int step = 0; step < 19; ++step)
        filler += std::string(200, 'x') + "/";
    fs::create_symlink("b/" + filler, dir / "a");
    fs::create_symlink("c/" + filler, dir / "b");
    struct Case {
        std::string name, target;
        Walk end;
        Refusal refusal;
        int error;
    };
    for (const Case &c : std::vector<Case>{
             {"dangling", "nowhere", Walk::refused, Refusal::dangling_link, 0},
             {"dangling deeper", "folder/nowhere", Walk::refused, Refusal::dangling_link, 0},
             {"loop", "loop", Walk::failed, Refusal::none, ELOOP},
             {"file as a folder", "file/pipe", Walk::failed, Refusal::none, ENOTDIR},
             {"pipe as a folder", "pipe/", Walk::failed, Refusal::none, ENOTDIR},
             {"a link to a pipe as a folder", "to-pipe/", Walk::failed, Refusal::none, ENOTDIR},
             {"nested past twice PATH_MAX", "a/" + filler, Walk::failed, Refusal::none,
              ENAMETOOLONG},
             {"to a folder", "folder", Walk::reached, Refusal::none, 0},
             {"to the root", "/", Walk::reached, Refusal::none, 0}}) {
        SCOPED_TRACE(c.name);
        fs::create_symlink(c.target, dir / ("link-" + c.name));
        const Way way = walk_from(dir.path(), ("link-" + c.name).c_str());
        EXPECT_EQ(way.end, c.end);
        EXPECT_EQ(way.refusal, c.refusal);
        EXPECT_EQ(way.error, c.error);
        if (c.end == Walk::reached) {
            EXPECT_TRUE(S_ISDIR(way.node_is.mode)); // for the caller to refuse
        }
    }
}

// Anyone may swap what lies in a folder writable by all and not sticky: a
// link there, a folder there, or the pipe, wherever the way passes.
TEST(Walk, RefusesTheWayThroughAFolderAnyoneMayChange) {
    TempDir top;
    const fs::path working = top / "private", open = top / "open", theirs = top / "theirs";
    for (const fs::path &folder : {working, open, theirs, open / "sub"})
        fs::create_directories(folder);
    fs::permissions(open, fs::perms(0777));
    ASSERT_EQ(::mkfifo((theirs / "fifo1").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((open / "sub" / "fifo1").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((open / "fifo2").c_str(), 0600), 0);
    fs::create_symlink(theirs / "fifo1", open / "fifo1");
    struct Case {
        const char *what;
        fs::path target;
        Walk end;
    };
    for (const Case &c :
         {Case{"a link there", open / "fifo1", Walk::open_to_all},
          Case{"a folder there", open / "sub" / "fifo1", Walk::open_to_all},
          Case{"the pipe there", open / "fifo2", Walk::open_to_all},
          // The folder that holds it is no name anyone there can change.
          Case{"into it and out again", "../open/../theirs/fifo1", Walk::reached}}) {
        SCOPED_TRACE(c.what);
        fs::remove(working / "fifo1");
        fs::create_symlink(c.target, working / "fifo1");
        const Way way = walk_from(working, "fifo1");
        EXPECT_EQ(way.end, c.end);
        ASSERT_TRUE(way.folder.valid());
        EXPECT_EQ(way.folder_is.identity, identity_of(c.end == Walk::reached ? theirs : open));
    }
}

// In a shared sticky folder each name is its owner's: a stranger's link or
// folder there leads wherever the stranger likes, and a stranger's pipe there
// is theirs to listen on, wherever on the way it lies. Ours, or one this run
// made, is followed.
TEST(Walk, RefusesAStrangersNodeAnywhereOnTheWayThroughASharedStickyFolder) {
    expect_tmp_is_shared_sticky();
    TempDir working, theirs;
    ASSERT_EQ(::mkfifo((theirs / "fifo1").c_str(), 0600), 0);
    const InTmp talk("talk"), folder("folder"), pipe("pipe");
    fs::create_symlink(theirs.path(), talk.path());
    fs::create_directory(folder.path());
    ASSERT_EQ(::mkfifo((folder.path() / "fifo1").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(pipe.path().c_str(), 0600), 0);
    for (const fs::path &made : {talk.path(), folder.path(), pipe.path()})
        own(made);
    struct Case {
        const char *what;
        fs::path target;
    };
    for (const Case &c : {Case{"a link in the middle of the target", talk.path() / "fifo1"},
                          Case{"a folder in the middle of the target", folder.path() / "fifo1"},
                          Case{"the pipe at the end of the target", pipe.path()}}) {
        SCOPED_TRACE(c.what);
        fs::remove(working / "fifo1");
        fs::create_symlink(c.target, working / "fifo1");
        const Way way = walk_from(working.path(), "fifo1", Made::before, someone_else);
        EXPECT_EQ(way.end, Walk::refused);
        EXPECT_EQ(way.refusal, Refusal::planted);
        EXPECT_EQ(walk_from(working.path(), "fifo1", Made::before, as_owner).end, Walk::reached)
            << "the owner's is followed";
    }
    const std::string name = pipe.path().filename().string();
    EXPECT_EQ(walk_from("/tmp", name.c_str(), Made::before, someone_else).refusal,
              Refusal::planted);
    EXPECT_EQ(walk_from("/tmp", name.c_str(), Made::by_us, someone_else).end, Walk::reached);
}

// Who we are costs system calls to find out: a run that passes no shared
// sticky folder does without.
TEST(Walk, AsksWhoWeAreOnlyWhereAnOwnerCounts) {
    expect_tmp_is_shared_sticky();
    TempDir top; // in /tmp, which an absolute link would pass through
    fs::create_directories(top / "working");
    fs::create_directories(top / "there");
    ASSERT_EQ(::mkfifo((top / "there" / "fifo1").c_str(), 0600), 0);
    fs::create_symlink("../there/fifo1", top / "working" / "fifo1");
    asked = 0;
    EXPECT_EQ(walk_from(top / "working", "fifo1", Made::before, counted).end, Walk::reached);
    EXPECT_EQ(asked, 0);
    const InTmp pipe("asked");
    ASSERT_EQ(::mkfifo(pipe.path().c_str(), 0600), 0);
    const std::string name = pipe.path().filename().string();
    EXPECT_NE(walk_from("/tmp", name.c_str(), Made::before, counted).end, Walk::failed);
    EXPECT_GT(asked, 0);
}

// The walk holds each folder on the way, so a pipe whose path is longer than
// PATH_MAX is reached as any other.
TEST(Walk, ReachesAPipeWhosePathIsLongerThanPathMax) {
    TempDir top, working;
    std::string middle, below;
    Descriptor folder{::open(top.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    for (int level = 0; level < 24; ++level) {
        const std::string step(200, static_cast<char>('a' + level));
        ASSERT_EQ(::mkdirat(folder.get(), step.c_str(), 0700), 0);
        folder = Descriptor{::openat(folder.get(), step.c_str(), O_RDONLY | O_DIRECTORY)};
        (level < 12 ? middle : below) += step + "/";
    }
    ASSERT_EQ(::mkfifoat(folder.get(), "fifo1", 0600), 0);
    const Descriptor at_top{::open(top.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    ASSERT_EQ(::symlinkat(below.c_str(), at_top.get(), (middle + "deeper").c_str()), 0);
    fs::create_symlink(top / (middle + "deeper") / "fifo1", working / "fifo1");
    const Way way = walk_from(working.path(), "fifo1");
    EXPECT_EQ(way.end, Walk::reached) << way.error;
    common::Node bottom;
    ASSERT_TRUE(common::inspect(folder.get(), bottom));
    EXPECT_EQ(way.folder_is.identity, bottom.identity);
    // Too deep for the temporary folder's own clean-up.
    ASSERT_EQ(::system(("rm -rf '" + top.path().string() + "/'*").c_str()), 0);
}

} // namespace
