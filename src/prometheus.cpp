// The exposition document: nine request metrics, then four process metrics; the
// longer document adds the route families and the families of every live worker.
#include "prometheus.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <span>
#include <unordered_map>
#include <variant>
#include <vector>

#include "aggregator.hpp"
#include "app_metrics.hpp"
#include "directory_reader.hpp"
#include "listen_queues.hpp"
#include "multiproc.hpp"
#include "series.hpp"
#include "snapshot.hpp"
#include "text.hpp"
#include "worker_files.hpp"
#include "worker_slots.hpp"

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

// Contract, like the blocks above.
constexpr Block REQUESTS_BY_ROUTE = {"vrk_http_requests_total", "counter",
                                     "HTTP requests by method, route template and status code"};
constexpr Block DURATION_BY_ROUTE = {
    "vrk_http_request_duration_seconds", "histogram",
    "HTTP request duration in seconds by method and route template"};
// Labels of the overflow series, which no request's own labels can spell: its status is
// not a number.
constexpr std::string_view OVERFLOW_ROUTE = "<overflow>";
constexpr std::string_view OVERFLOW_STATUS = "_OTHER";

// HELP and TYPE. OpenMetrics names a counter's family without the `_total` of its sample.
void push_head(std::string& out, const Block& block, Format format) {
    std::string_view family = block.name;
    if (format == Format::openmetrics && block.type == "counter") family.remove_suffix(6);
    out += "# HELP ";
    out += family;
    out += ' ';
    out += block.help;
    out += "\n# TYPE ";
    out += family;
    out += ' ';
    out += block.type;
    out += '\n';
}

// The text format ends every family with an empty line; OpenMetrics has none.
void end_family(std::string& out, Format format) {
    if (format == Format::text) out += '\n';
}

void push_metric(std::string& out, const Block& block, double value, Format format) {
    push_head(out, block, format);
    out += block.name;
    out += ' ';
    text::append_shortest(out, value);
    out += '\n';
    end_family(out, format);
}

template <std::size_t N>
void push_blocks(std::string& out, const Block (&blocks)[N], const double (&values)[N],
                 Format format) {
    for (std::size_t i = 0; i < N; ++i) push_metric(out, blocks[i], values[i], format);
}

void push_families(std::string& out, const aggregator::AggregatedMetrics& stats, Format format) {
    push_blocks(out, REQUEST_BLOCKS,
                {static_cast<double>(stats.total_requests), static_cast<double>(stats.total_errors),
                 stats.error_rate, stats.avg_latency_ms, stats.min_latency_ms, stats.max_latency_ms,
                 stats.p50_latency_ms, stats.p95_latency_ms, stats.p99_latency_ms},
                format);

    const snapshot::Result sample = snapshot::collect();
    if (const auto* process = std::get_if<snapshot::Snapshot>(&sample)) {
        push_blocks(
            out, PROCESS_BLOCKS,
            {process->cpu_percent, static_cast<double>(process->memory_rss),
             static_cast<double>(process->memory_virtual), static_cast<double>(process->threads)},
            format);
    }
}

// A label value with backslash, double quote and line feed escaped, as both formats
// want. Routes are UTF-8: they come from Python texts, and merging drops any that is not.
void append_label_value(std::string& out, std::string_view value) {
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
}

void append_label(std::string& out, std::string_view name, std::string_view value) {
    out += name;
    out += "=\"";
    append_label_value(out, value);
    out += '"';
}

// `method="GET",route="/x"`, the labels both families share.
void append_route_labels(std::string& out, const series::Series& one) {
    append_label(out, "method", series::METHODS[one.method]);
    out += ',';
    append_label(out, "route", one.overflow ? OVERFLOW_ROUTE : std::string_view(one.route));
}

void append_count(std::string& out, std::uint64_t count) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
    out.append(digits, end);
}

// A bound as the `le` label spells it, with a ".0" on whole numbers as the client
// libraries write it, so that documents from every source add up by `le`.
void append_bound(std::string& out, double bound) {
    const std::size_t start = out.size();
    text::append_shortest(out, bound);
    if (out.find('.', start) == std::string::npos) out += ".0";
}

std::uint64_t total(const series::Series& one) {
    std::uint64_t sum = 0;
    for (const std::uint64_t count : one.buckets) sum += count;
    return sum;
}

void push_requests_by_route(std::string& out, const series::Merged& merged, Format format) {
    push_head(out, REQUESTS_BY_ROUTE, format);
    for (const series::Series& one : merged.series) {
        out += REQUESTS_BY_ROUTE.name;
        out += '{';
        append_route_labels(out, one);
        out += ",status=\"";
        if (one.overflow) {
            out += OVERFLOW_STATUS;
        } else {
            append_count(out, one.status_code);
        }
        out += "\"} ";
        append_count(out, total(one));
        out += '\n';
    }
    end_family(out, format);
}

// One histogram per method and route: the series of all its status codes added up.
// `merged.series` is sorted by route and method, so they are neighbours.
void push_duration_by_route(std::string& out, const series::Merged& merged, Format format) {
    push_head(out, DURATION_BY_ROUTE, format);
    const std::string_view name = DURATION_BY_ROUTE.name;
    const auto& all = merged.series;
    std::vector<std::uint64_t> buckets;
    for (std::size_t first = 0; first < all.size();) {
        std::size_t end = first;
        buckets.assign(merged.bounds_s.size() + 1, 0);
        std::uint64_t latency_sum_us = 0;
        for (; end < all.size() && all[end].overflow == all[first].overflow &&
               all[end].route == all[first].route && all[end].method == all[first].method;
             ++end) {
            for (std::size_t b = 0; b < buckets.size(); ++b) buckets[b] += all[end].buckets[b];
            latency_sum_us += all[end].latency_sum_us;
        }
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < buckets.size(); ++b) {
            cumulative += buckets[b];
            out += name;
            out += "_bucket{";
            append_route_labels(out, all[first]);
            out += ",le=\"";
            if (b < merged.bounds_s.size()) {
                append_bound(out, merged.bounds_s[b]);
            } else {
                out += "+Inf";
            }
            out += "\"} ";
            append_count(out, cumulative);
            out += '\n';
        }
        for (const std::string_view suffix : {"_sum", "_count"}) {
            out += name;
            out += suffix;
            out += '{';
            append_route_labels(out, all[first]);
            out += "} ";
            if (suffix == "_sum") {
                text::append_shortest(out, static_cast<double>(latency_sum_us) / 1e6);
            } else {
                append_count(out, cumulative);
            }
            out += '\n';
        }
        first = end;
    }
    end_family(out, format);
}

// ---- The live workers of the shard directory ------------------------------------------

// Contract: names and help texts are what dashboards and alert rules match on.
constexpr Block WORKERS = {"vrk_workers", "gauge",
                           "Number of live worker processes of the shard directory"};

struct LiveWorker {
    std::uint32_t slot = 0;
    std::uint32_t pid = 0;
    snapshot::ProcessFigures process;
    std::optional<std::uint64_t> requests;           // none while its shard is not there
    std::optional<worker_slots::Activity> activity;  // none in a slot without figures
};

// A whole number as text; a figure that may have a fraction keeps a ".0" when it has
// none, so that every value of a family reads alike.
void append_seconds(std::string& out, double seconds) {
    const std::size_t start = out.size();
    text::append_shortest(out, seconds);
    if (out.find('.', start) == std::string::npos) out += ".0";
}

// The families of every live worker, labelled by slot: one row each.
struct WorkerFamily {
    Block block;
    // Appends the worker's value and returns true, or returns false to leave it out.
    bool (*append_value)(std::string& out, const LiveWorker& worker);
};

constexpr WorkerFamily WORKER_FAMILIES[] = {
    {{"vrk_worker_cpu_seconds_total", "counter", "User and system CPU time of each live worker"},
     [](std::string& out, const LiveWorker& worker) {
         append_seconds(out, worker.process.cpu_seconds);
         return true;
     }},
    {{"vrk_worker_memory_rss_bytes", "gauge", "Resident memory of each live worker in bytes"},
     [](std::string& out, const LiveWorker& worker) {
         append_count(out, worker.process.memory_rss);
         return true;
     }},
    {{"vrk_worker_threads", "gauge", "Number of threads of each live worker"},
     [](std::string& out, const LiveWorker& worker) {
         append_count(out, worker.process.threads);
         return true;
     }},
    {{"vrk_worker_requests_total", "counter", "HTTP requests recorded by each live worker"},
     [](std::string& out, const LiveWorker& worker) {
         if (!worker.requests) return false;
         append_count(out, *worker.requests);
         return true;
     }},
    {{"vrk_worker_requests_in_flight", "gauge",
      "HTTP requests each live worker has started and not finished"},
     [](std::string& out, const LiveWorker& worker) {
         if (!worker.activity) return false;
         append_count(out, worker.activity->in_flight);
         return true;
     }},
    {{"vrk_worker_busy_seconds_total", "counter",
      "Wall time during which each live worker had at least one HTTP request in flight"},
     [](std::string& out, const LiveWorker& worker) {
         if (!worker.activity) return false;
         append_seconds(out, worker.activity->busy_seconds);
         return true;
     }},
    {{"vrk_worker_gc_seconds_total", "counter",
      "Time each live worker spent in the cyclic garbage collector"},
     [](std::string& out, const LiveWorker& worker) {
         if (!worker.activity) return false;
         append_seconds(out, worker.activity->gc_seconds);
         return true;
     }},
    {{"vrk_worker_open_fds", "gauge", "Number of open file descriptors of each live worker"},
     [](std::string& out, const LiveWorker& worker) {
         if (!worker.process.open_fds) return false;
         append_count(out, *worker.process.open_fds);
         return true;
     }},
    {{"vrk_worker_start_time_seconds", "gauge",
      "Start time of each live worker since the Unix epoch in seconds"},
     [](std::string& out, const LiveWorker& worker) {
         append_seconds(out, worker.process.start_time_seconds);
         return true;
     }},
};

constexpr Block LISTEN_QUEUE_LENGTH = {
    "vrk_listen_queue_length", "gauge",
    "Connections waiting to be accepted on each listening socket of the workers"};
constexpr Block LISTEN_QUEUE_LIMIT = {
    "vrk_listen_queue_limit", "gauge",
    "Connections a listening socket of the workers keeps waiting before it refuses more"};

// The holders of the directory's slots that /proc knows, by slot, with the requests of
// their live shards.
std::vector<LiveWorker> live_workers(const directory_reader::Reading& reading) {
    std::unordered_map<std::int32_t, std::uint64_t> requests;
    for (const multiproc::Shard& shard : reading.shards.live) requests[shard.pid] += shard.requests;
    std::vector<LiveWorker> workers;
    for (const worker_slots::Holder& holder : reading.holders) {
        const auto process = snapshot::figures_of(static_cast<std::uint32_t>(holder.pid));
        if (!process) continue;
        LiveWorker& worker = workers.emplace_back(LiveWorker{
            holder.slot, static_cast<std::uint32_t>(holder.pid), *process, {}, holder.activity});
        if (const auto found = requests.find(holder.pid); found != requests.end())
            worker.requests = found->second;
    }
    return workers;
}

// The listening sockets among the descriptors of `pids`, one series per address; both
// families are left out when none is found.
void push_listen_queues(std::string& out, Format format, std::span<const std::uint32_t> pids) {
    std::vector<std::uint64_t> inodes;
    for (const std::uint32_t pid : pids) {
        const std::vector<std::uint64_t> found = snapshot::socket_inodes_of(pid);
        inodes.insert(inodes.end(), found.begin(), found.end());
    }
    const std::vector<listen_queues::Queue> queues = listen_queues::of_sockets(inodes);
    if (queues.empty()) return;
    for (const Block* block : {&LISTEN_QUEUE_LENGTH, &LISTEN_QUEUE_LIMIT}) {
        const bool limits = block == &LISTEN_QUEUE_LIMIT;
        if (limits && std::none_of(queues.begin(), queues.end(),
                                   [](const listen_queues::Queue& queue) { return queue.limit; }))
            break;  // read where the limits are not shown
        push_head(out, *block, format);
        for (const listen_queues::Queue& queue : queues) {
            if (limits && !queue.limit) continue;
            out += block->name;
            out += '{';
            append_label(out, "address", queue.address);
            out += "} ";
            append_count(out, limits ? *queue.limit : queue.length);
            out += '\n';
        }
        end_family(out, format);
    }
}

// The families of the live workers and of their listening sockets.
void push_worker_families(std::string& out, const std::vector<LiveWorker>& workers, Format format) {
    push_metric(out, WORKERS, static_cast<double>(workers.size()), format);
    for (const WorkerFamily& family : WORKER_FAMILIES) {
        push_head(out, family.block, format);
        for (const LiveWorker& worker : workers) {
            const std::size_t start = out.size();
            out += family.block.name;
            out += "{worker=\"";
            append_count(out, worker.slot);
            out += "\"} ";
            if (family.append_value(out, worker)) {
                out += '\n';
            } else {
                out.resize(start);
            }
        }
        end_family(out, format);
    }
    std::vector<std::uint32_t> pids;
    for (const LiveWorker& worker : workers) pids.push_back(worker.pid);
    push_listen_queues(out, format, pids);
}

// ---- The application's metrics ---------------------------------------------------------

// A help text as each format escapes it: backslash and line feed, and in OpenMetrics
// the double quote too.
void append_help(std::string& out, std::string_view help, Format format) {
    for (const char c : help) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && format == Format::openmetrics) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
}

void push_app_head(std::string& out, const app_metrics::Declaration& d, Format format) {
    std::string_view family = d.name;
    if (format == Format::openmetrics && d.type == app_metrics::Type::counter)
        family.remove_suffix(6);
    out += "# HELP ";
    out += family;
    out += ' ';
    append_help(out, d.help, format);
    out += "\n# TYPE ";
    out += family;
    out += ' ';
    out += app_metrics::TYPE_NAMES[static_cast<std::size_t>(d.type)];
    out += '\n';
    if (format == Format::openmetrics && !d.unit.empty()) {
        out += "# UNIT ";
        out += family;
        out += ' ';
        out += d.unit;
        out += '\n';
    }
}

// `{a="x",b="y"` with what follows left open, or nothing for a series without labels
// and no more to come.
void append_app_labels(std::string& out, const app_metrics::Declaration& d,
                       const app_metrics::Series& one) {
    bool first = true;
    const auto separate = [&] {
        out += first ? '{' : ',';
        first = false;
    };
    if (!d.label_names.empty()) {
        const auto values = app_metrics::label_values(one.labels);
        for (std::size_t i = 0; i < d.label_names.size(); ++i) {
            separate();
            append_label(out, d.label_names[i], values[i]);
        }
    }
    if (one.worker) {
        separate();
        out += app_metrics::WORKER_LABEL;
        out += "=\"";
        append_count(out, *one.worker);
        out += '"';
    }
}

// Opens the labels of a sample: its own, then `extra` (without the braces).
void push_sample_name(std::string& out, std::string_view name, std::string_view suffix,
                      const app_metrics::Declaration& d, const app_metrics::Series& one,
                      std::string_view extra = {}) {
    out += name;
    out += suffix;
    const std::size_t before = out.size();
    append_app_labels(out, d, one);
    if (!extra.empty()) {
        out += out.size() == before ? '{' : ',';
        out += extra;
    }
    if (out.size() != before) out += '}';
    out += ' ';
}

void push_app_family(std::string& out, const app_metrics::Family& family, Format format) {
    const app_metrics::Declaration& d = family.declaration;
    push_app_head(out, d, format);
    std::string le;
    for (const app_metrics::Series& one : family.series) {
        if (d.type != app_metrics::Type::histogram) {
            push_sample_name(out, d.name, {}, d, one);
            text::append_shortest(out, one.value);
            out += '\n';
            continue;
        }
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < one.buckets.size(); ++b) {
            cumulative += one.buckets[b];
            le.assign("le=\"");
            if (b < d.bounds.size()) {
                append_bound(le, d.bounds[b]);
            } else {
                le += "+Inf";
            }
            le += '"';
            push_sample_name(out, d.name, "_bucket", d, one, le);
            append_count(out, cumulative);
            out += '\n';
        }
        push_sample_name(out, d.name, "_count", d, one);
        append_count(out, cumulative);
        out += '\n';
        push_sample_name(out, d.name, "_sum", d, one);
        text::append_shortest(out, one.sum);
        out += '\n';
    }
    end_family(out, format);
}

// The reading of the directory at `path`, or what one that cannot be opened shows.
directory_reader::Reading read_directory(const std::string& path,
                                         directory_reader::Buckets buckets) {
    const auto directory = worker_files::open_directory(path, false);
    return directory ? directory_reader::read(*directory, buckets, worker_files::Tidy::fold)
                     : directory_reader::nothing();
}

// The whole document: the thirteen families, the route families, with a directory the
// families of its live workers, and the application's metrics.
Document render(const aggregator::AggregatedMetrics& stats, const series::Merged& merged,
                const std::vector<LiveWorker>* workers, const app_metrics::Merged& application,
                Format format) {
    Document document;
    std::string& out = document.text;
    out.reserve(RESERVED_BYTES + merged.series.size() * 256 * (merged.bounds_s.size() + 4));
    push_families(out, stats, format);
    push_requests_by_route(out, merged, format);
    push_duration_by_route(out, merged, format);
    if (workers) {
        push_worker_families(out, *workers, format);
    } else {
        // Without a directory, the sockets this process listens on.
        const auto self = static_cast<std::uint32_t>(getpid());
        push_listen_queues(out, format, std::span(&self, 1));
    }
    for (const app_metrics::Family& family : application.families)
        push_app_family(out, family, format);
    if (format == Format::openmetrics) out += "# EOF\n";
    document.mismatched_tables = merged.mismatched_tables;
    document.mismatched_metrics = application.mismatched;
    return document;
}

Document render_reading(const directory_reader::Reading& reading, Format format) {
    const std::vector<LiveWorker> workers = live_workers(reading);
    return render(aggregator::from_shards(reading.shards.totals), reading.series, &workers,
                  reading.application, format);
}

}  // namespace

std::string render() {
    std::string out;
    out.reserve(RESERVED_BYTES);
    push_families(out, aggregator::compute(), Format::text);
    return out;
}

std::string render_worker_families(Format format) {
    const std::optional<std::string> dir = multiproc::dir();
    if (!dir) return {};
    std::string out;
    push_worker_families(out, live_workers(read_directory(*dir, directory_reader::Buckets::own)),
                         format);
    return out;
}

Document render_document(Format format) {
    const std::optional<std::string> dir = multiproc::dir();
    if (!dir)
        return render(aggregator::compute(), series::own(), nullptr, app_metrics::own(), format);
    return render_reading(read_directory(*dir, directory_reader::Buckets::own), format);
}

Document render_directory_document(const std::string& path, Format format) {
    return render_reading(read_directory(path, directory_reader::Buckets::workers), format);
}

}  // namespace prometheus
