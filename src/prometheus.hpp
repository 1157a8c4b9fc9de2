// The Prometheus text exposition (0.0.4) of the request and process figures.
#pragma once

#include <string>
#include <string_view>

namespace prometheus {

inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

std::string render();

void push_metric(std::string& out, std::string_view name, std::string_view type,
                 std::string_view help, double value);

// Shortest round-trip decimal, laid out positionally, never with an exponent.
void append_value(std::string& out, double value);

}  // namespace prometheus
