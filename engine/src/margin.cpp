#include "quorvel/margin.hpp"

#include <cstdlib>

namespace quorvel {

namespace {

constexpr std::string_view invalid_argument_text = "invalid stoi argument";
constexpr std::string_view out_of_range_text = "stoi argument out of range";

constexpr bool is_blank(char character) noexcept {
    // The white space of the "C" locale, which is the one in force while the binary loads.
    return character == ' ' || character == '\t' || character == '\n' || character == '\v' ||
           character == '\f' || character == '\r';
}

constexpr bool is_digit(char character) noexcept { return character >= '0' && character <= '9'; }

MarginReading read_margin_from_environment() noexcept {
    return parse_margin(std::getenv("PAIR_MARGIN"));
}

// Runs while the binary is loaded, before any interpreter call into it.
const MarginReading loaded_margin = read_margin_from_environment();

}  // namespace

MarginReading parse_margin(const char* text) noexcept {
    if (text == nullptr) {
        return {};
    }
    const char* cursor = text;
    while (is_blank(*cursor)) {
        ++cursor;
    }
    bool negative = false;
    if (*cursor == '+' || *cursor == '-') {
        negative = *cursor == '-';
        ++cursor;
    }
    if (!is_digit(*cursor)) {
        return {default_pair_margin, invalid_argument_text};
    }
    // Accumulate the magnitude in 64 bits and stop growing it once it is out of range, so that
    // any number of digits is read without overflow.
    constexpr std::int64_t limit = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    for (; is_digit(*cursor); ++cursor) {
        if (magnitude <= limit) {
            magnitude = magnitude * 10 + (*cursor - '0');
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) {
        return {default_pair_margin, out_of_range_text};
    }
    return {static_cast<std::int32_t>(value), {}};
}

const std::int32_t& pair_margin = loaded_margin.value;

std::string_view pair_margin_error() noexcept { return loaded_margin.error; }

}  // namespace quorvel
