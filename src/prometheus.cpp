// The text exposition document: nine request metrics, then four process metrics.
#include "prometheus.hpp"

#include <variant>

#include "aggregator.hpp"
#include "snapshot.hpp"
#include "text.hpp"

namespace prometheus {

namespace {

constexpr std::size_t RESERVED_BYTES = 2048;

struct Block {
    std::string_view name;
    std::string_view type;
    std::string_view help;
};

// Contract: names, types and help texts are what scrapers, dashboards and alert rules
// match on; they stay exactly as they are.
constexpr Block REQUEST_BLOCKS[] = {
    {"vrk_requests_total", "counter", "Total HTTP requests recorded"},
    {"vrk_errors_total", "counter", "Total HTTP errors (status >= 400)"},
    {"vrk_error_rate_percent", "gauge", "HTTP error rate as a percentage"},
    {"vrk_latency_avg_ms", "gauge", "Average request latency in milliseconds"},
    {"vrk_latency_min_ms", "gauge", "Minimum request latency in milliseconds"},
    {"vrk_latency_max_ms", "gauge", "Maximum request latency in milliseconds"},
    {"vrk_latency_p50_ms", "gauge", "P50 request latency in milliseconds"},
    {"vrk_latency_p95_ms", "gauge", "P95 request latency in milliseconds"},
    {"vrk_latency_p99_ms", "gauge", "P99 request latency in milliseconds"},
};

constexpr Block PROCESS_BLOCKS[] = {
    {"vrk_process_cpu_percent", "gauge", "Process CPU usage percentage"},
    {"vrk_process_memory_rss_bytes", "gauge", "Process RSS memory in bytes"},
    {"vrk_process_memory_virtual_bytes", "gauge", "Process virtual memory in bytes"},
    {"vrk_process_threads", "gauge", "Number of process threads"},
};

void push_metric(std::string& out, std::string_view name, std::string_view type,
                 std::string_view help, double value) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
    out += name;
    out += ' ';
    text::append_shortest(out, value);
    out += "\n\n";
}

template <std::size_t N>
void push_blocks(std::string& out, const Block (&blocks)[N], const double (&values)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        push_metric(out, blocks[i].name, blocks[i].type, blocks[i].help, values[i]);
}

}  // namespace

std::string render() {
    const aggregator::AggregatedMetrics stats = aggregator::compute();
    std::string out;
    out.reserve(RESERVED_BYTES);
    push_blocks(out, REQUEST_BLOCKS,
                {static_cast<double>(stats.total_requests), static_cast<double>(stats.total_errors),
                 stats.error_rate, stats.avg_latency_ms, stats.min_latency_ms,
                 stats.max_latency_ms, stats.p50_latency_ms, stats.p95_latency_ms,
                 stats.p99_latency_ms});

    const snapshot::Result sample = snapshot::collect();
    if (const auto* process = std::get_if<snapshot::Snapshot>(&sample)) {
        push_blocks(out, PROCESS_BLOCKS,
                    {process->cpu_percent, static_cast<double>(process->memory_rss),
                     static_cast<double>(process->memory_virtual),
                     static_cast<double>(process->threads)});
    }
    return out;
}

}  // namespace prometheus
