// SPDX-License-Identifier: GPL-2.0-only
// What the unit tests share: what a unit said on standard error, and a call
// that must end in time.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <sys/types.h>

#include "descriptor.hpp"

namespace unit {

// While it lives, standard error goes to a file of its own, to be read back.
class CapturedStderr {
  public:
    CapturedStderr();
    ~CapturedStderr();
    CapturedStderr(const CapturedStderr &) = delete;
    CapturedStderr &operator=(const CapturedStderr &) = delete;
    // Everything said since it began.
    [[nodiscard]] std::string text() const;

  private:
    common::Descriptor saved_, file_;
};

// Runs `work` in a child process, and `meanwhile` here (told the child), and returns what
// `work` returned, or nothing when it did not end within the tests' patience
// (it is killed then): a fault that makes a unit spin or hang fails its test
// instead of stopping the run.
std::optional<std::string> within_patience(
    const std::function<std::string()> &work,
    const std::function<void(pid_t)> &meanwhile = [](pid_t) {});

} // namespace unit
