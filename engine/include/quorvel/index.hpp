// An immutable index of intervals answering "which stored records overlap this range by enough".
//
//  - Built once from records, which it copies into a compact store (or takes over, when a store
//    is moved in). The stored records are sorted by start, stably: records with equal starts keep
//    the order they were given in, and records given in ascending order of start are stored
//    exactly as given.
//  - A query widens [start_q, end_q] by the margin on both sides (lo, hi), scans the records
//    with lo <= start <= hi in stored order, and accepts a record when its overlap with [lo, hi]
//    is at least half its own length or half the query's length (compared in double precision,
//    equality accepting). Bounds and lengths are computed in 64 bits: no overflow at the ends
//    of the 32-bit range.
//  - The first record to scan is found through a bucket table: the range of starts is cut into
//    equal power-of-two widths, about one bucket per record, each bucket naming the first record
//    that starts in it or later; a binary search inside the bucket finishes the search. This
//    layout (32-byte records, texts in one buffer, bucket table) is the index's speed device;
//    its figures are in benchmarks/README.md.
//  - Build: O(n log n) (O(n) for input in order of start). Query: O(1) for evenly spread starts,
//    O(log n) at worst, plus one step per scanned record.
//  - Nothing changes after construction, so queries may run concurrently with each other.
//  - The only failures are std::bad_alloc and std::length_error from the containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/interval_store.hpp"
#include "quorvel/records.hpp"

namespace quorvel {

class IntervalSearch {
public:
    explicit IntervalSearch(IntervalStore records);
    explicit IntervalSearch(const Intervals& records) : IntervalSearch(IntervalStore(records)) {}

    // Positions (into records()) of the accepted records, in stored order, using `margin` to
    // widen the query; the caller reads the records in place.
    std::vector<std::size_t> overlapping_positions(std::int32_t start_q, std::int32_t end_q, std::int32_t margin) const;

    const IntervalStore& records() const noexcept { return records_; }

    // Copies of the accepted records: a thin wrapper over overlapping_positions.
    Intervals find_overlapping_intervals(std::int32_t start_q, std::int32_t end_q, std::int32_t margin) const;

private:
    // The position of the first record whose start is at least `low`.
    std::size_t first_at_or_after(std::int64_t low) const noexcept;

    IntervalStore records_;
    std::int64_t first_start_ = 0;       // start of the first stored record
    unsigned bucket_shift_ = 0;          // bucket b covers starts first_start_ + [b, b + 1) << shift
    std::vector<std::size_t> buckets_;   // first position of each bucket, then size()
};

}  // namespace quorvel
