#include "quorvel/pairing.hpp"

#include <algorithm>

#include "walk_steps.hpp"

namespace quorvel {

namespace {

constexpr std::int64_t distance(std::int32_t first, std::int32_t second) noexcept {
    const std::int64_t difference = std::int64_t{first} - std::int64_t{second};
    return difference < 0 ? -difference : difference;
}

// Which input a record comes from, and so which list of a group it joins.
enum class Side { original, reference };

constexpr Side opposite(Side side) noexcept { return side == Side::original ? Side::reference : Side::original; }

class PairingWalk {
public:
    PairingWalk(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side, std::int32_t margin,
                StopCheck stop_requested)
        : originals_(original_side), references_(reference_side), margin_(margin), steps_(stop_requested) {}

    PairedPositions run() {
        while (original_index_ < originals_.size() && reference_index_ < references_.size()) {
            const TimeSpan& original = originals_[original_index_];
            const TimeSpan& reference = references_[reference_index_];
            if (intervals_match(original, reference, margin_)) {
                build_group(original, reference);
            } else if (original.start <= reference.start) {
                // The reference record is passed over: both indices move.
                offer_to_last_group(original_index_, Side::original);
                ++original_index_;
                ++reference_index_;
            } else {
                offer_to_last_group(reference_index_, Side::reference);
                ++reference_index_;
            }
        }
        for (; original_index_ < originals_.size(); ++original_index_) {
            offer_to_last_group(original_index_, Side::original);
        }
        for (; reference_index_ < references_.size(); ++reference_index_) {
            offer_to_last_group(reference_index_, Side::reference);
        }
        return std::move(result_);
    }

private:
    std::span<const TimeSpan> records_of(Side side) const noexcept { return side == Side::original ? originals_ : references_; }

    std::vector<std::size_t>& positions_of(Side side) noexcept {
        return side == Side::original ? result_.original_positions : result_.reference_positions;
    }

    // Appends `position` of `side` to the last group, which is the only one that grows.
    void add_to_last_group(Side side, std::size_t position) {
        positions_of(side).push_back(position);
        PairedPositions::Group& group = result_.groups.back();
        (side == Side::original ? group.original_end : group.reference_end) += 1;
    }

    // The last record in the last group's list of `side`.
    const TimeSpan& last_record_of(Side side) const noexcept {
        const std::vector<std::size_t>& positions =
            side == Side::original ? result_.original_positions : result_.reference_positions;
        return records_of(side)[positions.back()];
    }

    // Forms a group around the longer record of a matching pair (the original one on a tie) and
    // takes the matching records that follow on the other side.
    void build_group(const TimeSpan& original, const TimeSpan& reference) {
        const bool reference_anchors = length_of(original) < length_of(reference);
        const Side anchor_side = reference_anchors ? Side::reference : Side::original;
        const Side candidate_side = opposite(anchor_side);
        const TimeSpan& anchor = reference_anchors ? reference : original;
        std::size_t& anchor_index = reference_anchors ? reference_index_ : original_index_;
        std::size_t& candidate_index = reference_anchors ? original_index_ : reference_index_;
        const std::span<const TimeSpan> candidates = records_of(candidate_side);

        PairedPositions::Group& group = result_.groups.emplace_back();
        group.start = anchor.start;
        group.end = anchor.end;
        group.original_begin = group.original_end = result_.original_positions.size();
        group.reference_begin = group.reference_end = result_.reference_positions.size();
        add_to_last_group(anchor_side, anchor_index);

        std::size_t taken = 0;
        std::size_t position = candidate_index;
        for (; position < candidates.size(); ++position) {
            const TimeSpan& candidate = candidates[position];
            const bool close = is_close(anchor, candidate, margin_);
            if (close || is_nested(anchor, candidate)) {
                add_to_last_group(candidate_side, position);
                ++taken;
                PairedPositions::Group& grown = result_.groups.back();
                grown.start = std::min(grown.start, candidate.start);
                grown.end = std::max(grown.end, candidate.end);
            }
            if (!(candidate.start < anchor.end || close)) {
                break;
            }
        }
        steps_.take(position - candidate_index);
        // The candidates' index moves by the number taken, not the number examined.
        candidate_index += taken;
        anchor_index += 1;
    }

    // Adds the record at `position` of `side` to the last group when it matches the last record
    // of the group's opposite list.
    void offer_to_last_group(std::size_t position, Side side) {
        if (result_.groups.empty()) {
            return;
        }
        if (intervals_match(records_of(side)[position], last_record_of(opposite(side)), margin_)) {
            add_to_last_group(side, position);
        }
    }

    const std::span<const TimeSpan> originals_;
    const std::span<const TimeSpan> references_;
    const std::int32_t margin_;
    std::size_t original_index_ = 0;
    std::size_t reference_index_ = 0;
    WalkSteps steps_;
    PairedPositions result_;
};

std::vector<IntervalVar> copies_of(const Intervals& records, std::span<const std::size_t> positions) {
    std::vector<IntervalVar> copies;
    copies.reserve(positions.size());
    for (std::size_t position : positions) {
        copies.push_back(records[position]);
    }
    return copies;
}

std::vector<TimeSpan> spans_of(const Intervals& records) {
    std::vector<TimeSpan> spans;
    spans.reserve(records.size());
    for (const IntervalVar& record : records) {
        spans.push_back(span_of(record));
    }
    return spans;
}

}  // namespace

bool is_nested(const TimeSpan& first, const TimeSpan& second) noexcept {
    return (first.start <= second.start && second.end <= first.end) ||
           (second.start <= first.start && first.end <= second.end);
}

bool is_close(const TimeSpan& first, const TimeSpan& second, std::int32_t margin) noexcept {
    return distance(first.start, second.start) <= margin || distance(first.end, second.end) <= margin;
}

bool intervals_match(const TimeSpan& first, const TimeSpan& second, std::int32_t margin) noexcept {
    return is_nested(first, second) || is_close(first, second, margin);
}

PairedPositions pair_positions(std::span<const TimeSpan> original_side, std::span<const TimeSpan> reference_side,
                               std::int32_t margin, StopCheck stop_requested) {
    return PairingWalk(original_side, reference_side, margin, stop_requested).run();
}

Matches pair_intervals(const Intervals& original_side, const Intervals& reference_side, std::int32_t margin) {
    const PairedPositions paired = pair_positions(spans_of(original_side), spans_of(reference_side), margin);
    Matches matches;
    matches.reserve(paired.groups.size());
    for (const PairedPositions::Group& group : paired.groups) {
        MatchesVar& match = matches.emplace_back();
        match.start = group.start;
        match.end = group.end;
        match.original = copies_of(original_side, paired.originals_of(group));
        match.reference = copies_of(reference_side, paired.references_of(group));
    }
    return matches;
}

}  // namespace quorvel
