// Process-wide store of recent requests: a bounded FIFO ring plus lifetime counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace request_metrics {

struct RequestMetric {
    std::string method;
    std::string path;
    std::uint16_t status_code = 0;
    double duration_ms = 0.0;
    std::uint64_t timestamp = 0;  // Unix seconds
};

// Relaxed atomics: they are read without the store's lock.
extern std::atomic<std::uint64_t> MAX_REQUESTS;
extern std::atomic<std::uint64_t> TOTAL_REQUESTS;
extern std::atomic<std::uint64_t> TOTAL_ERRORS;

// The texts are only borrowed for the call; the store keeps its own copies.
void record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms);

// Copies of every retained record, oldest first.
std::vector<RequestMetric> get_all();

// Only the retained durations, oldest first: what aggregation needs, without the texts.
std::vector<double> durations();

void clear();
void set_max_requests(std::uint64_t max);

}  // namespace request_metrics
