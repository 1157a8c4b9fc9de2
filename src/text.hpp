// Text helpers shared by the internal units: UTF-8 checks and number formatting.
#pragma once

#include <string>
#include <string_view>

namespace text {

bool is_valid_utf8(std::string_view text);

// Empty, or made only of characters with the Unicode White_Space property.
bool is_blank(std::string_view text);

// Shortest round-trip decimal, laid out positionally, never with an exponent;
// NaN, +Inf and -Inf as the exposition format spells them.
void append_shortest(std::string& out, double value);

// C's %.Nf (exact value, ties to even), but NaN, inf and -inf spelled out.
void append_fixed(std::string& out, double value, int decimals);

}  // namespace text
