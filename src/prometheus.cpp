// The text exposition document: nine request metrics, then four process metrics.
#include "prometheus.hpp"

#include <charconv>
#include <cmath>
#include <variant>

#include "aggregator.hpp"
#include "snapshot.hpp"

namespace prometheus {

namespace {

constexpr std::size_t RESERVED_BYTES = 2048;

struct Block {
    std::string_view name;
    std::string_view type;
    std::string_view help;
};

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

template <std::size_t N>
void push_blocks(std::string& out, const Block (&blocks)[N], const double (&values)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        push_metric(out, blocks[i].name, blocks[i].type, blocks[i].help, values[i]);
}

}  // namespace

void append_value(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    // Scientific to_chars gives the shortest round-trip digits (nearest on ties);
    // the fixed format would print the exact binary value instead.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string_view mantissa = text.substr(0, e);
    int exponent = 0;
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(),
                    exponent);
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    char digits[24];
    std::size_t count = 0;
    for (char c : mantissa)
        if (c != '.') digits[count++] = c;
    const std::string_view all(digits, count);

    // The value is 0.ddd × 10^(exponent + 1): the point falls after `integer_digits`.
    const long integer_digits = exponent + 1;
    if (integer_digits <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-integer_digits), '0');
        out += all;
    } else if (static_cast<std::size_t>(integer_digits) >= count) {
        out += all;
        out.append(static_cast<std::size_t>(integer_digits) - count, '0');
    } else {
        out += all.substr(0, static_cast<std::size_t>(integer_digits));
        out += '.';
        out += all.substr(static_cast<std::size_t>(integer_digits));
    }
}

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
    append_value(out, value);
    out += "\n\n";
}

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
