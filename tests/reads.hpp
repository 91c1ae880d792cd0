// SPDX-License-Identifier: GPL-2.0-only
// The client's statistics fed as it feeds them, for the unit tests and the
// fuzz target alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "statistics.hpp"

// The counts of `bytes` read in reads that end at `cuts`: what a read leaves
// unfinished comes again at the start of the next. None when a take breaks
// its promise: more left than the start of a sequence, or the last not all.
inline std::optional<Counts> counted_in_reads(std::string_view bytes,
                                              const std::vector<std::size_t> &cuts) {
    Statistics stats;
    std::string pending;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        pending += bytes.substr(from, cut - from);
        from = cut;
        const std::size_t used = stats.take(pending, false);
        if (used > pending.size() || pending.size() - used > Statistics::longest_unfinished)
            return std::nullopt;
        pending.erase(0, used);
    }
    pending += bytes.substr(from);
    if (stats.take(pending, true) != pending.size())
        return std::nullopt;
    return stats.counts();
}
