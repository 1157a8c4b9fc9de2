// What every writer of request figures counts in: the clock, latency units, the error
// threshold, and the saturating sum of latencies.
#pragma once

#include <chrono>
#include <cstdint>

namespace units {

// Status codes from this value on count as errors, everywhere.
inline constexpr std::uint16_t ERROR_STATUS = 400;

// A latency that is unknown (the minimum of nothing) or saturated.
inline constexpr std::uint64_t NO_LATENCY = UINT64_MAX;

// Whole seconds since the Unix epoch; 0 when the clock reads earlier.
inline std::uint64_t unix_seconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

// A request's latency in whole microseconds: negative and NaN give 0, saturating.
inline std::uint64_t latency_us(double duration_ms) {
    if (!(duration_ms > 0.0)) return 0;  // negative, zero and NaN
    const double micros = duration_ms * 1000.0;
    constexpr double TWO_TO_64 = 18446744073709551616.0;
    if (micros >= TWO_TO_64) return NO_LATENCY;
    return static_cast<std::uint64_t>(micros);
}

// Sums of latencies stop at NO_LATENCY rather than wrap.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? NO_LATENCY : sum;
}

}  // namespace units
