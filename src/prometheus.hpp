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

// The families of the live workers of the shard directory alone; empty without one.
std::string render_worker_families(Format format);

}  // namespace prometheus
