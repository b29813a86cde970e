// An immutable index of intervals answering "which stored records overlap this range by enough".
//
//  - Built once from a sequence of records, which it copies (or takes over, when moved in). The stored records are sorted by
//    start, stably: records with equal starts keep the order they were given in, and records
//    given in ascending order of start are stored exactly as given.
//  - `starts` holds the stored records' starts in the same order, for a cache-friendly search.
//  - A query widens [start_q, end_q] by the margin on both sides (lo, hi), scans the records
//    with lo <= start <= hi in stored order, and accepts a record when its overlap with [lo, hi]
//    is at least half its own length or half the query's length (compared in double precision,
//    equality accepting). Bounds and lengths are computed in 64 bits: no overflow at the ends
//    of the 32-bit range.
//  - Build: O(n log n). Query: O(log n) plus one step per scanned record.
//  - Nothing changes after construction, so queries may run concurrently with each other.
//  - The only failures are std::bad_alloc and std::length_error from the containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/records.hpp"

namespace quorvel {

class IntervalSearch {
public:
    // Takes the records by value: a caller that hands them over with std::move avoids a copy.
    explicit IntervalSearch(Intervals records);

    // Positions (into records()) of the accepted records, in stored order, using `margin` to
    // widen the query; the caller reads the records in place.
    std::vector<std::size_t> overlapping_positions(std::int32_t start_q, std::int32_t end_q, std::int32_t margin) const;

    const Intervals& records() const noexcept { return intervals_; }

    // Copies of the accepted records: a thin wrapper over overlapping_positions.
    Intervals find_overlapping_intervals(std::int32_t start_q, std::int32_t end_q, std::int32_t margin) const;

private:
    Intervals intervals_;
    std::vector<std::int32_t> starts_;
};

}  // namespace quorvel
