// Quantiles of a histogram: the one estimate behind the core's p50/p95/p99 of the merged
// shards and the percentiles `python -m vornik top` shows of any histogram it reads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

namespace histogram {

// Estimates quantile `q` from non-cumulative `counts` (one per upper bound in `bounds`,
// then one for everything above the last bound) by linear interpolation inside the
// bucket that holds it. Above the last bound it reaches up to `max`, the largest value
// seen, or stays at the last bound when `max` is NaN (not known). 0 without counts.
template <typename Count>
double quantile(std::span<const double> bounds, std::span<const Count> counts, double q,
                double max) {
    Count total = 0;
    for (const Count count : counts) total += count;
    if (!(total > 0) || counts.size() != bounds.size() + 1 || bounds.empty()) return 0.0;
    const double target = q * static_cast<double>(total);

    Count cumulative = 0;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const Count before = cumulative;
        cumulative += counts[i];
        if (!(target <= static_cast<double>(cumulative))) continue;
        const double lower = i == 0 ? 0.0 : bounds[i - 1];
        if (counts[i] == 0) return lower;
        return lower + (target - static_cast<double>(before)) / static_cast<double>(counts[i]) *
                           (bounds[i] - lower);
    }
    if (std::isnan(target) || target > static_cast<double>(total)) return max;

    const double lower = bounds.back();
    const double upper = std::isnan(max) ? lower : std::max(max, lower);
    const Count overflow = counts.back();
    if (overflow == 0) return lower;
    return lower + (target - static_cast<double>(cumulative)) / static_cast<double>(overflow) *
                       (upper - lower);
}

}  // namespace histogram
