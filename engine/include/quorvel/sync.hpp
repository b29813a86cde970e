// The time map that brings a reference track onto an original track's timeline.
//
// What the reader may rely on:
//  - A TimeMap is a short list of segments in ascending order of start. Together they cover every
//    32-bit time exactly once: the first starts at INT32_MIN, each one ends where the next starts,
//    the last ends at INT32_MAX + 1. A segment carries a reference time t inside [start, end) onto
//    the original's timeline as round(t * scale + offset), rounded half away from zero; the result
//    is 64-bit because a map may carry an extreme time beyond the 32-bit range.
//  - synchronize reads the tracks' times only (no text), takes them in any order and copies what it
//    needs; the caller's spans are not touched. Cues whose end is not after their start carry no
//    time and are left out of the search.
//  - A candidate map is rated by the overlap of the cues it brings together: a mapped reference cue
//    scores the best overlap it has with an original cue, divided by the longer of the two lengths.
//    The map returned has the best total score, less a fixed penalty per break, among the maps the
//    search considers:
//      * scales: 1 and every ratio between the frame rates 23.976 (24000/1001), 24, 25 and 30;
//      * offsets: a constant offset of up to max_offset ms, each break moving it by up to max_offset
//        more, so that every segment's offset lies within +-(1 + max_breaks) * max_offset *
//        max(1, scale);
//      * up to max_breaks breaks, each between two consecutive reference cues (a segment boundary
//        lies at the start of the first reference cue after the break).
//    The identity (one segment, scale 1, offset 0) is returned unless some map rates strictly
//    better; so identical tracks, empty tracks and tracks with nothing in common give the identity.
//  - Failures: std::invalid_argument for a negative max_offset or max_breaks; std::bad_alloc when
//    memory is exhausted. Nothing else throws.
//
// Cost, for n reference and m original cues, S = 13 scales, w = the number of original cues whose
// start lies within the offset window of one reference cue (about 35 per 60 s of window for
// dialogue), K <= S * (max_breaks + 3) candidate offsets and B = the breaks actually needed:
//   voting O(S * n * w + V log V) for the V votes cast, rating O(K * n * log m), choosing the breaks
//   O(n * K * (B + 1)) time and O(n * K * (B + 1)) bytes. With the defaults this is linear in the
//   tracks' length: about 3 ms for 2,000 cues a side and 40 ms for 20,000 on a 2-core machine
//   (benchmarks/sync_quality prints the table). A window as wide as the whole film makes w = m, so
//   voting grows to O(S * n * m).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvel/records.hpp"

namespace quorvel {

inline constexpr std::int64_t default_max_offset = 60000;
inline constexpr std::int64_t default_max_breaks = 2;

struct TimeSegment {
    std::int64_t start = 0;  // first reference time of the segment
    std::int64_t end = 0;    // one past its last reference time
    double scale = 1.0;
    double offset = 0.0;
};

struct TimeMap {
    std::vector<TimeSegment> segments;

    // The original time of a reference time: the segment holding t, applied to t.
    std::int64_t operator()(std::int32_t time) const noexcept;
};

// The map of one segment, scale 1 and offset 0, covering every time.
TimeMap identity_map();

// Finds the map carrying the reference's times onto the original's timeline (see above).
TimeMap synchronize(std::span<const TimeSpan> original, std::span<const TimeSpan> reference,
                    std::int64_t max_offset = default_max_offset, std::int64_t max_breaks = default_max_breaks);

}  // namespace quorvel
