#include <algorithm>
#include <numeric>

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

// One side in order of start, then of end. The walk names records by rank in this order; `positions[rank]`
// is the record's position in the input.
struct OrderedSide {
    std::vector<std::size_t> positions;
    std::vector<TimeSpan> spans;      // spans[rank]
    std::vector<bool> grouped;        // grouped[rank]: a group holds the record
    std::vector<std::size_t> ranks;   // ranks held by groups, one run per group
    std::vector<std::size_t> unpaired;
    std::size_t next = 0;             // the first rank the main walk has not dealt with

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
        own.grouped[rank] = true;
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
        std::size_t rank = candidates.next;
        for (; rank < candidates.spans.size(); ++rank) {
            if (candidates.grouped[rank]) {
                continue;
            }
            const TimeSpan& candidate = candidates.spans[rank];
            const bool close = is_close(anchor, candidate, margin_);
            if ((close || is_nested(anchor, candidate)) &&
                (rank == candidates.next || !prefers(following, anchor, candidate))) {
                add_to_last_group(candidate_side, rank);
            }
            if (!(candidate.start < anchor.end || close)) {
                break;
            }
        }
        steps_.take(examined + rank - candidates.next);
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
};

}  // namespace

AlignedPositions align_positions(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side,
                                 std::int32_t margin, StopCheck stop_requested) {
    return AlignmentWalk(original_side, reference_side, margin, stop_requested).run();
}

}  // namespace quorvel
