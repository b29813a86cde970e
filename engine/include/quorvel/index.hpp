// An immutable index of intervals answering "which stored records overlap this range by enough".
//
//  - Built once from records, which it copies into an IntervalStore (or takes over, when a store
//    is moved in). The stored records are sorted by start, stably: records with equal starts keep
//    the order they were given in, and records given in ascending order of start are stored
//    exactly as given.
//  - A query widens [start_q, end_q] by the margin on both sides (lo, hi), scans the records
//    with lo <= start <= hi in stored order, and accepts a record when its overlap with [lo, hi]
//    is at least half its own length or half the query's length (compared in double precision,
//    equality accepting). Bounds and lengths are computed in 64 bits: no overflow at the ends
//    of the 32-bit range.
//  - The first record to scan is found by a binary search over the store's slots, which hold the
//    times next to each other; a scanned record's texts are read only when it is accepted.
//  - Build: O(n log n), O(n) for records in order of start. Query: O(log n) plus one step per
//    scanned record; it allocates nothing.
//  - Nothing changes after construction, so queries may run concurrently with each other.
//  - The only failures are std::bad_alloc and std::length_error from the containers.
//
// The store's layout is the index's speed device; its figures are in benchmarks/README.md.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "quorvel/interval_store.hpp"
#include "quorvel/records.hpp"

namespace quorvel {

class IntervalSearch {
public:
    explicit IntervalSearch(IntervalStore records);
    explicit IntervalSearch(const Intervals& records);

    // The one query: calls `visit(position)` for each accepted record, in stored order, with its
    // position in records(), where the caller reads it in place; stops early, returning false,
    // when a call returns false. Nothing is allocated.
    template <typename Visit>
    bool for_each_overlapping(std::int32_t start_q, std::int32_t end_q, std::int32_t margin, Visit&& visit) const;

    const IntervalStore& records() const noexcept { return records_; }

private:
    // The position of the first record whose start is at least `low`.
    std::size_t first_at_or_after(std::int64_t low) const noexcept;

    IntervalStore records_;
};

template <typename Visit>
bool IntervalSearch::for_each_overlapping(std::int32_t start_q, std::int32_t end_q, std::int32_t margin,
                                          Visit&& visit) const {
    const std::int64_t low = std::int64_t{start_q} - margin;
    const std::int64_t high = std::int64_t{end_q} + margin;
    const double half_query_length = 0.5 * static_cast<double>(std::int64_t{end_q} - std::int64_t{start_q});
    for (std::size_t position = first_at_or_after(low); position < records_.size(); ++position) {
        const TimeSpan record = records_.span_of(position);
        if (record.start > high) {
            break;
        }
        std::int64_t overlap = std::min<std::int64_t>(record.end, high) - std::max<std::int64_t>(record.start, low);
        overlap = std::max<std::int64_t>(overlap, 0);
        const double covered = static_cast<double>(overlap);
        if ((covered >= 0.5 * static_cast<double>(length_of(record)) || covered >= half_query_length) &&
            !visit(position)) {
            return false;
        }
    }
    return true;
}

}  // namespace quorvel
