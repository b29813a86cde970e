#include <algorithm>
#include <limits>
#include <numeric>
#include <optional>

#include "quorvel/pairing.hpp"
#include "walk_steps.hpp"

namespace quorvel {

namespace {

enum class Side { original, reference };

// How far apart two spans lie: the distance of their starts plus that of their ends, exact.
constexpr std::int64_t distance(const TimeSpan& first, const TimeSpan& second) noexcept {
    const std::int64_t starts = std::int64_t{first.start} - std::int64_t{second.start};
    const std::int64_t ends = std::int64_t{first.end} - std::int64_t{second.end};
    return (starts < 0 ? -starts : starts) + (ends < 0 ? -ends : ends);
}

constexpr Side opposite(Side side) noexcept { return side == Side::original ? Side::reference : Side::original; }

// A group examines at most this many of the other side's records one by one; a longer scan goes
// through the side's EndIndex instead. Ordinary tracks stay below it (their scans examine a
// handful of records), so they never build an index.
constexpr std::size_t direct_scan_limit = 32;
// Once a side has an index, its scans have run long before; they go through it sooner.
constexpr std::size_t indexed_direct_scan_limit = 8;

// The records of one side, in rank order, as the leaves of a complete binary tree whose nodes hold
// the least and the greatest end of the records below them that no group holds yet (a node with
// none holds least > greatest). With the ranks' starts, which are in order, a node bounds its
// records by a box of starts and ends, and a scan skips every node whose box can hold no record it
// takes. Built in O(n); taking a record out costs O(log n).
class EndIndex {
public:
    EndIndex(std::span<const TimeSpan> spans, const std::vector<bool>& grouped) {
        while (leaves_ < spans.size()) {
            leaves_ *= 2;
        }
        least_.assign(2 * leaves_, none_least);
        greatest_.assign(2 * leaves_, none_greatest);
        for (std::size_t rank = 0; rank < spans.size(); ++rank) {
            if (!grouped[rank]) {
                least_[leaves_ + rank] = greatest_[leaves_ + rank] = spans[rank].end;
            }
        }
        for (std::size_t node = leaves_ - 1; node >= 1; --node) {
            pull(node);
        }
    }

    void remove(std::size_t rank) noexcept {
        std::size_t node = leaves_ + rank;
        least_[node] = none_least;
        greatest_[node] = none_greatest;
        for (node /= 2; node >= 1; node /= 2) {
            pull(node);
        }
    }

    std::size_t leaves() const noexcept { return leaves_; }
    bool holds_any(std::size_t node) const noexcept { return least_[node] <= greatest_[node]; }
    std::int64_t least_end(std::size_t node) const noexcept { return least_[node]; }
    std::int64_t greatest_end(std::size_t node) const noexcept { return greatest_[node]; }

    // The first rank from `rank` on that no group holds, or `leaves()`; counts the nodes it visits.
    std::size_t first_available(std::size_t rank, std::size_t& visited) const noexcept {
        return first_available(1, 0, leaves_, rank, visited);
    }

private:
    static constexpr std::int64_t none_least = std::numeric_limits<std::int64_t>::max();
    static constexpr std::int64_t none_greatest = std::numeric_limits<std::int64_t>::min();

    void pull(std::size_t node) noexcept {
        least_[node] = std::min(least_[2 * node], least_[2 * node + 1]);
        greatest_[node] = std::max(greatest_[2 * node], greatest_[2 * node + 1]);
    }

    // Over the node covering ranks [begin, end).
    std::size_t first_available(std::size_t node, std::size_t begin, std::size_t end, std::size_t rank,
                                std::size_t& visited) const noexcept {
        ++visited;
        if (end <= rank || !holds_any(node)) {
            return leaves_;
        }
        if (end - begin == 1) {
            return begin;
        }
        const std::size_t middle = begin + (end - begin) / 2;
        const std::size_t found = first_available(2 * node, begin, middle, rank, visited);
        return found != leaves_ ? found : first_available(2 * node + 1, middle, end, rank, visited);
    }

    std::size_t leaves_ = 1;
    std::vector<std::int64_t> least_;
    std::vector<std::int64_t> greatest_;
};

// Records whose starts lie in [least_start, greatest_start] and ends in [least_end, greatest_end].
struct SpanBox {
    std::int64_t least_start;
    std::int64_t greatest_start;
    std::int64_t least_end;
    std::int64_t greatest_end;
};

// The greatest value over [least, greatest] of |near - x| - |far - x|, which is monotone in x.
constexpr std::int64_t greatest_gain(std::int64_t near, std::int64_t far, std::int64_t least,
                                     std::int64_t greatest) noexcept {
    const auto gain = [&](std::int64_t x) { return (near < x ? x - near : near - x) - (far < x ? x - far : far - x); };
    return std::max(gain(least), gain(greatest));
}

// Whether some record in the box may match `span` (the predicates of pairing.hpp, per bound).
constexpr bool may_match(const TimeSpan& span, const SpanBox& box, std::int64_t margin) noexcept {
    const std::int64_t start = span.start;
    const std::int64_t end = span.end;
    const bool close = margin >= 0 && ((box.greatest_start >= start - margin && box.least_start <= start + margin) ||
                                       (box.greatest_end >= end - margin && box.least_end <= end + margin));
    return close || (box.greatest_start >= start && box.least_end <= end) ||
           (box.least_start <= start && box.greatest_end >= end);
}

// Whether every record in the box matches `span`.
constexpr bool all_match(const TimeSpan& span, const SpanBox& box, std::int64_t margin) noexcept {
    const std::int64_t start = span.start;
    const std::int64_t end = span.end;
    const bool close = margin >= 0 && ((box.least_start >= start - margin && box.greatest_start <= start + margin) ||
                                       (box.least_end >= end - margin && box.greatest_end <= end + margin));
    return close || (box.least_start >= start && box.greatest_end <= end) ||
           (box.greatest_start <= start && box.least_end >= end);
}

// One side in order of start, then of end. The walk names records by rank in this order; `positions[rank]`
// is the record's position in the input.
struct OrderedSide {
    std::vector<std::size_t> positions;
    std::vector<TimeSpan> spans;      // spans[rank]
    std::vector<bool> grouped;        // grouped[rank]: a group holds the record
    std::vector<std::size_t> ranks;   // ranks held by groups, one run per group
    std::vector<std::size_t> unpaired;
    std::size_t next = 0;             // the first rank the main walk has not dealt with
    std::optional<EndIndex> index;    // built the first time a scan of this side runs long

    explicit OrderedSide(std::span<const TimeSpan> input) : positions(input.size()), grouped(input.size(), false) {
        std::iota(positions.begin(), positions.end(), std::size_t{0});
        std::stable_sort(positions.begin(), positions.end(),
                         [&](std::size_t first, std::size_t second) {
                             return input[first].start != input[second].start ? input[first].start < input[second].start
                                                                              : input[first].end < input[second].end;
                         });
        spans.reserve(input.size());
        for (std::size_t position : positions) {
            spans.push_back(input[position]);
        }
    }

    // The first record from `next` on that no group holds, or null; adds the records passed over
    // to `examined`.
    const TimeSpan* next_available(std::size_t& examined) const noexcept {
        std::size_t rank = next;
        while (rank < spans.size() && grouped[rank]) {
            ++rank;
        }
        examined += rank - next;
        return rank < spans.size() ? &spans[rank] : nullptr;
    }

    // A group takes the record at `rank`.
    void mark_grouped(std::size_t rank) noexcept {
        grouped[rank] = true;
        if (index) {
            index->remove(rank);
        }
    }

    // Moves `next` past records that a group has already taken; true while records are left.
    bool has_next() noexcept {
        while (next < spans.size() && grouped[next]) {
            ++next;
        }
        return next < spans.size();
    }
};

class AlignmentWalk {
public:
    AlignmentWalk(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side, std::int32_t margin,
                  StopCheck stop_requested)
        : originals_(original_side), references_(reference_side), margin_(margin), steps_(stop_requested) {}

    AlignedPositions run() {
        while (originals_.has_next() && references_.has_next()) {
            const TimeSpan& original = originals_.spans[originals_.next];
            const TimeSpan& reference = references_.spans[references_.next];
            if (intervals_match(original, reference, margin_)) {
                build_group(length_of(original) < length_of(reference) ? Side::reference : Side::original);
            } else {
                settle(original.start <= reference.start ? Side::original : Side::reference);
            }
        }
        while (originals_.has_next()) {
            settle(Side::original);
        }
        while (references_.has_next()) {
            settle(Side::reference);
        }
        return result();
    }

private:
    OrderedSide& side_of(Side side) noexcept { return side == Side::original ? originals_ : references_; }

    // Adds the record at `rank` of `side` to the last group, the only one that grows, and widens
    // the group's span to cover it.
    void add_to_last_group(Side side, std::size_t rank) {
        OrderedSide& own = side_of(side);
        own.ranks.push_back(rank);
        own.mark_grouped(rank);
        PairedPositions::Group& group = groups_.back();
        (side == Side::original ? group.original_end : group.reference_end) += 1;
        group.start = std::min(group.start, own.spans[rank].start);
        group.end = std::max(group.end, own.spans[rank].end);
    }

    // Whether `candidate`, which matches `anchor`, belongs rather to `following`, the record after
    // the anchor on its side: it matches that one too, with starts and ends nearer in sum.
    bool prefers(const TimeSpan* following, const TimeSpan& anchor, const TimeSpan& candidate) const noexcept {
        return following != nullptr && intervals_match(*following, candidate, margin_) &&
               distance(*following, candidate) < distance(anchor, candidate);
    }

    // Whether the group around `anchor` takes `candidate`, a record of the other side from that
    // side's next one on (`first`: that next record, the anchor's partner, always taken).
    bool takes(const TimeSpan& anchor, const TimeSpan* following, const TimeSpan& candidate, bool first) const noexcept {
        return (is_close(anchor, candidate, margin_) || is_nested(anchor, candidate)) &&
               (first || !prefers(following, anchor, candidate));
    }

    // Forms a group around the next record of `anchor_side` and takes every record of the other
    // side that matches it, from that side's next record on, passing over (and leaving available)
    // those that do not match or belong rather to the anchor's follower, until one neither starts
    // before the anchor's end nor is close. The first candidate, the anchor's partner in the
    // matching pair, is always taken.
    void build_group(Side anchor_side) {
        const Side candidate_side = opposite(anchor_side);
        OrderedSide& anchors = side_of(anchor_side);
        OrderedSide& candidates = side_of(candidate_side);
        const std::size_t anchor_rank = anchors.next++;
        const TimeSpan anchor = anchors.spans[anchor_rank];

        PairedPositions::Group& group = groups_.emplace_back();
        group.start = anchor.start;
        group.end = anchor.end;
        group.original_begin = group.original_end = originals_.ranks.size();
        group.reference_begin = group.reference_end = references_.ranks.size();
        add_to_last_group(anchor_side, anchor_rank);

        std::size_t examined = 0;
        const TimeSpan* following = anchors.next_available(examined);
        taken_.clear();
        if (!scan_directly(anchor, following, candidates, examined)) {
            taken_.clear();
            scan_with_index(anchor, following, candidates, examined);
        }
        for (std::size_t rank : taken_) {
            add_to_last_group(candidate_side, rank);
        }
        steps_.take(examined);
    }

    // The scan of build_group record by record, into taken_ in order of rank; false, with the scan
    // unfinished, once it has examined direct_scan_limit records.
    bool scan_directly(const TimeSpan& anchor, const TimeSpan* following, const OrderedSide& candidates,
                       std::size_t& examined) {
        const std::size_t limit = std::min(candidates.spans.size(),
                                           candidates.next + (candidates.index ? indexed_direct_scan_limit : direct_scan_limit));
        for (std::size_t rank = candidates.next; rank < limit; ++rank) {
            if (candidates.grouped[rank]) {
                continue;
            }
            const TimeSpan& candidate = candidates.spans[rank];
            if (takes(anchor, following, candidate, rank == candidates.next)) {
                taken_.push_back(rank);
            }
            if (!(candidate.start < anchor.end || is_close(anchor, candidate, margin_))) {
                examined += rank + 1 - candidates.next;
                return true;
            }
        }
        examined += limit - candidates.next;
        return limit == candidates.spans.size();
    }

    // The same scan through the candidates' EndIndex: first the end of the scan, the first record
    // no group holds from those starting at the anchor's end on that is not close (every record
    // starting before is examined); then the records up to it, skipping every node of the index
    // whose box holds no record the group takes.
    void scan_with_index(const TimeSpan& anchor, const TimeSpan* following, OrderedSide& candidates,
                         std::size_t& examined) {
        if (!candidates.index) {
            candidates.index.emplace(candidates.spans, candidates.grouped);
            examined += candidates.spans.size();
        }
        const EndIndex& index = *candidates.index;
        const std::size_t first = candidates.next;
        const auto starts_before_end = std::partition_point(
            candidates.spans.begin() + static_cast<std::ptrdiff_t>(first), candidates.spans.end(),
            [&](const TimeSpan& span) { return span.start < anchor.end; });
        const std::size_t size = candidates.spans.size();
        std::size_t end = size;
        const std::size_t tail = static_cast<std::size_t>(starts_before_end - candidates.spans.begin());
        for (std::size_t rank = tail < size ? index.first_available(tail, examined) : size; rank < size;
             rank = rank + 1 < size ? index.first_available(rank + 1, examined) : size) {
            if (!is_close(anchor, candidates.spans[rank], margin_)) {
                end = rank + 1;
                break;
            }
        }
        taken_.push_back(first);
        collect(anchor, following, candidates, 1, 0, index.leaves(), first + 1, end, examined);
    }

    // Adds to taken_, in order of rank, the records of ranks [begin, end) under `node` (which
    // covers [node_begin, node_end)) that the group takes.
    void collect(const TimeSpan& anchor, const TimeSpan* following, const OrderedSide& candidates, std::size_t node,
                 std::size_t node_begin, std::size_t node_end, std::size_t begin, std::size_t end,
                 std::size_t& examined) {
        const EndIndex& index = *candidates.index;
        ++examined;
        const std::size_t low = std::max(node_begin, begin);
        const std::size_t high = std::min(node_end, end);
        if (low >= high || !index.holds_any(node)) {
            return;
        }
        if (node_end - node_begin == 1) {
            if (takes(anchor, following, candidates.spans[low], false)) {
                taken_.push_back(low);
            }
            return;
        }
        const SpanBox box{.least_start = candidates.spans[low].start,
                          .greatest_start = candidates.spans[high - 1].start,
                          .least_end = index.least_end(node),
                          .greatest_end = index.greatest_end(node)};
        if (!may_match(anchor, box, margin_)) {
            return;
        }
        if (following != nullptr && all_match(*following, box, margin_) &&
            greatest_gain(following->start, anchor.start, box.least_start, box.greatest_start) +
                    greatest_gain(following->end, anchor.end, box.least_end, box.greatest_end) <
                0) {
            return;  // every record in the box belongs rather to the follower
        }
        const std::size_t middle = node_begin + (node_end - node_begin) / 2;
        collect(anchor, following, candidates, 2 * node, node_begin, middle, begin, end, examined);
        collect(anchor, following, candidates, 2 * node + 1, middle, node_end, begin, end, examined);
    }

    // Deals with the next record of `side`, which matched nothing: the last group takes it when it
    // matches the last record that joined the group's opposite list; otherwise it is unpaired.
    void settle(Side side) {
        OrderedSide& own = side_of(side);
        const std::size_t rank = own.next++;
        const OrderedSide& other = side_of(opposite(side));
        if (!groups_.empty() && intervals_match(own.spans[rank], other.spans[other.ranks.back()], margin_)) {
            add_to_last_group(side, rank);
        } else {
            own.unpaired.push_back(rank);
        }
    }

    // Ranks become input positions, in order of start inside each group.
    static void to_positions(const OrderedSide& side, std::vector<std::size_t>& ranks, std::size_t begin,
                             std::size_t end) {
        std::sort(ranks.begin() + static_cast<std::ptrdiff_t>(begin), ranks.begin() + static_cast<std::ptrdiff_t>(end));
        for (std::size_t index = begin; index < end; ++index) {
            ranks[index] = side.positions[ranks[index]];
        }
    }

    AlignedPositions result() {
        for (const PairedPositions::Group& group : groups_) {
            to_positions(originals_, originals_.ranks, group.original_begin, group.original_end);
            to_positions(references_, references_.ranks, group.reference_begin, group.reference_end);
        }
        // The main walk settles each side's records in order of rank.
        to_positions(originals_, originals_.unpaired, 0, originals_.unpaired.size());
        to_positions(references_, references_.unpaired, 0, references_.unpaired.size());
        AlignedPositions aligned;
        aligned.paired.groups = std::move(groups_);
        aligned.paired.original_positions = std::move(originals_.ranks);
        aligned.paired.reference_positions = std::move(references_.ranks);
        aligned.unpaired_original = std::move(originals_.unpaired);
        aligned.unpaired_reference = std::move(references_.unpaired);
        return aligned;
    }

    OrderedSide originals_;
    OrderedSide references_;
    const std::int32_t margin_;
    WalkSteps steps_;
    std::vector<PairedPositions::Group> groups_;
    std::vector<std::size_t> taken_;  // ranks the scan of the group being formed takes
};

}  // namespace

AlignedPositions align_positions(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side,
                                 std::int32_t margin, StopCheck stop_requested) {
    return AlignmentWalk(original_side, reference_side, margin, stop_requested).run();
}

}  // namespace quorvel
