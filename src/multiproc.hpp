// Multi-worker aggregation: this process's shard file and the merge of all workers' shards.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "units.hpp"
#include "worker_files.hpp"

namespace multiproc {

inline constexpr std::size_t BUCKET_COUNT = 14;
inline constexpr std::array<double, BUCKET_COUNT - 1> BUCKET_BOUNDS_MS = {
    1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000};

// The size of a shard file.
inline constexpr std::size_t SHARD_BYTES = 176;

struct MergedShards {
    std::array<std::uint64_t, BUCKET_COUNT> buckets{};
    std::uint64_t requests = 0;
    std::uint64_t errors = 0;
    std::uint64_t latency_sum_us = 0;
    std::uint64_t latency_min_us = units::NO_LATENCY;
    std::uint64_t latency_max_us = 0;
};

// Adds one request to this process's shard; does nothing while aggregation is off.
void record(std::uint16_t status_code, double duration_ms);

// Selects a shard directory; absent or blank text turns aggregation off.
void set_dir(const std::optional<std::string>& dir);

// The active directory, or nothing when aggregation is off.
std::optional<std::string> dir();

// A shard as the reader of a directory finds it.
struct Shard {
    std::string name;
    std::int32_t pid = 0;
    std::uint64_t requests = 0;
    std::uint64_t errors = 0;
    std::array<std::uint64_t, BUCKET_COUNT> buckets{};  // non-cumulative
};

struct ShardReading {
    // Every worker that has written into the directory: its shards plus the retained
    // totals of gone ones.
    MergedShards totals;
    // The shards whose writer is alive (its lock is held), when asked for.
    std::vector<Shard> live;
};

// The shards among `names`, the listing of `directory`. Unless told only to look, folds
// gone workers' shards into the retained totals like any merge; writes nothing else.
ShardReading read_shards(const worker_files::Directory& directory, const worker_files::Names& names,
                         worker_files::Keep keep, worker_files::Tidy tidy);

// Totals of every worker that has written into the directory: live shards plus the
// retained totals of gone ones; nothing when aggregation is off.
std::optional<MergedShards> merged();

}  // namespace multiproc
