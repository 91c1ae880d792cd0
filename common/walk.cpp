// SPDX-License-Identifier: GPL-2.0-only
#include "walk.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace common {

namespace {

// As the kernel allows when it follows links itself.
constexpr int most_links = 40;

// What a link that names no path leads to, such as a descriptor's link in
// /proc/PID/fd to a pipe without a name ("pipe:[1234]"), a socket or an
// anonymous inode: only the kernel can follow it.
bool names_no_path(std::string_view target) {
    if (target.starts_with("anon_inode:"))
        return true;
    const std::size_t colon = target.find(":[");
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (const char c : target.substr(0, colon))
        if ((c < 'a' || c > 'z') && c != '_')
            return false;
    return true;
}

// Only /proc holds links the kernel alone can follow: elsewhere a target
// such as "pipe:[1]" is a name like any other.
bool on_proc(int fd) {
    struct statfs where{};
    return ::fstatfs(fd, &where) == 0 && where.f_type == PROC_SUPER_MAGIC;
}

unsigned long read_number(const char *path, unsigned long otherwise) {
    std::array<char, 16> text{};
    const Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size() - 1) : -1;
    return got > 0 ? std::strtoul(text.data(), nullptr, 10) : otherwise;
}

// Whether the map of `path` (/proc/self/uid_map) maps every id, as the
// initial namespace's "0 0 4294967295" does. Unknown (no /proc) counts as no.
bool maps_every_id(const char *path) {
    std::array<char, 64> text{};
    const Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size() - 1) : -1;
    if (got <= 0)
        return false;
    char *at = text.data();
    const unsigned long inside = std::strtoul(at, &at, 10);
    const unsigned long outside = std::strtoul(at, &at, 10);
    const unsigned long count = std::strtoul(at, &at, 10);
    return inside == 0 && outside == 0 && count == 4294967295UL;
}

// The folder the walk is in: the working folder, or one it holds.
struct Here {
    int fd;
    Node is;
    Descriptor held;

    void enter(Descriptor folder, const Node &folder_is) {
        held = std::move(folder);
        fd = held.get();
        is = folder_is;
    }
};

Way failed(int error) {
    Way way;
    way.error = error;
    return way;
}

Way refused(Refusal refusal) {
    Way way;
    way.end = Walk::refused;
    way.refusal = refusal;
    return way;
}

Way ended(Walk end) {
    Way way;
    way.end = end;
    return way;
}

} // namespace

const Who &who_we_are() {
    static Who who;
    static std::array<gid_t, NGROUPS_MAX> groups; // untouched past those we have
    static bool known = false;
    if (!known) {
        who.uid = ::geteuid();
        who.gid = ::getegid();
        const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
        who.groups = std::span{groups}.first(count > 0 ? static_cast<std::size_t>(count) : 0);
        who.overflow_uid = static_cast<uid_t>(read_number("/proc/sys/kernel/overflowuid", 65534));
        who.overflow_gid = static_cast<gid_t>(read_number("/proc/sys/kernel/overflowgid", 65534));
        who.maps_every_id =
            maps_every_id("/proc/self/uid_map") && maps_every_id("/proc/self/gid_map");
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> caps{};
        if (::syscall(SYS_capget, &header, caps.data()) == 0) {
            who.overrides_modes = (caps[0].effective & (1U << CAP_DAC_OVERRIDE)) != 0;
            who.overrides_reading = (caps[0].effective & (1U << CAP_DAC_READ_SEARCH)) != 0;
        } else {
            who.overrides_modes = who.overrides_reading = who.uid == 0;
        }
        known = true;
    }
    return who;
}

Way walk(int working, const Node &working_is, const char *name, Made made, const Who &(*who)()) {
    if (who == nullptr)
        who = who_we_are;
    // What is left to walk: the name, and where links lead, their targets
    // with what followed them. Written before they are read, and so left
    // unset: a walk that meets no link touches little of them.
    std::array<char, 2 * PATH_MAX> left, next;
    if (std::strlen(name) >= left.size())
        return failed(ENAMETOOLONG);
    std::strcpy(left.data(), name);
    Here here{working, working_is, {}};
    bool linked = false, first = true;
    std::size_t at = 0;
    for (int links = 0;;) {
        if (left[at] == '/') {
            Descriptor root{::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)};
            Node root_is;
            if (!root.valid() || !inspect(root.get(), root_is))
                return failed(errno);
            here.enter(std::move(root), root_is);
            while (left[at] == '/')
                ++at;
        }
        const char *start = left.data() + at;
        const std::size_t length = std::strcspn(start, "/");
        std::size_t after = at + length;
        while (left[after] == '/')
            ++after;
        const bool last = left[after] == '\0';
        const bool slash = at + length != after; // a folder is meant
        std::array<char, NAME_MAX + 1> step{};
        if (length > NAME_MAX)
            return failed(ENAMETOOLONG);
        std::memcpy(step.data(), start, length);
        if (length == 0)
            step[0] = '.'; // "/" alone: the folder itself
        const std::string_view component{step.data()};
        if (!last && (component == "." || component == "..")) {
            // The folder that holds this one is no name anyone can plant.
            if (component == "..") {
                Descriptor up{::openat(here.fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC)};
                Node up_is;
                if (!up.valid() || !inspect(up.get(), up_is))
                    return failed(errno);
                here.enter(std::move(up), up_is);
            }
            at = after;
            continue;
        }
        Descriptor node{::openat(here.fd, step.data(), O_PATH | O_NOFOLLOW | O_CLOEXEC)};
        if (!node.valid() && errno == ENOENT)
            return first ? ended(Walk::absent) : refused(Refusal::dangling_link);
        Node is;
        if (!node.valid() || !inspect(node.get(), is))
            return failed(errno);
        if (open_to_all(here.is)) {
            Way way = ended(Walk::open_to_all);
            way.folder = std::move(here.held);
            way.folder_is = here.is;
            return way;
        }
        if (shared_sticky(here.is) && planted(here.is, is, first ? made : Made::before, who()))
            return refused(Refusal::planted);
        first = false;
        if (S_ISLNK(is.mode)) {
            if (++links > most_links)
                return failed(ELOOP);
            linked = true;
            std::array<char, PATH_MAX> target{};
            const ssize_t got = ::readlinkat(node.get(), "", target.data(), target.size() - 1);
            if (got < 0)
                return failed(errno);
            if (names_no_path(target.data()) && on_proc(node.get())) {
                Descriptor object{::openat(here.fd, step.data(), O_PATH | O_CLOEXEC)};
                if (!object.valid() || !inspect(object.get(), is))
                    return errno == ENOENT ? refused(Refusal::dangling_link) : failed(errno);
                return refused(S_ISFIFO(is.mode) ? Refusal::anonymous_pipe
                                                 : pipe_refusal(is, here.is));
            }
            const int written = std::snprintf(next.data(), next.size(), "%s%s%s", target.data(),
                                              last && !slash ? "" : "/", left.data() + after);
            if (written < 0 || static_cast<std::size_t>(written) >= next.size())
                return failed(ENAMETOOLONG);
            left = next;
            at = 0;
            continue;
        }
        if (!last && S_ISDIR(is.mode)) {
            here.enter(std::move(node), is);
            at = after;
            continue;
        }
        if (!last || (slash && !S_ISDIR(is.mode)))
            return failed(ENOTDIR);
        Way way = ended(Walk::reached);
        way.node = std::move(node);
        way.node_is = is;
        way.folder = std::move(here.held);
        way.folder_is = here.is;
        way.name = step;
        way.linked = linked;
        return way;
    }
}

} // namespace common
