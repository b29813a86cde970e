#include "quorvel/pairing.hpp"

#include <algorithm>
#include <cstddef>

#include "quorvel/margin.hpp"

namespace quorvel {

namespace {

constexpr std::int64_t distance(std::int32_t first, std::int32_t second) noexcept {
    const std::int64_t difference = std::int64_t{first} - std::int64_t{second};
    return difference < 0 ? -difference : difference;
}

// Which list of a group a record belongs to.
enum class Side { original, reference };

std::vector<IntervalVar>& list_of(MatchesVar& group, Side side) noexcept {
    return side == Side::original ? group.original : group.reference;
}

std::vector<IntervalVar>& opposite_list_of(MatchesVar& group, Side side) noexcept {
    return side == Side::original ? group.reference : group.original;
}

class PairingWalk {
public:
    PairingWalk(const Intervals& original_side, const Intervals& reference_side, std::int32_t margin)
        : originals_(original_side), references_(reference_side), margin_(margin) {}

    Matches run() {
        while (original_index_ < originals_.size() && reference_index_ < references_.size()) {
            const IntervalVar& original = originals_[original_index_];
            const IntervalVar& reference = references_[reference_index_];
            if (intervals_match(original, reference, margin_)) {
                build_group(original, reference);
            } else if (original.start <= reference.start) {
                // The reference record is passed over: both indices move.
                offer_to_last_group(original, Side::original);
                ++original_index_;
                ++reference_index_;
            } else {
                offer_to_last_group(reference, Side::reference);
                ++reference_index_;
            }
        }
        for (; original_index_ < originals_.size(); ++original_index_) {
            offer_to_last_group(originals_[original_index_], Side::original);
        }
        for (; reference_index_ < references_.size(); ++reference_index_) {
            offer_to_last_group(references_[reference_index_], Side::reference);
        }
        return std::move(result_);
    }

private:
    // Forms a group around the longer record of a matching pair (the original one on a tie) and
    // takes the matching records that follow on the other side.
    void build_group(const IntervalVar& original, const IntervalVar& reference) {
        const bool reference_anchors = length_of(original) < length_of(reference);
        const IntervalVar& anchor = reference_anchors ? reference : original;
        const Side anchor_side = reference_anchors ? Side::reference : Side::original;
        const Intervals& candidates = reference_anchors ? originals_ : references_;
        std::size_t& candidate_index = reference_anchors ? original_index_ : reference_index_;
        std::size_t& anchor_index = reference_anchors ? reference_index_ : original_index_;

        MatchesVar& group = result_.emplace_back();
        group.start = anchor.start;
        group.end = anchor.end;
        list_of(group, anchor_side).push_back(anchor);
        std::vector<IntervalVar>& taken = opposite_list_of(group, anchor_side);

        for (std::size_t position = candidate_index; position < candidates.size(); ++position) {
            const IntervalVar& candidate = candidates[position];
            const bool close = is_close(anchor, candidate, margin_);
            if (close || is_nested(anchor, candidate)) {
                taken.push_back(candidate);
                group.start = std::min(group.start, candidate.start);
                group.end = std::max(group.end, candidate.end);
            }
            if (!(candidate.start < anchor.end || close)) {
                break;
            }
        }
        // The candidates' index moves by the number taken, not the number examined.
        candidate_index += taken.size();
        anchor_index += 1;
    }

    // Adds `item` to the last group when it matches the last record of the group's opposite list.
    void offer_to_last_group(const IntervalVar& item, Side side) {
        if (result_.empty()) {
            return;
        }
        MatchesVar& group = result_.back();
        if (intervals_match(item, opposite_list_of(group, side).back(), margin_)) {
            list_of(group, side).push_back(item);
        }
    }

    const Intervals& originals_;
    const Intervals& references_;
    const std::int32_t margin_;
    std::size_t original_index_ = 0;
    std::size_t reference_index_ = 0;
    Matches result_;
};

}  // namespace

bool is_nested(const IntervalVar& first, const IntervalVar& second) noexcept {
    return (first.start <= second.start && second.end <= first.end) ||
           (second.start <= first.start && first.end <= second.end);
}

bool is_close(const IntervalVar& first, const IntervalVar& second, std::int32_t margin) noexcept {
    return distance(first.start, second.start) <= margin || distance(first.end, second.end) <= margin;
}

bool intervals_match(const IntervalVar& first, const IntervalVar& second, std::int32_t margin) noexcept {
    return is_nested(first, second) || is_close(first, second, margin);
}

Matches pair_intervals(const Intervals& original_side, const Intervals& reference_side, std::int32_t margin) {
    return PairingWalk(original_side, reference_side, margin).run();
}

Matches pair_intervals(const Intervals& original_side, const Intervals& reference_side) {
    return pair_intervals(original_side, reference_side, pair_margin);
}

}  // namespace quorvel
