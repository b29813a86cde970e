// The process-wide margin, read once from the environment variable PAIR_MARGIN.
//
//  - pair_margin is written during static initialisation of the loaded binary and only read
//    afterwards; it needs no lock. Its default is 1000.
//  - A value that does not parse leaves pair_margin at its default and records the failure in
//    pair_margin_error(), so that whoever loads the engine can refuse to start in an orderly way
//    instead of ending the process during loading.
//  - parse_margin follows the decimal rules of std::stoi: leading white space, an optional sign,
//    digits up to the first non-digit; the rest is ignored.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvel {

inline constexpr std::int32_t default_pair_margin = 1000;

struct MarginReading {
    std::int32_t value = default_pair_margin;
    // Empty when the text parsed; otherwise "invalid stoi argument" or "stoi argument out of range".
    std::string_view error;
};

// Parses a decimal margin. A null pointer stands for an unset variable and gives the default.
MarginReading parse_margin(const char* text) noexcept;

// The margin in force for this process.
extern const std::int32_t& pair_margin;

// Why PAIR_MARGIN was refused at load time; empty when it was accepted or unset.
std::string_view pair_margin_error() noexcept;

}  // namespace quorvel
