// SPDX-License-Identifier: GPL-2.0-only
// What drummet and drummet-client both check before they trust a node at fifo1
// or fifo2, driven through each real binary. Some cases act as several users:
// they need root, which CI has.

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
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr uid_t stranger = 1001;
constexpr uid_t user = 65534;

struct Program {
    std::string name;
    std::string path;
    int failure_status;
};

// Another user runs copies: the build tree may be private.
std::vector<Program> both_programs() {
    return {{"drummet", runnable_by_anyone(drummet_path()), 255},
            {"drummet-client", runnable_by_anyone(client_path()), 1}};
}

bool is_drummet(const Program &program) {
    return program.name == "drummet";
}

// The other end of fifo1, which each program opens before it looks at fifo2.
Fd take_other_end_of_fifo1(const Program &program, const fs::path &dir) {
    return is_drummet(program) ? open_reader(dir / "fifo1") : open_writer(dir / "fifo1");
}

// A whole exchange with the test at the other end of both pipes.
Outcome converse(const Program &program, const fs::path &dir, const SpawnOptions &options) {
    Process process({program.path}, dir, options);
    if (is_drummet(program)) {
        ClientEnds client = connect_as_client(dir);
        process.write_stdin("hi`");
        process.close_stdin();
        EXPECT_EQ(read_once(client.message.get()), "hi");
        EXPECT_TRUE(write_once(client.reply.get(), "ok"));
    } else {
        Fd message = open_writer(dir / "fifo1");
        Fd reply = open_reader(dir / "fifo2");
        EXPECT_TRUE(write_once(message.get(), "hi"));
        EXPECT_TRUE(read_to_eof(reply.get()).has_value());
    }
    return process.finish();
}

// Makes a FIFO as another user, as someone planting it would.
void make_fifo_as(uid_t uid, const fs::path &path, gid_t gid = user) {
    const pid_t child = ::fork();
    if (child == 0) {
        become(uid, gid, 0);
        ::_exit(::mkfifo(path.c_str(), 0777) == 0 ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "mkfifo " << path;
}

SpawnOptions as_user(mode_t umask_value = 022) {
    SpawnOptions options;
    options.in_child = [umask_value] { become(user, user, umask_value); };
    return options;
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

// A link to /proc/self/fd/N leads a program to its own standard output or input,
// a pipe without a name: what it wrote there would reach whoever reads that.
TEST(FifoGuard, RefusesAPipeWithoutANameReachedThroughProc) {
    for (const Program &program : both_programs()) {
        for (const char *name : {"fifo1", "fifo2"}) {
            SCOPED_TRACE(program.name + ", " + name);
            TempDir dir;
            const bool first = std::string_view(name) == "fifo1";
            fs::create_symlink(first ? "/proc/self/fd/1" : "/proc/self/fd/0", dir / name);
            Process process({program.path}, dir.path());
            const Fd other_end = first ? Fd{} : take_other_end_of_fifo1(program, dir.path());
            const Outcome outcome = process.finish();
            EXPECT_EQ(outcome.err,
                      program.name + ": " + name + ": is an anonymous pipe, not a named pipe\n");
            EXPECT_EQ(outcome.status, program.failure_status);
        }
    }
}

TEST(FifoGuard, RefusesFifo2ThatIsFifo1UnderAnotherName) {
    for (const Program &program : both_programs()) {
        for (const bool hard : {false, true}) {
            SCOPED_TRACE(program.name + (hard ? ", hard link" : ", symbolic link"));
            TempDir dir;
            ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0777), 0);
            if (hard)
                fs::create_hard_link(dir / "fifo1", dir / "fifo2");
            else
                fs::create_symlink("fifo1", dir / "fifo2");
            Process process({program.path}, dir.path());
            Fd first = take_other_end_of_fifo1(program, dir.path());
            ASSERT_TRUE(first.valid());
            const Outcome outcome = process.finish();
            EXPECT_EQ(outcome.out, "");
            // drummet takes no pipe with a second name, wherever that is, and
            // looks at fifo2 before it waits on fifo1.
            EXPECT_EQ(outcome.err,
                      program.name +
                          (is_drummet(program) && hard
                               ? ": fifo2: has more than one name (a hard link), so another "
                                 "drummet could wait on it from another folder: remove it to "
                                 "have it made anew\n"
                               : ": fifo2: is the same named pipe as fifo1\n"));
            EXPECT_EQ(outcome.status, program.failure_status);
        }
    }
}

constexpr uid_t namespaced = 1002;

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

// In a folder such as /tmp anyone can leave a FIFO under our names and listen
// at the other end, and so can any member of a sticky team folder. The kernel's
// own rule for such folders decides. Seen from a user namespace, the host's
// root, who owns such folders, and every other user the namespace does not map
// show as one overflow uid, which the namespace may map to a user of its own:
// there the folder's owner cannot be told from a stranger, so a pipe that shows
// as theirs is a stranger's too; our own pipes still pass.
TEST(FifoGuard, RefusesAStrangersFifoInASharedStickyFolder) {
    ASSERT_TRUE(running_as_root()) << "this test acts as several users: run it as root";
    ASSERT_EQ(why_a_child_cannot(enter_user_namespace), "");
    enum class Seen { from_the_host, from_a_namespace, from_a_container };
    SpawnOptions from_a_namespace, from_a_container;
    from_a_namespace.in_child = [] {
        if (!enter_user_namespace().empty())
            ::_exit(125);
    };
    from_a_container.in_child = enter_user_namespace_with_subordinate_ids;
    struct Case {
        int mode;
        const char *planted; // nullptr: the program makes the pipes itself
        Seen seen;
    };
    for (const Program &program : both_programs()) {
        for (const Case &c :
             {Case{01777, "fifo1", Seen::from_the_host}, Case{01777, "fifo2", Seen::from_the_host},
              Case{03770, "fifo1", Seen::from_the_host}, Case{03770, "fifo2", Seen::from_the_host},
              Case{01777, "fifo1", Seen::from_a_namespace},
              Case{01777, "fifo2", Seen::from_a_namespace},
              Case{01777, nullptr, Seen::from_a_namespace},
              Case{01777, "fifo1", Seen::from_a_container},
              Case{01777, nullptr, Seen::from_a_container}}) {
            SCOPED_TRACE(program.name + ", folder " + std::to_string(c.mode) + ", planted " +
                         (c.planted != nullptr ? c.planted : "nothing") + ", seen " +
                         std::to_string(static_cast<int>(c.seen)));
            TempDir dir;
            ASSERT_EQ(::chown(dir.path().c_str(), 0, user), 0);
            fs::permissions(dir.path(), static_cast<fs::perms>(c.mode));
            const SpawnOptions options = c.seen == Seen::from_a_namespace   ? from_a_namespace
                                         : c.seen == Seen::from_a_container ? from_a_container
                                                                            : as_user(077);
            if (c.planted == nullptr) {
                const Outcome outcome = converse(program, dir.path(), options);
                EXPECT_EQ(outcome.err, "");
                EXPECT_EQ(outcome.status, 0);
                continue;
            }
            make_fifo_as(stranger, dir / c.planted); // in the folder's group
            Process process({program.path}, dir.path(), options);
            Fd first;
            if (std::string_view(c.planted) == "fifo2")
                first = take_other_end_of_fifo1(program, dir.path());
            const Outcome outcome = process.finish();
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err, program.name + ": " + c.planted +
                                       ": belongs to another user in a shared sticky folder\n");
            EXPECT_EQ(outcome.status, program.failure_status);
        }
    }
}

TEST(FifoGuard, TrustsTheFolderOwnersFifosAndPrivateFoldersSharedByUsers) {
    ASSERT_TRUE(running_as_root()) << "this test acts as several users: run it as root";
    struct Case {
        const char *name;
        fs::perms mode;
        uid_t folder_owner;
    };
    for (const Program &program : both_programs()) {
        for (const Case &c : {Case{"sticky folder of the pipes' owner", fs::perms(01777), stranger},
                              Case{"group folder, not sticky", fs::perms(0770), 0}}) {
            SCOPED_TRACE(program.name + ", " + c.name);
            TempDir dir;
            fs::permissions(dir.path(), c.mode);
            ASSERT_EQ(::chown(dir.path().c_str(), c.folder_owner, user), 0);
            make_fifo_as(stranger, dir / "fifo1");
            make_fifo_as(stranger, dir / "fifo2");
            const Outcome outcome = converse(program, dir.path(), as_user());
            EXPECT_EQ(outcome.err, "");
            EXPECT_EQ(outcome.status, 0);
        }
    }
}

// Where anyone may write and nothing is sticky, anyone may swap the pipes at any
// moment: no check of a pipe can help, so the folder itself is refused. Its
// name shows as one line, whatever bytes it holds.
TEST(FifoGuard, RefusesAFolderAnyoneMayWriteToThatIsNotSticky) {
    for (const Program &program : both_programs()) {
        for (const auto &[name, shown] :
             {std::pair{"", ""}, std::pair{"e\033[2K\rdrummet: all is well\nz",
                                           "/e\\033[2K\\015drummet: all is well\\012z')\""}}) {
            SCOPED_TRACE(program.name + ", " + ::testing::PrintToString(std::string(name)));
            TempDir top;
            const fs::path dir = top / name;
            fs::create_directories(dir);
            fs::permissions(dir, fs::perms(0777));
            const std::string path = fs::canonical(top.path()).string();
            const Outcome outcome = Process({program.path}, dir).finish();
            EXPECT_EQ(outcome.err, program.name + ": " +
                                       (*name ? "\"$(printf '" + path + shown : path) +
                                       ": anyone may swap the pipes in this folder (writable by "
                                       "all, not sticky); use a folder of your own (mktemp -d)\n");
            EXPECT_EQ(outcome.status, program.failure_status);
            EXPECT_TRUE(fs::is_empty(dir)) << program.name;
        }
    }
}

// A closed standard descriptor must hold its number before any pipe is opened;
// without /dev/null to hold it, nothing may be opened at all.
TEST(FifoGuard, ClosedStandardStreamWithoutDevNullStopsBeforeAnyPipe) {
    for (const Program &program : both_programs()) {
        for (const char *stream : {"stdin", "stdout"}) {
            if (is_drummet(program) && std::string_view(stream) == "stdin")
                continue; // drummet refuses it before it parks anything
            SCOPED_TRACE(program.name + ", " + stream);
            TempDir dir;
            SpawnOptions options;
            options.close_stdin = std::string_view(stream) == "stdin";
            options.close_stdout = !options.close_stdin;
            // strace makes every open of /dev/null fail as in a chroot that lacks it.
            Process process({STRACE_PATH, "-qq", "-o", "/dev/null", "-E",
                             "ASAN_OPTIONS=detect_leaks=0", "-P", "/dev/null", "-e", "trace=openat",
                             "-e", "inject=openat:error=ENOENT", program.path},
                            dir.path(), options);
            const Outcome outcome = process.finish();
            EXPECT_EQ(outcome.err, program.name + ": " + stream +
                                       ": closed, and /dev/null cannot take its place: No such "
                                       "file or directory\n");
            EXPECT_EQ(outcome.status, program.failure_status);
            EXPECT_TRUE(fs::is_empty(dir.path())) << "a pipe was created";
        }
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
TEST(FifoGuard, ReportsAPipeItMayNotCreateOrOpen) {
    ASSERT_TRUE(running_as_root()) << "this test acts as another user: run it as root";
    enum class Denied { create, by_mode, by_acl };
    for (const Program &program : both_programs()) {
        for (const Denied denied : {Denied::create, Denied::by_mode, Denied::by_acl}) {
            SCOPED_TRACE(program.name + ", case " + std::to_string(static_cast<int>(denied)));
            TempDir dir;
            fs::permissions(dir.path(), fs::perms(0755));
            if (denied == Denied::by_mode) { // as a run of the user under umask 0777 leaves it
                ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0), 0);
                ASSERT_EQ(::chown((dir / "fifo1").c_str(), user, user), 0);
            } else if (denied == Denied::by_acl) {
                ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0), 0);
                fs::permissions(dir / "fifo1", fs::perms(0666));
                deny_by_acl(dir / "fifo1", user);
            }
            const Outcome outcome = Process({program.path}, dir.path(), as_user()).finish();
            EXPECT_EQ(outcome.err,
                      program.name + ": fifo1: Permission denied" +
                          (denied == Denied::create    ? "\n"
                           : denied == Denied::by_mode ? " by its mode 0000 (owner uid 65534): "
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
TEST(FifoGuard, SaysTheFolderWasRemovedOnlyWhenItWas) {
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
        for (const char *folder : {"/proc", "/proc/sys"}) {
            outcome = is_drummet(program) ? Process({program.path}, folder).finish()
                                          : Process({program.path, "-C", folder}, "/").finish();
            EXPECT_EQ(outcome.err, program.name + ": fifo1: cannot be made in this folder: No "
                                                  "such file or directory\n")
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

TEST(FifoGuard, WorksWithoutProc) {
    ASSERT_TRUE(running_as_root()) << "this test hides /proc in a mount namespace: run it as root";
    ASSERT_EQ(why_a_child_cannot(hide_own_descriptors_in_proc), "");
    for (const Program &program : both_programs()) {
        SCOPED_TRACE(program.name);
        TempDir dir;
        SpawnOptions options;
        options.in_child = hide_own_descriptors_in_proc_or_exit;
        const Outcome outcome = converse(program, dir.path(), options);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

// Follows drummet's system calls and, right when it enters the open of fifo1
// for writing (after all its checks), calls `meanwhile`, then lets it go on
// untraced.
bool interrupt_before_the_open(pid_t pid, const std::function<void()> &meanwhile) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
        return false;
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
             PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    int pass_on = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, pid, nullptr, pass_on) != 0 ||
            ::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
            return false;
        pass_on = 0;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            if (status >> 16 == 0 && WSTOPSIG(status) != SIGSTOP)
                pass_on = WSTOPSIG(status); // a real signal, not a ptrace event
            continue;
        }
        __ptrace_syscall_info info{};
        ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY || info.entry.nr != SYS_openat)
            continue;
        const auto flags = static_cast<int>(info.entry.args[2]);
        if ((flags & O_ACCMODE) == O_WRONLY && (flags & O_PATH) == 0) {
            meanwhile();
            return ::ptrace(PTRACE_DETACH, pid, nullptr, 0) == 0;
        }
    }
}

// Checking a path and then opening it by name leaves a moment in which another
// node can take the name. A device opened for writing can act at once, so the
// node that was checked must be the one opened, and nothing else ever.
TEST(FifoGuard, NeverOpensANodeSwappedInAfterTheCheck) {
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
    options.in_child = [] {
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::raise(SIGSTOP);
    };
    Process drummet({drummet_path()}, dir.path(), options);
    ASSERT_TRUE(interrupt_before_the_open(drummet.pid(),
                                          [&] { fs::rename(dir / "decoy", dir / "fifo1"); }));

    // drummet now waits for a reader of the FIFO it checked, which has lost its
    // name: reach it through drummet's own descriptors.
    Fd reader;
    const auto deadline = Clock::now() + patience;
    while (!reader.valid() && drummet.running() && Clock::now() < deadline) {
        std::error_code ignored;
        for (const auto &fd :
             fs::directory_iterator("/proc/" + std::to_string(drummet.pid()) + "/fd", ignored)) {
            struct stat st{};
            if (::stat(fd.path().c_str(), &st) == 0 && st.st_ino == checked.st_ino &&
                st.st_dev == checked.st_dev)
                reader = Fd{::open(fd.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(reader.valid()) << drummet.finish().err;
    EXPECT_TRUE(wait_for_path(dir / "fifo2")) << "drummet did not go on with the FIFO it checked";

    std::array<char, 4096> events{};
    EXPECT_LT(::read(watch.get(), events.data(), events.size()), 0) << "the decoy was opened";
    std::ifstream in(dir / "fifo1");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
}

// Without /proc the node is opened by name, and what was opened is checked: a
// swapped node is refused then (though, unlike above, it has been opened).
TEST(FifoGuard, WithoutProcASwappedNodeIsRefusedAfterTheOpen) {
    ASSERT_TRUE(running_as_root()) << "this test hides /proc in a mount namespace: run it as root";
    ASSERT_EQ(why_a_child_cannot(hide_own_descriptors_in_proc), "");
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo1").c_str(), 0777), 0);
    {
        std::ofstream(dir / "decoy") << "keep me";
    }
    SpawnOptions options;
    options.in_child = [] {
        hide_own_descriptors_in_proc_or_exit();
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::raise(SIGSTOP);
    };
    Process drummet({drummet_path()}, dir.path(), options);
    ASSERT_TRUE(interrupt_before_the_open(drummet.pid(),
                                          [&] { fs::rename(dir / "decoy", dir / "fifo1"); }));
    const Outcome outcome = drummet.finish();
    EXPECT_EQ(outcome.err, "drummet: fifo1: was replaced while it was being opened\n");
    EXPECT_EQ(outcome.status, 255);
    std::ifstream in(dir / "fifo1");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
}

} // namespace
