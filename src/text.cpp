// UTF-8 decoding for validation and blankness, and the two number layouts the
// system prints: shortest round-trip for the exposition, fixed decimals for reprs.
#include "text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace text {

namespace {

// Decodes one UTF-8 sequence at `text[i]`, advancing `i`; nothing when malformed.
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) return lead;
    int extra;
    char32_t cp;
    char32_t min;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return std::nullopt;
    }
    for (; extra > 0; --extra) {
        if (i >= text.size()) return std::nullopt;
        const auto next = static_cast<unsigned char>(text[i++]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return cp;
}

// Code points with the Unicode White_Space property.
bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();)
        if (!next_code_point(text, i)) return false;
    return true;
}

bool is_blank(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto cp = next_code_point(text, i);
        if (!cp || !is_white_space(*cp)) return false;
    }
    return true;
}

std::string_view capped(std::string_view text, std::size_t max_chars, std::string& storage) {
    if (text.size() <= max_chars) return text;  // never more code points than bytes
    // Bytes that start a code point; the cut is made before the `max_chars`-th.
    std::size_t chars = 0;
    std::size_t cut = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (++chars == max_chars) cut = i;
        if (chars > max_chars) {
            storage.assign(text.substr(0, cut));
            storage += "\xE2\x80\xA6";  // "…"
            return storage;
        }
    }
    return text;
}

void append_shortest(std::string& out, double value) {
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
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view digits_text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = digits_text.find('e');
    std::string_view mantissa = digits_text.substr(0, e);
    int exponent = 0;
    std::from_chars(digits_text.data() + e + 1 + (digits_text[e + 1] == '+'),
                    digits_text.data() + digits_text.size(), exponent);
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

void append_fixed(std::string& out, double value, int decimals) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "inf" : "-inf";
    } else {
        char buffer[512];  // %.2f of the largest double needs 312 bytes
        const int length = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
        out.append(buffer, static_cast<std::size_t>(length));
    }
}

}  // namespace text
