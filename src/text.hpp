// Text helpers shared by the internal units: UTF-8 checks and number formatting.
#pragma once

#include <string>
#include <string_view>

namespace text {

bool is_valid_utf8(std::string_view text);

// Empty, or made only of characters with the Unicode White_Space property.
bool is_blank(std::string_view text);

// Valid UTF-8 `text` cut to at most `max_chars` code points (at least one): the text
// itself when it fits, else its first `max_chars - 1` code points and "…", kept in
// `storage`.
std::string_view capped(std::string_view text, std::size_t max_chars, std::string& storage);

// Shortest round-trip decimal, laid out positionally, never with an exponent;
// NaN, +Inf and -Inf as the exposition format spells them.
void append_shortest(std::string& out, double value);

// C's %.Nf (exact value, ties to even), but NaN, inf and -inf spelled out.
void append_fixed(std::string& out, double value, int decimals);

}  // namespace text
