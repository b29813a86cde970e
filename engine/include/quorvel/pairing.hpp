// Pairing of two interval sets into groups of records that nest or lie close to each other.
//
//  - Inputs are read in the order given, like a merge of two sequences ordered by start; they
//    are neither sorted nor checked, and never modified.
//  - Every group holds at least one record of each side. Groups come in the order they formed;
//    within a group, records come in the order they joined. A group's start and end are fixed
//    when it forms; records that join it later do not change them.
//  - The result owns its copies: each record's texts are copied once, into the group that takes
//    it. The candidate walk reads the inputs in place, so the cost is linear in the input size
//    plus the size of the result.
//  - Time differences are taken in 64 bits, so extreme times compare as exact arithmetic would.
//  - The only failure is exhausted memory (std::bad_alloc) or an oversized container
//    (std::length_error); the inputs are unchanged then.
#pragma once

#include <cstdint>

#include "quorvel/records.hpp"

namespace quorvel {

// Either record's span lies within the other's, bounds inclusive; equal starts always nest.
bool is_nested(const IntervalVar& first, const IntervalVar& second) noexcept;

// Starts or ends at most `margin` apart; a negative margin makes nothing close.
bool is_close(const IntervalVar& first, const IntervalVar& second, std::int32_t margin) noexcept;

bool intervals_match(const IntervalVar& first, const IntervalVar& second, std::int32_t margin) noexcept;

// Groups `original_side` (the first set) with `reference_side` (the second set).
Matches pair_intervals(const Intervals& original_side, const Intervals& reference_side, std::int32_t margin);

// The same with the process-wide pair_margin.
Matches pair_intervals(const Intervals& original_side, const Intervals& reference_side);

}  // namespace quorvel
