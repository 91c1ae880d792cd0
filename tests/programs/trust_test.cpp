// SPDX-License-Identifier: GPL-2.0-only
// What drummet and drummet-client both check before they trust a node at fifo1
// or fifo2, where only whole programs show it: as several users, in user and
// mount namespaces, with nodes swapped while they wait, and folders locked.
// The rules themselves are tests/unit's. These act as other users: they need
// root, which CI has.

#include "support.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The user, a stranger, and the group they share.
constexpr uid_t user = 2401, stranger = 2402;
constexpr gid_t team = 2400;
constexpr uid_t nobody = 65534;

// Does what `act` does (0 for success) as `uid` in the team, as someone
// planting a node would.
void as_another(uid_t uid, const std::function<int()> &act) {
    const pid_t child = ::fork();
    if (child == 0) {
        become(uid, team, 0);
        ::_exit(act() == 0 ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void make_fifo_as(uid_t uid, const fs::path &path) {
    as_another(uid, [&] { return ::mkfifo(path.c_str(), 0777); });
}

SpawnOptions as(uid_t uid, mode_t umask_value = 077) {
    SpawnOptions options;
    options.in_child = [uid, umask_value] {
        become(uid, uid == nobody ? nobody : team, umask_value);
    };
    return options;
}

// A folder of `mode` owned by `owner` and the team, which everyone may enter.
void make_folder(const fs::path &path, int mode, uid_t owner) {
    fs::create_directories(path);
    ASSERT_EQ(::chown(path.c_str(), owner, team), 0);
    ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
}

// Whether a child can do what `attempt` does (it returns what failed, or
// nothing), tried in a throwaway child so that a test says at once why not,
// instead of waiting on pipes nobody opens.
std::string why_a_child_cannot(std::string (*attempt)()) {
    std::array<int, 2> report{};
    if (::pipe(report.data()) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string why = attempt();
        if (!why.empty() && ::write(report[1], why.data(), why.size()) < 0)
            ::_exit(2);
        ::_exit(why.empty() ? 0 : 1);
    }
    ::close(report[1]);
    std::string why;
    std::array<char, 256> chunk{};
    for (ssize_t got; (got = ::read(report[0], chunk.data(), chunk.size())) > 0;)
        why.append(chunk.data(), static_cast<std::size_t>(got));
    ::close(report[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return "cannot run a child to try it";
    if (why.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        return "the child trying it failed";
    return why;
}

// What stands at fifo1 or fifo2 and is not a named pipe of that folder is
// refused, in the same words by both programs, and left as it is, before
// anything is waited for: for fifo2 too, so that no partner connects for
// nothing. A link to /proc/self/fd/N leads a program to its own standard
// output or input, a pipe without a name: what it wrote there would reach
// whoever reads that.
TEST(Trust, RefusesWhatIsNotANamedPipeBeforeAnythingWaits) {
    struct Case {
        const char *what;
        std::function<void(const fs::path &)> make;
        std::string_view reason;
    };
    const std::vector<Case> cases = {
        {"regular file", [](const fs::path &p) { std::ofstream(p) << "keep me"; },
         expected::regular_file},
        {"symlink to itself", [](const fs::path &p) { fs::create_symlink(p.filename(), p); },
         expected::link_loop},
        {"pipe without a name",
         [](const fs::path &p) {
             fs::create_symlink(p.filename() == "fifo1" ? "/proc/self/fd/1" : "/proc/self/fd/0", p);
         },
         expected::anonymous_pipe},
    };
    for (const Program &program : both_programs()) {
        for (const char *name : {"fifo1", "fifo2"}) {
            for (const Case &c : cases) {
                SCOPED_TRACE(program.name + ", " + name + ": " + c.what);
                TempDir dir;
                c.make(dir / name);
                Process process({program.path}, dir.path());
                process.write_stdin("secret`");
                process.close_stdin();
                const Outcome outcome = process.finish();
                EXPECT_EQ(outcome.out, "");
                EXPECT_EQ(outcome.err,
                          line_of(program, std::string(name) + ": " + std::string(c.reason)));
                EXPECT_EQ(outcome.status, program.failure_status);
                EXPECT_EQ(fs::exists(fs::symlink_status(dir / "fifo1")),
                          std::string_view(name) == "fifo1")
                    << "fifo1 was made before fifo2 was judged";
                std::error_code loop;
                if (fs::is_regular_file(dir / name, loop)) {
                    std::ifstream in(dir / name);
                    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
                }
            }
        }
    }
}

// A link must not make one pipe of two, nor a second name of a pipe a way in
// from a folder that is not locked: both are refused before anything waits.
TEST(Trust, RefusesFifo2ThatIsFifo1UnderAnotherName) {
    for (const Program &program : both_programs()) {
        for (const bool hard : {false, true}) {
            SCOPED_TRACE(program.name + (hard ? ", hard link" : ", symbolic link"));
            TempDir dir;
            ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0777), 0);
            if (hard)
                fs::create_hard_link(dir / "fifo1", dir / "fifo2");
            else
                fs::create_symlink("fifo1", dir / "fifo2");
            const Outcome outcome = Process({program.path}, dir.path()).finish();
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err, line_of(program, std::string("fifo2: ") +
                                                        std::string(hard ? expected::hard_link
                                                                         : expected::same_pipe)));
            EXPECT_EQ(outcome.status, program.failure_status);
        }
    }
}

constexpr uid_t namespaced = 2403;

// Becomes `namespaced`, root in a user namespace of its own, as `unshare -U -r`
// makes one (rootless containers, sandboxes that share the host's /tmp).
// Returns what failed, or nothing.
std::string enter_user_namespace() {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(namespaced, namespaced, namespaced) != 0 ||
        ::setresuid(namespaced, namespaced, namespaced) != 0)
        return std::string("becoming another user: ") + std::strerror(errno);
    // Having changed its user, the process is no longer dumpable, and its own
    // files in /proc belong to root.
    if (::prctl(PR_SET_DUMPABLE, 1) != 0 || ::unshare(CLONE_NEWUSER) != 0)
        return std::string("unshare(CLONE_NEWUSER): ") + std::strerror(errno) +
               " (in a chroot? a root entered with pivot_root allows it)";
    std::array<char, 32> map{};
    std::snprintf(map.data(), map.size(), "0 %u 1", static_cast<unsigned>(namespaced));
    using Line = std::pair<const char *, const char *>;
    for (const auto &[file, line] :
         {Line{"/proc/self/setgroups", "deny"}, Line{"/proc/self/uid_map", map.data()},
          Line{"/proc/self/gid_map", map.data()}}) {
        const Fd out{::open(file, O_WRONLY | O_CLOEXEC)};
        if (!out.valid() || !write_once(out.get(), line))
            return std::string("writing ") + file + ": " + std::strerror(errno);
    }
    return {};
}

// The same as container engines set one up for a user, with the maps written
// from outside as newuidmap writes them: `namespaced` is root there, and the
// subordinate ids 100000 on are 1 on, so the overflow uid is a user there too.
// The child waits for the job and ends as it ends.
void enter_user_namespace_with_subordinate_ids() {
    std::array<int, 2> entered{}, mapped{};
    if (::pipe2(entered.data(), O_CLOEXEC) != 0 || ::pipe2(mapped.data(), O_CLOEXEC) != 0)
        ::_exit(125);
    const pid_t job = ::fork();
    char byte = 0;
    if (job == 0) { // goes on to run the program
        if (::unshare(CLONE_NEWUSER) != 0 || ::write(entered[1], "u", 1) != 1 ||
            ::read(mapped[0], &byte, 1) != 1 || ::setgroups(0, nullptr) != 0 ||
            ::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0)
            ::_exit(125);
        return;
    }
    std::array<char, 64> map{}, path{};
    std::snprintf(map.data(), map.size(), "0 %u 1\n1 100000 65536\n",
                  static_cast<unsigned>(namespaced));
    bool ok = job > 0 && ::read(entered[0], &byte, 1) == 1;
    for (const char *kind : {"uid_map", "gid_map"}) {
        std::snprintf(path.data(), path.size(), "/proc/%d/%s", static_cast<int>(job), kind);
        const Fd out{::open(path.data(), O_WRONLY | O_CLOEXEC)};
        ok = ok && out.valid() && write_once(out.get(), map.data());
    }
    int status = 0;
    if (!ok || ::write(mapped[1], "m", 1) != 1 || ::waitpid(job, &status, 0) != job)
        ::_exit(125);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// The same as `unshare -U` makes one, with no map at all: every owner shows as
// the overflow uid, this process's own user too.
void enter_unmapped_user_namespace() {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(namespaced, namespaced, namespaced) != 0 ||
        ::setresuid(namespaced, namespaced, namespaced) != 0 || ::prctl(PR_SET_DUMPABLE, 1) != 0 ||
        ::unshare(CLONE_NEWUSER) != 0)
        ::_exit(125);
}

// In a folder such as /tmp anyone can leave a node under any name and listen
// at the other end of a pipe, and so can any member of a sticky team folder:
// a stranger's pipe there, or a stranger's link or folder anywhere on the way
// to one or to the folder -C names, is refused; the owner of the folder, and
// our own user, are trusted.
// Seen from a user namespace, the host's root, who owns such folders, and every
// user the namespace does not map show as one overflow uid, which the
// namespace may map to a user of its own, or which may be our own user where
// it maps nobody: there an owner shown so could be anyone. On the host, where
// every id is mapped, the overflow uid is the user nobody like any other. The
// pipes a program made itself always pass.
TEST(Trust, InASharedStickyFolderTrustsOnlyOurOwnAndTheFolderOwners) {
    ASSERT_TRUE(running_as_root()) << "this test acts as several users: run it as root";
    ASSERT_EQ(why_a_child_cannot(enter_user_namespace), "");
    enum class From { the_host, as_nobody, a_namespace, a_container, an_unmapped_namespace };
    enum class Planted {
        nothing, // the program makes the pipes itself
        fifo1,   // the stranger's, in the folder
        fifo2,
        their_link_midway, // our link to a name beyond the stranger's link there
        their_folder_midway,
        their_link_to_the_folder, // -C through the stranger's link to their folder
        by_the_owner,             // the folder owner's pipes
        by_our_user,              // made by another process of our own user
    };
    struct Case {
        int mode;
        From from;
        Planted planted;
        bool trusted;
    };
    SpawnOptions in_namespace, in_container, unmapped;
    in_namespace.in_child = [] {
        if (!enter_user_namespace().empty())
            ::_exit(125);
    };
    in_container.in_child = enter_user_namespace_with_subordinate_ids;
    unmapped.in_child = enter_unmapped_user_namespace;
    const std::vector<Case> cases = {
        {01777, From::the_host, Planted::fifo1, false},
        {03770, From::the_host, Planted::fifo2, false},
        {03770, From::the_host, Planted::their_link_midway, false},
        {01777, From::the_host, Planted::their_folder_midway, false},
        {03770, From::the_host, Planted::their_link_to_the_folder, false},
        {01777, From::the_host, Planted::by_the_owner, true},
        {01777, From::as_nobody, Planted::by_our_user, true},
        {01777, From::as_nobody, Planted::fifo1, false},
        {01777, From::a_namespace, Planted::fifo1, false},
        {01777, From::a_namespace, Planted::nothing, true},
        {01777, From::a_container, Planted::fifo2, false},
        {01777, From::a_container, Planted::nothing, true},
        {01777, From::an_unmapped_namespace, Planted::fifo1, false},
        {01777, From::an_unmapped_namespace, Planted::nothing, true},
    };
    for (const Program &program : both_programs()) {
        for (const Case &c : cases) {
            SCOPED_TRACE(program.name + ", folder " + std::to_string(c.mode) + ", from " +
                         std::to_string(static_cast<int>(c.from)) + ", planted " +
                         std::to_string(static_cast<int>(c.planted)));
            TempDir top;
            const fs::path shared = top / "shared", own = top / "own", theirs = top / "theirs";
            fs::permissions(top.path(), fs::perms(0755));
            const uid_t we = c.from == From::as_nobody ? nobody : user;
            make_folder(shared, c.mode, c.planted == Planted::by_the_owner ? stranger : 0);
            make_folder(own, 0700,
                        c.from == From::the_host || c.from == From::as_nobody ? we : namespaced);
            make_folder(theirs, 0755, stranger);
            fs::path where = shared;
            switch (c.planted) {
            case Planted::nothing:
                break;
            case Planted::fifo1:
            case Planted::fifo2:
                make_fifo_as(stranger, shared / (c.planted == Planted::fifo1 ? "fifo1" : "fifo2"));
                break;
            case Planted::their_link_midway:
            case Planted::their_folder_midway: {
                const fs::path way =
                    c.planted == Planted::their_folder_midway ? shared / "talk" : theirs;
                if (c.planted == Planted::their_folder_midway)
                    make_folder(way, 0755, stranger);
                make_fifo_as(stranger, way / "fifo1");
                if (c.planted == Planted::their_link_midway)
                    as_another(stranger,
                               [&] { return ::symlink(way.c_str(), (shared / "talk").c_str()); });
                fs::create_symlink(shared / "talk" / "fifo1", own / "fifo1");
                ASSERT_EQ(::lchown((own / "fifo1").c_str(), we, team), 0);
                where = own;
                break;
            }
            case Planted::their_link_to_the_folder:
                make_fifo_as(stranger, theirs / "fifo1");
                make_fifo_as(stranger, theirs / "fifo2");
                as_another(stranger,
                           [&] { return ::symlink(theirs.c_str(), (shared / "talk").c_str()); });
                break;
            case Planted::by_the_owner:
                make_fifo_as(stranger, shared / "fifo1");
                make_fifo_as(stranger, shared / "fifo2");
                break;
            case Planted::by_our_user: {
                TempDir other;
                const pid_t child = ::fork();
                if (child == 0) {
                    become(we, nobody, 0);
                    ::_exit(::mkfifo((shared / "fifo1").c_str(), 0666) == 0 &&
                                    ::mkfifo((shared / "fifo2").c_str(), 0666) == 0
                                ? 0
                                : 1);
                }
                int status = -1;
                ::waitpid(child, &status, 0);
                ASSERT_EQ(status, 0);
                break;
            }
            }
            const SpawnOptions options = c.from == From::a_namespace             ? in_namespace
                                         : c.from == From::a_container           ? in_container
                                         : c.from == From::an_unmapped_namespace ? unmapped
                                                                                 : as(we);
            if (c.trusted) {
                const Outcome outcome = converse(program, where, options);
                EXPECT_EQ(outcome.err, "");
                EXPECT_EQ(outcome.status, 0);
                continue;
            }
            const bool by_option = c.planted == Planted::their_link_to_the_folder;
            const std::string refused = by_option                     ? (shared / "talk").string()
                                        : c.planted == Planted::fifo2 ? "fifo2"
                                                                      : "fifo1";
            const Outcome outcome =
                by_option ? Process({program.path, "-C", refused}, "/", options).finish()
                          : Process({program.path}, where, options).finish();
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err,
                      line_of(program, refused + ": " + std::string(expected::planted)));
            EXPECT_EQ(outcome.status, program.failure_status);
        }
    }
}

// Where anyone may write and nothing is sticky, anyone may swap what is there
// at any moment: the working folder is refused, with its name as one line
// whatever bytes it holds, and so is a link there, or a folder, on the way to
// a pipe or to the folder -C names, wherever the way starts.
TEST(Trust, RefusesEveryWayThroughAFolderAnyoneMayWriteToThatIsNotSticky) {
    for (const Program &program : both_programs()) {
        SCOPED_TRACE(program.name);
        TempDir top;
        const std::string name = "e\033[2K\rdrummet: all is well\nz";
        const fs::path open = top / name;
        fs::create_directories(open);
        fs::permissions(open, fs::perms(0777));
        const std::string path = fs::canonical(top.path()).string();
        Outcome outcome = Process({program.path}, open).finish();
        EXPECT_EQ(outcome.err,
                  line_of(program, expected::open_to_all("\"$(printf '" + path +
                                                         "/e\\033[2K\\015drummet: all is "
                                                         "well\\012z')\"")));
        EXPECT_EQ(outcome.status, program.failure_status);
        EXPECT_TRUE(fs::is_empty(open));

        TempDir own, ww, theirs;
        fs::permissions(ww.path(), fs::perms(0777));
        for (const char *pipe : {"fifo1", "fifo2"}) {
            ASSERT_EQ(::mkfifo((theirs / pipe).c_str(), 0600), 0);
            fs::create_symlink(theirs / pipe, ww / pipe);
            fs::create_symlink(ww / pipe, own / pipe);
        }
        outcome = Process({program.path}, own.path()).finish();
        EXPECT_EQ(outcome.err,
                  line_of(program, "fifo2: " + expected::leads_into_open_to_all(
                                                   fs::canonical(ww.path()).string())));
        EXPECT_EQ(outcome.status, program.failure_status);

        // A folder of our own there may be swapped before a client is
        // started by its name.
        fs::create_directory(ww / "mine");
        const std::string mine = (ww / "mine").string();
        outcome = Process({program.path, "-C", mine}, "/").finish();
        EXPECT_EQ(outcome.err, line_of(program, mine + ": " +
                                                    expected::leads_into_open_to_all(
                                                        fs::canonical(ww.path()).string())));
        EXPECT_EQ(outcome.status, program.failure_status);
    }
}

// An access ACL that denies `uid` everything, as `setfacl -m u:UID:---` makes
// it, on a file whose mode lets everyone read and write.
void deny_by_acl(const fs::path &path, uid_t uid) {
    struct Entry {
        std::uint16_t tag, permissions;
        std::uint32_t id;
    };
    constexpr std::uint32_t no_id = ~0U;
    const struct {
        std::uint32_t version = 2;
        std::array<Entry, 5> entries;
    } acl{.entries = {Entry{0x01, 6, no_id}, Entry{0x02, 0, uid}, Entry{0x04, 6, no_id},
                      Entry{0x10, 6, no_id},
                      Entry{0x20, 6, no_id}}}; // owner, user, group, mask, other
    ASSERT_EQ(::setxattr(path.c_str(), "system.posix_acl_access", &acl, sizeof acl, 0), 0)
        << std::strerror(errno);
}

// What refuses a pipe is named: a folder we may not write to, the pipe's mode
// (which chmod mends), or an ACL or a security module (which it does not).
TEST(Trust, ReportsAPipeItMayNotCreateOrOpen) {
    ASSERT_TRUE(running_as_root()) << "this test acts as another user: run it as root";
    enum class Denied { create, by_mode, by_acl };
    for (const Program &program : both_programs()) {
        for (const Denied denied : {Denied::create, Denied::by_mode, Denied::by_acl}) {
            SCOPED_TRACE(program.name + ", case " + std::to_string(static_cast<int>(denied)));
            TempDir dir;
            fs::permissions(dir.path(), fs::perms(0755));
            if (denied == Denied::by_mode) { // as a run of the user under umask 0777 leaves it
                ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0), 0);
                ASSERT_EQ(::chown((dir / "fifo1").c_str(), user, team), 0);
            } else if (denied == Denied::by_acl) {
                ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0), 0);
                fs::permissions(dir / "fifo1", fs::perms(0666));
                deny_by_acl(dir / "fifo1", user);
            }
            const Outcome outcome = Process({program.path}, dir.path(), as(user)).finish();
            EXPECT_EQ(outcome.err,
                      program.name + ": fifo1: " +
                          (denied == Denied::create
                               ? "cannot be made in " + fs::canonical(dir.path()).string() +
                                     ": Permission denied; use a folder of your own (mktemp -d)\n"
                               : "Permission denied") +
                          (denied == Denied::create    ? ""
                           : denied == Denied::by_mode ? " by its mode 0000 (owner uid 2401): "
                                                         "remove it to have it made anew, or chmod "
                                                         "it\n"
                                                       : " by an ACL or a security module (its "
                                                         "mode 0666 allows it)\n"));
            EXPECT_EQ(outcome.status, program.failure_status);
        }
    }
}

// Only a folder that is gone is said to be; others that take no pipe (/proc)
// give the reason the system gives.
TEST(Trust, SaysTheFolderWasRemovedOnlyWhenItWas) {
    for (const Program &program : both_programs()) {
        SCOPED_TRACE(program.name);
        TempDir dir;
        SpawnOptions options;
        options.in_child = [path = dir.path()] { ::rmdir(path.c_str()); };
        Outcome outcome = Process({program.path}, dir.path(), options).finish();
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err,
                  program.name + ": fifo1: cannot be made: the current folder has been removed\n");
        EXPECT_EQ(outcome.status, program.failure_status);
        for (const std::string folder : {"/proc", "/proc/sys"}) {
            outcome = Process({program.path, "-C", folder}, "/").finish();
            EXPECT_EQ(outcome.err, program.name + ": fifo1: cannot be made in " + folder +
                                       ": No such file or directory; use a folder of your own "
                                       "(mktemp -d)\n")
                << folder;
            EXPECT_EQ(outcome.status, program.failure_status) << folder;
        }
    }
}

// No /proc/self/fd, as in a minimal chroot without /proc. Only that folder is
// hidden: the sanitizers need the rest of /proc. Returns what failed, or
// nothing.
std::string hide_own_descriptors_in_proc() {
    std::array<char, 64> own{};
    std::snprintf(own.data(), own.size(), "/proc/%d/fd", static_cast<int>(::getpid()));
    if (::unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    // Fails with EINVAL where / is no mount point, as in a plain chroot.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + std::strerror(errno) +
               " (is / a mount point? in a chroot, bind it onto itself)";
    if (::mount("none", own.data(), "tmpfs", 0, nullptr) != 0)
        return std::string("a tmpfs over ") + own.data() + ": " + std::strerror(errno);
    return {};
}

// For SpawnOptions::in_child: a child that cannot hide its descriptors stops.
void hide_own_descriptors_in_proc_or_exit() {
    if (!hide_own_descriptors_in_proc().empty())
        ::_exit(125);
}

// Without /proc a program finds the folder of a linked pipe all the same, and
// drummet locks it: the walk holds it.
TEST(Trust, WorksWithoutProc) {
    ASSERT_TRUE(running_as_root()) << "this test hides /proc in a mount namespace: run it as root";
    ASSERT_EQ(why_a_child_cannot(hide_own_descriptors_in_proc), "");
    for (const Program &program : both_programs()) {
        for (const bool linked : {false, true}) {
            SCOPED_TRACE(program.name + (linked ? ", links into another folder" : ""));
            TempDir dir, there;
            if (linked) {
                for (const char *name : {"fifo1", "fifo2"}) {
                    ASSERT_EQ(::mkfifo((there / name).c_str(), 0600), 0);
                    fs::create_symlink(there / name, dir / name);
                }
            }
            SpawnOptions options;
            options.in_child = hide_own_descriptors_in_proc_or_exit;
            const Outcome outcome = converse(program, dir.path(), options);
            EXPECT_EQ(outcome.err, "");
            EXPECT_EQ(outcome.status, 0);
        }
    }
}

// Right when drummet enters the open of fifo1 for writing, after all its
// checks, `meanwhile` runs.
bool interrupt_before_the_open(pid_t pid, const std::function<void()> &meanwhile) {
    return interrupt_at_call(
        pid,
        [](long call, const unsigned long long *args) {
            const auto flags = static_cast<int>(args[2]);
            return call == SYS_openat && (flags & O_ACCMODE) == O_WRONLY && (flags & O_PATH) == 0;
        },
        meanwhile);
}

// Checking a path and then opening it by name leaves a moment in which another
// node can take the name. A device opened for writing can act at once, so the
// node that was checked must be the one opened, and nothing else ever. Without
// /proc the node is opened by name, and what was opened is checked: a swapped
// node is refused then (though it has been opened).
TEST(Trust, NeverTalksThroughANodeSwappedInAfterTheCheck) {
    ASSERT_TRUE(running_as_root()) << "this test hides /proc in a mount namespace: run it as root";
    ASSERT_EQ(why_a_child_cannot(hide_own_descriptors_in_proc), "");
    for (const bool with_proc : {true, false}) {
        SCOPED_TRACE(with_proc ? "with /proc" : "without /proc");
        TempDir dir;
        ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0777), 0);
        struct stat checked{};
        ASSERT_EQ(::stat((dir / "fifo1").c_str(), &checked), 0);
        {
            std::ofstream(dir / "decoy") << "keep me";
        }
        Fd watch{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
        ASSERT_GE(::inotify_add_watch(watch.get(), (dir / "decoy").c_str(), IN_OPEN), 0);

        SpawnOptions options;
        options.in_child = [with_proc] {
            if (!with_proc)
                hide_own_descriptors_in_proc_or_exit();
            stop_for_tracing();
        };
        Process drummet({drummet_path()}, dir.path(), options);
        ASSERT_TRUE(interrupt_before_the_open(drummet.pid(),
                                              [&] { fs::rename(dir / "decoy", dir / "fifo1"); }));
        if (!with_proc) {
            const Outcome outcome = drummet.finish();
            EXPECT_EQ(outcome.err, "drummet: fifo1: was replaced while it was being opened\n");
            EXPECT_EQ(outcome.status, 255);
        } else {
            // drummet now waits for a reader of the FIFO it checked, which has
            // lost its name: reach it through drummet's own descriptors.
            Fd reader;
            ASSERT_TRUE(eventually([&] {
                const auto held = descriptor_of(drummet.pid(), checked);
                if (held)
                    reader = Fd{::open(held->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
                return reader.valid() || !drummet.running();
            }));
            ASSERT_TRUE(reader.valid()) << drummet.finish().err;
            EXPECT_TRUE(eventually([&] { return fs::exists(dir / "fifo2"); }))
                << "drummet did not go on with the FIFO it checked";
            std::array<char, 4096> events{};
            EXPECT_LT(::read(watch.get(), events.data(), events.size()), 0)
                << "the decoy was opened";
        }
        std::ifstream in(dir / "fifo1");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
    }
}

// ---------------------------------------------------------------------------
// One drummet a pipe, whatever names lead to it.

// A second drummet in `held` is refused, since `first` holds its lock, and
// `first` then sends its message and gets the reply through `working`'s pipes.
void expect_held_while_it_goes_on(Process &first, const fs::path &held, const fs::path &working,
                                  const Fd &message) {
    const Outcome second = Process({drummet_path()}, held).finish();
    EXPECT_EQ(second.err, "drummet: " + expected::locked(fs::canonical(held).string()) + "\n");
    EXPECT_EQ(second.status, 255);
    Fd reply = open_writer(working / "fifo2");
    first.write_stdin("mine`");
    first.close_stdin();
    EXPECT_EQ(read_once(message.get()), "mine");
    EXPECT_TRUE(write_once(reply.get(), "ok"));
    reply.close();
    EXPECT_EQ(first.finish().status, 0);
}

// A link to a pipe of drummet's own folder, by any way (its full path here),
// leads to a folder it holds the lock of already.
TEST(Trust, ALinkBackIntoItsOwnFolderNeedsNoSecondLock) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_symlink(dir / "pipe", dir / "fifo1");
    const Outcome outcome = converse(both_programs().front(), dir.path());
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

// Whatever names lead to a pipe, two drummets never wait on it: the folder of
// its one name is locked too, fifo2's before fifo1 is waited on (a client that
// connected for nothing would answer the other drummet), and a pipe mounted
// over a name is refused.
TEST(Trust, PipesLinkedFromAnotherFolderShareItsLock) {
    using Names = std::vector<std::string>;
    for (const Names &linked : {Names{"fifo1"}, Names{"fifo2"}, Names{"fifo1", "fifo2"}}) {
        SCOPED_TRACE(linked.back() + (linked.size() > 1 ? " and fifo1" : ""));
        TempDir a, b;
        ASSERT_EQ(::mkfifo((a / "fifo1").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo((a / "fifo2").c_str(), 0600), 0);
        for (const std::string &name : linked)
            fs::create_symlink(a / name, b / name);
        // Alone, it goes through the links, and its locks do not stand in its way.
        EXPECT_EQ(converse({"drummet", drummet_path(), 255}, b.path(), {}).status, 0);

        Process first({drummet_path()}, a.path());
        ASSERT_TRUE(wait_until_open(first.pid(), a.path(), O_RDONLY)); // its lock is taken
        const Outcome refused = Process({drummet_path()}, b.path()).finish();
        EXPECT_EQ(refused.err, "drummet: " + linked.back() + ": " +
                                   expected::leads_into_locked(fs::canonical(a.path()).string()) +
                                   "\n");
        EXPECT_EQ(refused.status, 255);
        first.close_stdin();
    }

    ASSERT_TRUE(running_as_root()) << "this test mounts: run it as root";
    TempDir a, b;
    ASSERT_EQ(::mkfifo((a / "fifo1").c_str(), 0600), 0);
    {
        std::ofstream(b / "fifo1") << "";
    }
    SpawnOptions options;
    options.in_child = [from = a / "fifo1", to = b / "fifo1"] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
            ::_exit(125);
    };
    for (const Program &program : both_programs()) {
        const Outcome bound = Process({program.path}, b.path(), options).finish();
        EXPECT_EQ(bound.err, line_of(program, "fifo1: " + std::string(expected::bind_mount)));
        EXPECT_EQ(bound.status, program.failure_status);
    }
}

// A link into a folder the user may search but not read leads to a pipe whose
// folder drummet cannot lock: it refuses it; the client, which locks nothing,
// goes on.
TEST(Trust, ALinkIntoAFolderThatCannotBeLockedIsRefusedByDrummetAlone) {
    ASSERT_TRUE(running_as_root()) << "this test acts as another user: run it as root";
    TempDir top;
    const fs::path own = top / "own", there = top / "there";
    fs::permissions(top.path(), fs::perms(0755));
    make_folder(own, 0700, user);
    make_folder(there, 0755, 0);
    ASSERT_EQ(::mkfifo((there / "fifo1").c_str(), 0666), 0);
    fs::permissions(there / "fifo1", fs::perms(0666));
    ASSERT_EQ(::chmod(there.c_str(), 0311), 0);
    fs::create_symlink(there / "fifo1", own / "fifo1");
    for (const Program &program : both_programs()) {
        SCOPED_TRACE(program.name);
        if (!is_drummet(program)) {
            EXPECT_EQ(converse(program, own, as(user)).status, 0);
            continue;
        }
        const Outcome outcome = Process({program.path}, own, as(user)).finish();
        EXPECT_EQ(outcome.err, line_of(program, "fifo1: leads into " + there.string() +
                                                    ", which cannot be opened to be locked: "
                                                    "Permission denied"));
        EXPECT_EQ(outcome.status, program.failure_status);
    }
}

// A fifo2 whose link is moved while drummet waits leads it into a folder it
// must lock as well, however many it holds already.
TEST(Trust, LocksTheFolderOfAPipeRelinkedWhileItWaits) {
    TempDir working, x, y, z;
    for (const TempDir *folder : {&x, &y, &z})
        for (const char *name : {"fifo1", "fifo2"}) {
            ASSERT_EQ(::mkfifo((*folder / name).c_str(), 0600), 0);
        }
    fs::create_symlink(y / "fifo1", working / "fifo1");
    fs::create_symlink(x / "fifo2", working / "fifo2");
    Process first({drummet_path()}, working.path());
    // The locks it holds while it waits: its own folder's, and those of the
    // folders its links lead into.
    ASSERT_TRUE(wait_until_open(first.pid(), y.path(), O_RDONLY));
    ASSERT_TRUE(wait_until_open(first.pid(), x.path(), O_RDONLY));
    fs::create_symlink(z / "fifo2", working / "fifo2.new");
    fs::rename(working / "fifo2.new", working / "fifo2");
    Fd message = open_reader(working / "fifo1");
    ASSERT_TRUE(wait_until_open(first.pid(), z.path(), O_RDONLY));
    expect_held_while_it_goes_on(first, z.path(), working.path(), message);
}

// Both pipes lead into one folder, whose lock one of them holds for both:
// when that one is judged anew (fifo2 made anew while drummet waits on it),
// the other keeps the lock, since drummet still uses the pipe there.
TEST(Trust, KeepsTheLockOfAFolderItStillUses) {
    TempDir working, linked;
    for (const char *name : {"fifo1", "fifo2"}) {
        ASSERT_EQ(::mkfifo((linked / name).c_str(), 0600), 0);
        fs::create_symlink(linked / name, working / name);
    }
    Process first({drummet_path()}, working.path());
    Fd message = open_reader(working / "fifo1");
    ASSERT_TRUE(blocked_opening(first.pid(), linked / "fifo2"));
    fs::remove(working / "fifo2");
    ASSERT_EQ(::mkfifo((working / "fifo2").c_str(), 0600), 0);
    ASSERT_TRUE(blocked_opening(first.pid(), working / "fifo2"));
    expect_held_while_it_goes_on(first, linked.path(), working.path(), message);
}

} // namespace
