// SPDX-License-Identifier: GPL-2.0-only
#include "standard_streams.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "report.hpp"

namespace common {

bool park_closed_descriptors(std::span<const int> closed) {
    constexpr std::array<const char *, 3> names{"stdin", "stdout", "stderr"};
    for (const int fd : closed) {
        // Wrong direction on purpose: reads from 0 and writes to 1 and 2 fail with EBADF.
        const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (parked == fd)
            continue;
        const int error = parked < 0 ? errno : EBADF;
        if (parked >= 0)
            ::close(parked);
        report(names[static_cast<std::size_t>(fd)],
               "closed, and /dev/null cannot take its place: %s", std::strerror(error));
        return false;
    }
    return true;
}

void hold_back_write_signals() {
    sigset_t held{};
    ::sigemptyset(&held);
    ::sigaddset(&held, SIGPIPE);
    ::sigaddset(&held, SIGXFSZ);
    ::sigprocmask(SIG_BLOCK, &held, nullptr);
}

} // namespace common
