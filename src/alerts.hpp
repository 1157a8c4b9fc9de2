// Threshold checks of a fresh process sample.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace alerts {

struct Alert {
    std::string_view metric;
    double value = 0.0;
    double threshold = 0.0;
};

inline constexpr std::string_view SEVERITY = "warning";

// The crossed thresholds in the order cpu, rss, virtual; or the sampling error text.
std::variant<std::vector<Alert>, std::string> check_alerts(std::optional<double> cpu_percent,
                                                           std::optional<double> memory_rss_mb,
                                                           std::optional<double> memory_virtual_mb);

}  // namespace alerts
