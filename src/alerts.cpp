// Threshold alerts: every check is strictly-greater, so NaN thresholds never fire.
#include "alerts.hpp"

#include "snapshot.hpp"

namespace alerts {

namespace {

void check(std::vector<Alert>& fired, std::string_view metric, double value,
           std::optional<double> threshold) {
    if (threshold && value > *threshold) fired.push_back({metric, value, *threshold});
}

}  // namespace

std::variant<std::vector<Alert>, std::string> check_alerts(
    std::optional<double> cpu_percent, std::optional<double> memory_rss_mb,
    std::optional<double> memory_virtual_mb) {
    snapshot::Result sample = snapshot::collect();
    if (auto* error = std::get_if<std::string>(&sample)) return std::move(*error);
    const auto& process = std::get<snapshot::Snapshot>(sample);

    std::vector<Alert> fired;
    check(fired, "cpu_percent", process.cpu_percent, cpu_percent);
    check(fired, "memory_rss_mb", snapshot::megabytes(process.memory_rss), memory_rss_mb);
    check(fired, "memory_virtual_mb", snapshot::megabytes(process.memory_virtual),
          memory_virtual_mb);
    return fired;
}

}  // namespace alerts
