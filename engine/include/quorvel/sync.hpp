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
//  - A mapped reference cue is rated against the original cue overlapping it best, in two ways:
//    by overlap (the overlap divided by the longer of the two lengths) and by closeness (the mean,
//    over its start and its end, of 1 - distance / 1 s, 0 from 1 s on). Closeness chooses the map:
//    a cue brought onto some cue by chance overlaps it about half as well as its true partner does
//    when both tracks were timed on their own, but rarely lies within 1 s of it at both ends.
//    The map returned has the best total closeness, less a fixed penalty per break, among the maps
//    the search considers:
//      * one scale for the whole map (a film has one frame-rate ratio; breaks move the offset
//        only): 1 or a ratio between the frame rates 23.976 (24000/1001), 24, 25 and 30;
//      * offsets: a constant offset of up to max_offset ms, each break moving it by up to max_offset
//        more, so that every segment's offset lies within +-(1 + max_breaks) * max_offset *
//        max(1, scale);
//      * up to max_breaks breaks, each between two consecutive reference cues (a segment boundary
//        lies at the start of the first reference cue after the break).
//    The candidates: for each scale, every pair of cues of like length (their start offsets and end
//    offsets within 0.5 s of each other) votes for its offset; the densest peaks of votes, each
//    fitted to the cue pairs it brings together, are candidate segments. A candidate's fit is the
//    mean of the residuals of the pairs' starts and ends (pairs overlapping at least half) within
//    0.6 s of the peak's offset, taken again around that mean: the fit stays with the peak it
//    stands for, where the median of all its pairs could lie with a larger segment's offset 2 s
//    away. For each scale in turn, a dynamic programme over the reference cues in order picks one
//    of its candidates per cue, paying the penalty (3 cue ratings) for each change; each resulting
//    segment's offset is fitted again on its own cues. Then, for the best scale: the reference cues
//    its map leaves unmatched (closeness below 0.5) vote again on their own, with the original cues
//    it leaves unmatched, so that a segment of a few cues, too weak among the whole track's votes,
//    becomes a candidate, and the breaks are chosen once more among all the scale's candidates
//    with the claims respected: two releases of
//    one film never bring two stretches of the reference onto the same original cues, so each
//    original cue matched under the first choice (closeness at least 0.5) is claimed by the
//    reference cue in the longest run of one candidate, and every rating that lands on a cue
//    claimed by another reference cue counts 0 in the second choice. A short stretch that chance
//    lays onto cues matched elsewhere then loses to its true offset, and a break that chance moved
//    a few cues goes back to where the claims agree. Last, the map is fitted to the cue pairs it
//    brings together, three times over: each reference cue and the original cue it lies closest
//    to, both their starts and both their ends within 800 ms (two releases timed apart by up to
//    400 ms each; a pair of chance lies anywhere within reach), each original cue in one pair.
//    The scale becomes, of the map's scale and its twins (scales within 0.2%: 1 and 24/23.976,
//    25/24 and 25/23.976, ...), the one nearest the least-squares slope of the pairs' starts and
//    ends, each segment with an offset of its own; each segment's offset then is the mean
//    residual of its pairs.
//    The identity (one segment, scale 1, offset 0) is returned unless some map rates strictly
//    better; so identical tracks give the identity.
//    Twin ratios part by 0.3 s over a film of 5 minutes, less than two independent timings
//    scatter (up to 0.8 s per pair). Closeness rates every pair within 1 s alike and took the
//    wrong twin for about a third of such films; the slope of the pairs clean of chance takes it
//    less often, and where it still errs, so does a least-squares slope of the true pairs (seeds
//    1-10 of the 80-cue trust rows): the data do not tell. Over seeds 1-70 of the trust rows
//    (benchmarks/bench_sync.py --only trust --trust-seeds 70; 910 films each of 80 and of 150 cues,
//    all ratios), this fit and the second vote among unmatched original cues took the films
//    meeting 100 ms at the 95th percentile from 73% to 86% at 150 cues, from 58% to 62% at 80.
//  - confidence, in [0, 1]: the mean closeness under the map set against a control, the best mean
//    closeness under the map moved by 7 to 53 s either way (32 shifts): (rating - control) /
//    (1 - control), clipped. Closeness, like the search: two releases timed apart overlap their
//    partners little better than chance does, but lie much closer to them. The best, not the
//    average, because the search itself picks the best of many offsets: a short track set against
//    a long, dense one meets some of it by chance; of 200 unrelated clips of 8-40 cues set against
//    a film of 1,200 cues, 6 are accepted at 0.3 (10 when the confidence measured overlap against
//    16 shifts). Tracks of one film score 0.3-1 (when both are re-timed by up to 400 ms on their
//    own: at least 0.32 at 80 cues, 0.38 at 150, 0.44 at 2,000), unrelated tracks 0-0.13,
//    shrinking as the tracks grow. An empty reference gives the identity with confidence 1
//    (nothing to carry), an original without timed cues confidence 0.
//    at_window_edge: some segment's offset lies within 2 s (or half the window) of the edge of its
//    offset window, where the truth may lie beyond it. The caller decides what to trust.
//  - synchronize reads the tracks' times only (no text), takes them in any order and copies what it
//    needs; the caller's spans are not touched. Cues whose end is not after their start carry no
//    time and are left out of the search.
//  - A long search can be stopped with a StopCheck. Its steps are the cue pairs examined in the
//    voting, the bins scanned for peaks, the cues rated and the states the dynamic programme
//    weighs. Measured on this project's machine (4,000 cues and a window of 10^9 ms, 20,000 cues
//    and the default window), the check is asked about every 0.3 ms and at most 4.5 ms apart.
//  - Failures: std::invalid_argument for a negative max_offset or max_breaks; std::bad_alloc when
//    memory is exhausted; WalkStopped when the stop check says to stop. Nothing else throws.
//
// Cost, for n reference and m original cues, S = 13 scales, w = the number of original cues whose
// start lies within the offset window of one reference cue and whose length lies within 1 s of its
// own (about a third of the 17 per 60 s of window either way for dialogue; some 30 with the
// defaults), K <= S * (min(max_breaks, 14) + 3) candidate offsets, k <= min(max_breaks, 14) + 3 of
// them per scale, L = min(max_breaks, n - 1) + 1, and B = 0 when the best map breaks no more often
// than max_breaks allows, else L:
//   voting O((S + 1) * (n * min(w, 64) + m)), over histograms of at most 2^16 bins per scale (the
//   second vote is one scale's, over the unmatched cues only, adding at most 5 candidates);
//   rating O((K + k + 40) * n * (log m + min(c, 16))), c the original cues overlapping one time
//   (the final choice rates its k + 5 candidates once more; the confidence's 32 shifts and the three
//   rounds of the final fit rate every cue 35 times);
//   choosing the breaks O(n * (K + 2k + 10) * (B + 1)) time and O(n * L * (2 + (k + 5) / 8) +
//   12 * n * (k + 5)) bytes of memory (at most 1 KB per cue for max_breaks up to 100: measured on
//   200,000 unrelated cues by benchmarks/sync_growth.py, 869 bytes at 100, 439 at 14, 232 at 2).
//   Where cues crowd together (thousands starting within a minute, or a cue every 100-200 ms over
//   a film) three bounds keep the search linear, none of which dialogue reaches, so its maps are
//   unchanged (checked map for map on 211 generated pairs of 80 to 2,000 cues):
//     * a reference cue votes with at most 64 original cues of an agreeing length in its window,
//       at an even stride through them when there are more, begun at a phase of its own (reading
//       only the cues of agreeing lengths, with the same votes, also took dialogue's search from
//       89 to 63 ms at 16,000 cues a side: processor time, one run, before the other changes);
//     * a rating looks at most at 16 original cues; where half that many start late in the mapped
//       cue, it looks at the 12 whose starts lie nearest the mapped start instead;
//     * a scale is a candidate only when its highest peak stands 30 standard deviations above the
//       votes chance crowds beside it, once that background reaches 50 votes a window (dialogue's
//       holds one or two for a short film; a long film's true scale stands hundreds of standard
//       deviations out); when no scale does, only the scale of the highest peak is kept.
//   Measured (benchmarks/sync_growth.py, shared 2-core machine, one run): time grows about 2x per
//   doubling from 1,000 to 64,000 cues on every family; cues within one minute take 1.8-2.5x the
//   time of dialogue of the same size, a two-hour film 0.9-2.8x (before these bounds: 6.5-8.1x
//   and up to 11.8x).
//   With the defaults this is linear in the tracks' length: 12-30 ms for 2,000 cues a side and
//   120-470 ms for 20,000 on this project's shared 2-core machine, most of it in the voting
//   (benchmarks/sync_quality.cpp prints the table); the claims, the final fits and the 32 shifts
//   cost 1.2x the search without them (processor time, 2,000 and 20,000 cues, one run).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvel/records.hpp"
#include "quorvel/stop_check.hpp"

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
    // How far the map stands above chance, in [0, 1] (see above); 1 for a map made by hand.
    double confidence = 1.0;
    // Whether some segment's offset lies at the edge of the offset window, where the truth may
    // lie beyond it.
    bool at_window_edge = false;

    // The original time of a reference time: the segment holding it, applied to it. A map without
    // segments leaves every time as it is.
    std::int64_t operator()(std::int32_t time) const noexcept;
};

// Whether the segments cover every 32-bit time exactly once, as described above: a map that
// synchronize returns always does.
bool covers_every_time(const TimeMap& map) noexcept;

// The one rounding of a mapped time: round(time * scale + offset), halves away from zero, in
// double precision. Every mapping of a time, here and in the Python package, goes through it.
double mapped_time(double scale, double offset, double time) noexcept;

// The map of one segment, scale 1 and offset 0, covering every time.
TimeMap identity_map();

// Finds the map carrying the reference's times onto the original's timeline (see above).
TimeMap synchronize(std::span<const TimeSpan> original, std::span<const TimeSpan> reference,
                    std::int64_t max_offset = default_max_offset, std::int64_t max_breaks = default_max_breaks,
                    StopCheck stop_requested = nullptr);

}  // namespace quorvel
