// The application's own counters, gauges and histograms: this process's metrics file,
// and the merge of every worker's files into one family per metric.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "worker_files.hpp"

namespace app_metrics {

enum class Type : std::uint8_t { counter = 1, gauge = 2, histogram = 3 };
inline constexpr std::array<std::string_view, 4> TYPE_NAMES = {"", "counter", "gauge", "histogram"};

// How the gauges of several workers combine, by prometheus_client's names: `live`
// modes leave gone workers out, the others keep their last values.
enum class Mode : std::uint8_t {
    none = 0,  // counters and histograms: summed
    all,
    liveall,
    min,
    livemin,
    max,
    livemax,
    sum,
    livesum,
    mostrecent,
    livemostrecent,
};
inline constexpr std::array<std::string_view, 11> MODE_NAMES = {
    "",        "all", "liveall", "min",        "livemin",       "max",
    "livemax", "sum", "livesum", "mostrecent", "livemostrecent"};

inline constexpr std::size_t MAX_LABELS = 16;
inline constexpr std::size_t MAX_BOUNDS = 64;
inline constexpr std::size_t MAX_NAME_BYTES = 200;
inline constexpr std::size_t MAX_HELP_BYTES = 4096;
inline constexpr std::size_t MAX_LABEL_VALUE_BYTES = 1024;
// Label sets a process keeps apart per metric; the next ones go to the overflow series.
inline constexpr std::uint32_t MAX_LABEL_SETS = 1000;
// The label values of the overflow series, every label alike.
inline constexpr std::string_view OVERFLOW_VALUE = "<overflow>";
// The label a gauge of mode `all` or `liveall` is shown by: the worker's slot.
inline constexpr std::string_view WORKER_LABEL = "worker";
// Separates the label values of a series where they are stored: no UTF-8 text has it.
inline constexpr char VALUE_SEPARATOR = '\xFF';

struct Declaration {
    std::string name;  // a counter's with its `_total`
    Type type = Type::counter;
    Mode mode = Mode::none;
    std::string help;
    std::string unit;
    std::vector<std::string> label_names;
    std::vector<double> bounds;  // histograms: the finite upper bounds
};

// Registers a metric of this process: its id, or why it cannot be (a name taken, a name,
// label or bound that the exposition formats refuse, no room left in the file).
std::variant<std::uint32_t, std::string> declare(const Declaration& declaration);

struct Found {
    std::uint32_t series = 0;
    // The first label set of this metric that went to its overflow series.
    bool first_overflow = false;
};

// The series of a metric with these label values (as many as it has labels, valid
// UTF-8), added when new; past MAX_LABEL_SETS or a full file, its overflow series. A
// value too long is an error text.
std::variant<Found, std::string> series_of(std::uint32_t metric,
                                           std::span<const std::string_view> values);

// The number a series holds in this process: its value, or its histogram's count.
double value_of(std::uint32_t series);

// Counters and gauges. A series id from series_of, always.
void add(std::uint32_t series, double amount);
// Gauges.
void set(std::uint32_t series, double value);
// Histograms.
void observe(std::uint32_t series, double value);

// The rules every reader applies to what a file declares, and declare() to its input.
bool valid_metric_name(std::string_view name);
bool valid_label_name(std::string_view name);

struct Series {
    std::string labels;                   // values joined by VALUE_SEPARATOR
    std::optional<std::uint32_t> worker;  // gauges of mode all and liveall
    double value = 0.0;                   // counters and gauges
    std::vector<std::uint64_t> buckets;   // histograms: per bound, then +Inf; not cumulative
    double sum = 0.0;                     // histograms
};

struct Family {
    Declaration declaration;
    std::vector<Series> series;  // by labels, then worker
};

struct Merged {
    std::vector<Family> families;  // by name
    // Names that workers declare in more than one way: only one declaration is shown,
    // this process's when it has the metric.
    std::vector<std::string> mismatched;
};

// This process's metrics alone, for a process without a shard directory.
Merged own();

// The metrics of every worker file among `names` in `directory`, with the retained
// totals of gone workers. A name declared in more than one way shows this process's
// declaration when `own_declarations` is set and it has one (a worker), else the first
// found (a reader that is none of the workers).
Merged merge_files(const worker_files::Directory& directory, const worker_files::Names& names,
                   worker_files::Tidy tidy, bool own_declarations);

// The values of a series' label texts, in order.
std::vector<std::string_view> label_values(std::string_view labels);

}  // namespace app_metrics
