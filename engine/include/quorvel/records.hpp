// Value records that carry every interval through the engine.
//
// Invariants the rest of the engine relies on:
//  - Records own everything they hold: texts are length-counted byte strings (embedded zero
//    bytes allowed) and a match owns copies of its intervals. Copying is deep; nothing is shared.
//  - No field is validated: start may exceed end, texts and arrays may be empty.
//  - The engine reads only start and end; text, original and nl are payload copied unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

struct IntervalVar {
    std::int32_t start = 0;
    std::int32_t end = 0;
    std::string text;
    std::string original;
    std::int32_t nl = 0;
};

struct MatchesVar {
    std::int32_t start = 0;
    std::int32_t end = 0;
    std::vector<IntervalVar> original;
    std::vector<IntervalVar> reference;
};

// The times of a record: all that the pairing decides on.
struct TimeSpan {
    std::int32_t start = 0;
    std::int32_t end = 0;
};

using Intervals = std::vector<IntervalVar>;
using Matches = std::vector<MatchesVar>;

// Length of an interval, widened so that extreme times cannot overflow.
constexpr std::int64_t length_of(const TimeSpan& span) noexcept {
    return std::int64_t{span.end} - std::int64_t{span.start};
}

constexpr TimeSpan span_of(const IntervalVar& interval) noexcept { return {interval.start, interval.end}; }

constexpr std::int64_t length_of(const IntervalVar& interval) noexcept { return length_of(span_of(interval)); }

}  // namespace quorvel
