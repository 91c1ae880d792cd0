// SPDX-License-Identifier: GPL-2.0-only
#include "ticks.hpp"

#include <sys/time.h>

namespace common {

namespace {

volatile std::sig_atomic_t ticking = 0;
struct sigaction before_ticks{};

// Once the ticks are over, a SIGALRM is someone else's: it gets what SIGALRM
// did before. Putting that back right away would cost a call in every run;
// most often it is the default, which this does as well (the signal comes
// again once the handler returns, and ends the process).
extern "C" void on_tick(int signal) {
    if (ticking != 0)
        return;
    ::sigaction(signal, &before_ticks, nullptr);
    ::raise(signal);
}

} // namespace

Ticks::Ticks() {
    struct sigaction tick{}; // no SA_RESTART: a blocked open must return
    tick.sa_handler = on_tick;
    ticking = 1;
    ::sigaction(SIGALRM, &tick, &before_ticks);
    const itimerval ticks{{0, 200 * 1000}, {0, 100 * 1000}};
    ::setitimer(ITIMER_REAL, &ticks, nullptr);
}

Ticks::~Ticks() {
    const itimerval none{};
    ::setitimer(ITIMER_REAL, &none, nullptr);
    // A tick due meanwhile came as the call returned, while it still ticked.
    ticking = 0;
    // A handler, or SIGALRM ignored: the default the tick handler passes on
    // would not do.
    if (before_ticks.sa_handler != SIG_DFL || (before_ticks.sa_flags & SA_SIGINFO) != 0)
        ::sigaction(SIGALRM, &before_ticks, nullptr);
}

} // namespace common
