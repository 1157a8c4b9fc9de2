// The Prometheus text exposition (0.0.4) of the request and process figures.
#pragma once

#include <string>
#include <string_view>

namespace prometheus {

inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

std::string render();

}  // namespace prometheus
