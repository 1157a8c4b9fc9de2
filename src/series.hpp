// Requests by method, route template and status code, with a latency histogram per
// series: this process's table, and the merge of every worker's table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "worker_files.hpp"

namespace series {

// The standard methods, in the order their index is stored; anything else is _OTHER.
inline constexpr std::array<std::string_view, 10> METHODS = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "_OTHER"};
inline constexpr std::uint8_t OTHER_METHOD = METHODS.size() - 1;

// Latency bucket bounds in seconds: the common default of the client libraries, which
// OpenTelemetry also advises for HTTP server durations.
inline constexpr std::array<double, 14> DEFAULT_BOUNDS_S = {
    0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.25, 0.5, 0.75, 1, 2.5, 5, 7.5, 10};
inline constexpr std::size_t MAX_BOUNDS = 32;
inline constexpr std::uint64_t DEFAULT_MAX_SERIES = 1000;
inline constexpr std::uint64_t MAX_MAX_SERIES = 100000;
// Longer routes are counted in the overflow series rather than cut.
inline constexpr std::size_t MAX_ROUTE_BYTES = 256;

// What a recorded request has to report, once per process each: why it went to the
// overflow series, or that the table's file in the shard directory could not be made,
// so that no merge sees this process's series (until a retry, once a second, succeeds).
enum class Notice { none, table_full, route_too_long, file_missing };

// Adds one request. Returns what it is the first request of this process to meet, and
// `none` otherwise.
Notice record(std::string_view method, std::string_view route, std::uint16_t status_code,
              double duration_ms);

// The directory and the system's reason of the last failure to make the table's file.
std::string file_problem();

// Bucket bounds (seconds, finite, positive, strictly increasing, 1 to MAX_BOUNDS) and the
// number of series per process (1 to MAX_MAX_SERIES). Only while this process has no
// series; otherwise, or for values out of range, the error text.
std::optional<std::string> configure(const std::optional<std::vector<double>>& bounds_s,
                                     std::optional<std::uint64_t> max_series);

std::vector<double> bounds_s();
std::uint64_t max_series();

// The size of this process's table file in the shard directory, as configured now.
std::size_t file_bytes();

// Makes sure this process has its table and its worker slot in the current shard
// directory, as its first request would: for a worker that wants to be in view before.
void attach();

// The worker slot this process holds with its table, when it holds one.
std::optional<std::uint32_t> worker_slot();

// Series in this process's table, the overflow series included.
std::uint64_t count();

// Forgets this process's series; with a shard directory its file is emptied too.
void clear();

struct Series {
    std::uint8_t method = 0;  // index into METHODS
    std::uint16_t status_code = 0;
    bool overflow = false;
    std::string route;
    std::uint64_t latency_sum_us = 0;
    std::vector<std::uint64_t> buckets;  // per bound, then +Inf; not cumulative
};

struct Merged {
    std::vector<double> bounds_s;
    std::vector<Series> series;  // sorted by route, method, status, overflow last
    // Tables left out because their bounds differ from this process's.
    std::uint64_t mismatched_tables = 0;
};

// This process's own series, as a process without a shard directory shows them.
Merged own();

// The series of the tables among `names`, the listing of `directory`, with the retained
// totals of gone workers; tables whose bounds are not `bounds_s` are left out and
// counted. Unless told only to look, folds gone workers' tables like any merge; writes
// nothing else.
Merged merge_tables(const worker_files::Directory& directory, const worker_files::Names& names,
                    const std::vector<double>& bounds_s, worker_files::Tidy tidy);

// The bounds of the first valid table among `names`: how a reader that records nothing
// itself learns the workers' buckets.
std::optional<std::vector<double>> bounds_in(const worker_files::Directory& directory,
                                             const worker_files::Names& names);

}  // namespace series
