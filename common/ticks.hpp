// SPDX-License-Identifier: GPL-2.0-only
// Ticks that end a blocked open now and then, so that a wait can look around.
#pragma once

#include <csignal>

namespace common {

// While it lives, a tick (SIGALRM) every 0.2 s, the first after 0.1 s, ends a
// blocked system call with EINTR. It does nothing else. Once it has gone,
// SIGALRM does again what it did before.
class Ticks {
  public:
    Ticks();
    ~Ticks();
    Ticks(const Ticks &) = delete;
    Ticks &operator=(const Ticks &) = delete;
};

} // namespace common
