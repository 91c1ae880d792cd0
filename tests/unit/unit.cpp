// SPDX-License-Identifier: GPL-2.0-only
#include "unit.hpp"

#include <array>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../shared.hpp"
#include "report.hpp"

// The units report as drummet does.
const common::Program common::program{"drummet", 255};

namespace unit {

namespace {
// A unit that writes to a pipe nobody reads must see EPIPE, as the programs do.
const bool write_signals_held = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
} // namespace

CapturedStderr::CapturedStderr() : saved_(::dup(STDERR_FILENO)), file_(::fileno(std::tmpfile())) {
    ::dup2(file_.get(), STDERR_FILENO);
}

CapturedStderr::~CapturedStderr() {
    ::dup2(saved_.get(), STDERR_FILENO);
}

std::string CapturedStderr::text() const {
    std::string said;
    std::array<char, 4096> chunk{};
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(file_.get(), chunk.data(), chunk.size(), at);
        if (got <= 0)
            return said;
        said.append(chunk.data(), static_cast<std::size_t>(got));
        at += got;
    }
}

std::optional<std::string> within_patience(const std::function<std::string()> &work,
                                           const std::function<void(pid_t)> &meanwhile) {
    std::array<int, 2> result{};
    if (::pipe2(result.data(), O_CLOEXEC) != 0)
        return std::nullopt;
    const common::Descriptor from{result[0]};
    common::Descriptor to{result[1]};
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string said = work();
        const bool whole =
            ::write(to.get(), said.data(), said.size()) == static_cast<ssize_t>(said.size());
        ::_exit(whole ? 0 : 1);
    }
    to.close();
    meanwhile(child);
    std::string said;
    const auto deadline = testing_support::Clock::now() + testing_support::patience();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - testing_support::Clock::now());
        pollfd ready{from.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return std::nullopt;
        }
        std::array<char, 4096> chunk{};
        const ssize_t got = ::read(from.get(), chunk.data(), chunk.size());
        if (got <= 0)
            break;
        said.append(chunk.data(), static_cast<std::size_t>(got));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return said;
}

} // namespace unit
