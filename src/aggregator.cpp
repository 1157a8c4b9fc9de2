// Aggregate figures. The local path is exact over the retained window; the merged path
// estimates percentiles from the shards' shared histogram.
#include "aggregator.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <vector>

#include "histogram.hpp"
#include "multiproc.hpp"
#include "request_metrics.hpp"
#include "units.hpp"

namespace aggregator {

namespace {

constexpr double QUANTILES[3] = {0.5, 0.95, 0.99};

// Maps a double onto a signed integer whose order is IEEE 754 totalOrder:
// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN. Equal keys mean equal bit patterns,
// so selecting by key yields the very values a totalOrder sort would.
std::int64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

double from_key(std::int64_t key) {
    return std::bit_cast<double>(
        key ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(key >> 63) >> 1));
}

double error_rate(std::uint64_t errors, std::uint64_t requests) {
    if (requests == 0) return 0.0;
    return static_cast<double>(errors) / static_cast<double>(requests) * 100.0;
}

// Index of the rounded rank: (n - 1) * q, halves away from zero, capped at n - 1.
std::size_t rank_index(std::size_t n, double q) {
    const double rank = (static_cast<double>(n) - 1.0) * q;
    const auto index = static_cast<std::size_t>(std::round(rank));
    return std::min(index, n - 1);
}

double histogram_quantile(const std::array<std::uint64_t, multiproc::BUCKET_COUNT>& buckets,
                          double q, double max_ms) {
    return histogram::quantile<std::uint64_t>(multiproc::BUCKET_BOUNDS_MS, buckets, q, max_ms);
}

AggregatedMetrics from_store() {
    AggregatedMetrics result;
    result.total_requests = request_metrics::TOTAL_REQUESTS.load(std::memory_order_relaxed);
    result.total_errors = request_metrics::TOTAL_ERRORS.load(std::memory_order_relaxed);
    result.error_rate = error_rate(result.total_errors, result.total_requests);

    const std::vector<double> durations = request_metrics::durations();
    const std::size_t n = durations.size();
    if (n == 0) return result;

    // One pass, oldest first: the order of the additions is part of the result.
    double sum = -0.0;
    std::vector<std::int64_t> keys(n);
    std::int64_t lowest = INT64_MAX;
    std::int64_t highest = INT64_MIN;
    for (std::size_t i = 0; i < n; ++i) {
        sum += durations[i];
        keys[i] = total_order_key(durations[i]);
        lowest = std::min(lowest, keys[i]);
        highest = std::max(highest, keys[i]);
    }
    result.avg_latency_ms = sum / static_cast<double>(n);
    result.min_latency_ms = from_key(lowest);
    result.max_latency_ms = from_key(highest);

    // The ranks ascend, so each selection only has to look right of the previous one.
    double* const targets[3] = {&result.p50_latency_ms, &result.p95_latency_ms,
                                &result.p99_latency_ms};
    auto from = keys.begin();
    for (int i = 0; i < 3; ++i) {
        const auto nth = keys.begin() + static_cast<std::ptrdiff_t>(rank_index(n, QUANTILES[i]));
        std::nth_element(from, nth, keys.end());
        *targets[i] = from_key(*nth);
        from = nth;
    }
    return result;
}

}  // namespace

AggregatedMetrics from_shards(const multiproc::MergedShards& shards) {
    AggregatedMetrics result;
    if (shards.requests == 0) return result;
    const auto requests = static_cast<double>(shards.requests);
    result.total_requests = shards.requests;
    result.total_errors = shards.errors;
    result.error_rate = error_rate(shards.errors, shards.requests);
    result.avg_latency_ms = static_cast<double>(shards.latency_sum_us) / requests / 1000.0;
    result.min_latency_ms = shards.latency_min_us == units::NO_LATENCY
                                ? 0.0
                                : static_cast<double>(shards.latency_min_us) / 1000.0;
    const double max_ms = static_cast<double>(shards.latency_max_us) / 1000.0;
    result.max_latency_ms = max_ms;
    result.p50_latency_ms = histogram_quantile(shards.buckets, QUANTILES[0], max_ms);
    result.p95_latency_ms = histogram_quantile(shards.buckets, QUANTILES[1], max_ms);
    result.p99_latency_ms = histogram_quantile(shards.buckets, QUANTILES[2], max_ms);
    return result;
}

AggregatedMetrics compute() {
    if (const auto shards = multiproc::merged()) return from_shards(*shards);
    return from_store();
}

}  // namespace aggregator
