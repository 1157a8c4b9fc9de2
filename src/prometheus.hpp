// The Prometheus exposition of the request and process figures: the text format 0.0.4,
// and OpenMetrics 1.0 for the document that carries the route families too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace prometheus {

inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr std::string_view OPENMETRICS_CONTENT_TYPE =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";

enum class Format { text, openmetrics };

// The thirteen families, in the text format.
std::string render();

struct Document {
    std::string text;
    // Series tables left out because their latency bounds differ from this process's.
    std::uint64_t mismatched_tables = 0;
    // Application metrics that workers declare in more than one way.
    std::vector<std::string> mismatched_metrics;
};

// The thirteen families, then requests and latency by method, route and status, then,
// with a shard directory, the families of its live workers, then the application's
// metrics.
Document render_document(Format format);

// The same document from the shard directory at `path`, read as a reader that is none
// of its workers: the thirteen families sum the directory's shards, the route families
// use the buckets of the workers' tables, and the process figures are this process's.
// A directory that does not exist (yet) shows zeros and no workers.
Document render_directory_document(const std::string& path, Format format);

// The families of the live workers of the shard directory alone; empty without one.
std::string render_worker_families(Format format);

}  // namespace prometheus
