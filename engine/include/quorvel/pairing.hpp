// Pairing of two interval sets into groups of records that nest or lie close to each other.
//
//  - Inputs are read in the order given, like a merge of two sequences ordered by start; they
//    are neither sorted nor checked, and never modified.
//  - Every group holds at least one record of each side. Groups come in the order they formed;
//    within a group, records come in the order they joined. A group's start and end are fixed
//    when it forms; records that join it later do not change them. Only the last group formed
//    ever gains records, so each group's records are one contiguous run of positions.
//  - pair_positions names the grouped records by their positions in the inputs and copies no
//    record; pair_intervals builds owning copies from it, copying each record's texts once, into
//    the group that takes it. The walk reads the inputs in place.
//  - Cost: a group examines the records of the other side from the next one on while they start
//    before its anchor's end (or lie close to it). So the walk is linear in the size of the inputs
//    plus the size of the result when each record overlaps a bounded number of others, and
//    quadratic at worst: with n records a side that all overlap each other but do not match (as
//    A[i] = [1001 i, 1001 i + 2^30], B[i] = [1001 i, 1001 i + 2^30 + 1]), each of about n groups
//    examines every later record, about n^2 / 2 steps (2 x 80,000 records: some 3 * 10^9 steps,
//    10 s and more).
//  - A long walk can be stopped with a StopCheck (quorvel/stop_check.hpp; its steps are below).
//  - Time differences are taken in 64 bits, so extreme times compare as exact arithmetic would.
//  - The only failures are exhausted memory (std::bad_alloc), an oversized container
//    (std::length_error) and a stop (WalkStopped); the inputs are unchanged then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quorvel/records.hpp"
#include "quorvel/stop_check.hpp"

namespace quorvel {

// A walk's steps, for its StopCheck, are the records its groups examine, counted after each group
// (so a long walk asks every 0.2 to 0.5 ms; one group examines at most one side's records).

// Either span lies within the other, bounds inclusive; equal starts always nest.
bool is_nested(const TimeSpan& first, const TimeSpan& second) noexcept;

// Starts or ends at most `margin` apart; a negative margin makes nothing close.
bool is_close(const TimeSpan& first, const TimeSpan& second, std::int32_t margin) noexcept;

// Nested or close: whether two records belong in one group.
bool intervals_match(const TimeSpan& first, const TimeSpan& second, std::int32_t margin) noexcept;

// The groups of a pairing, naming records by their positions in the two inputs.
struct PairedPositions {
    struct Group {
        std::int32_t start = 0;
        std::int32_t end = 0;
        std::size_t original_begin = 0;   // run of original_positions
        std::size_t original_end = 0;
        std::size_t reference_begin = 0;  // run of reference_positions
        std::size_t reference_end = 0;
    };
    std::vector<Group> groups;
    std::vector<std::size_t> original_positions;   // positions in the first set
    std::vector<std::size_t> reference_positions;  // positions in the second set

    std::span<const std::size_t> originals_of(const Group& group) const noexcept {
        return std::span(original_positions).subspan(group.original_begin, group.original_end - group.original_begin);
    }
    std::span<const std::size_t> references_of(const Group& group) const noexcept {
        return std::span(reference_positions).subspan(group.reference_begin, group.reference_end - group.reference_begin);
    }
};

// Groups the spans of the first set (`original_side`) with those of the second set
// (`reference_side`), by position.
PairedPositions pair_positions(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side,
                               std::int32_t margin, StopCheck stop_requested = nullptr);

// The same groups as owning records: a thin wrapper over pair_positions.
Matches pair_intervals(const Intervals& original_side, const Intervals& reference_side, std::int32_t margin);

// Sound pairing of two tracks: every record ends up in exactly one group or in exactly one list
// of unpaired records.
//
//  - Each side is put in order of start, then of end, before the walk; records with equal spans
//    keep their input order. So the order of the inputs changes at most which of several records
//    with equal spans takes which place.
//  - The same predicates decide what belongs together. A group forms around the longer record of
//    a matching pair (the original one on a tie) and takes the matching records of the other side
//    that follow, as the walk above does, except those that also match the next record on the
//    anchor's side with starts and ends nearer in sum (they are left to it); records it passes
//    over stay available. The walk moves
//    on only past the record it has dealt with; a record that matches nothing is offered to the
//    last group and otherwise listed as unpaired.
//  - A group's start and end cover every record in it, those that joined later included. Groups
//    come in order of formation; inside a group and in the unpaired lists, positions come in that
//    order of start and end.
//  - Cost: O(n log n) for the two sorts. A group examines the other side's records one by one,
//    up to 32 of them (8 once that side has an index; ordinary tracks hardly ever need more). A
//    longer scan goes through an index of that side, built once, in O(n), the first time one is
//    needed: a tree over the records in order of start holding the least and greatest end of
//    those still available, whose nodes are skipped when no record in their box of starts and
//    ends can match the anchor, or when every one of them belongs rather to the anchor's
//    follower. A node costs O(1), taking a record out O(log n). Results never depend on the
//    index: it skips only records the scan would pass over.
//    So the crowded tracks that cost pair_positions n^2 / 2 steps (the example above; a nested
//    chain, A[i] = [1001 i, 2^30 - 1001 i] and B[i] one longer, whose every record matches all
//    later ones) take O(n log n): 60 to 90 steps a group at 2 x 100,000 records, and in
//    pair_tracks 1.2x to 2.4x the time of ordinary tracks from 1,000 to 64,000 records
//    (benchmarks/bench_growth.py).
//    The bound that remains: records that match the anchor but that it does not take (they
//    belong to its follower) are examined one by one when their box also holds records it takes,
//    or does not lie wholly on the follower's side; later groups can examine them again, so a
//    family built that way can still cost up to n^2 / 2 steps.
//  - It takes a StopCheck as pair_positions does; the steps are the records and index nodes a
//    group examines.
//  - The only failures are those of pair_positions; the inputs are unchanged then.
struct AlignedPositions {
    PairedPositions paired;
    std::vector<std::size_t> unpaired_original;   // positions in the first set
    std::vector<std::size_t> unpaired_reference;  // positions in the second set
};

AlignedPositions align_positions(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side,
                                 std::int32_t margin, StopCheck stop_requested = nullptr);

}  // namespace quorvel
