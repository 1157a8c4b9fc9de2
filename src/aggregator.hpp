// The nine aggregate request figures, from the local store or from the merged shards.
#pragma once

#include <cstdint>

#include "multiproc.hpp"

namespace aggregator {

struct AggregatedMetrics {
    std::uint64_t total_requests = 0;
    std::uint64_t total_errors = 0;
    double error_rate = 0.0;  // percent
    double avg_latency_ms = 0.0;
    double min_latency_ms = 0.0;
    double max_latency_ms = 0.0;
    double p50_latency_ms = 0.0;
    double p95_latency_ms = 0.0;
    double p99_latency_ms = 0.0;
};

// From the merged shards when a shard directory is set, else from the local store.
AggregatedMetrics compute();

// The figures of shards merged by a reader of a directory.
AggregatedMetrics from_shards(const multiproc::MergedShards& shards);

}  // namespace aggregator
