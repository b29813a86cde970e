#include "quorvel/index.hpp"

#include <algorithm>
#include <utility>

namespace quorvel {

IntervalSearch::IntervalSearch(Intervals records) : intervals_(std::move(records)) {
    const auto by_start = [](const IntervalVar& left, const IntervalVar& right) { return left.start < right.start; };
    // Input in ascending order of start, the usual case, is stored as given without moving it.
    if (!std::is_sorted(intervals_.begin(), intervals_.end(), by_start)) {
        std::stable_sort(intervals_.begin(), intervals_.end(), by_start);
    }
    starts_.reserve(intervals_.size());
    for (const IntervalVar& record : intervals_) {
        starts_.push_back(record.start);
    }
}

std::vector<std::size_t> IntervalSearch::overlapping_positions(std::int32_t start_q, std::int32_t end_q,
                                                              std::int32_t margin) const {
    std::vector<std::size_t> positions;
    const std::int64_t low = std::int64_t{start_q} - margin;
    const std::int64_t high = std::int64_t{end_q} + margin;
    const double half_query_length = 0.5 * static_cast<double>(std::int64_t{end_q} - std::int64_t{start_q});

    auto position = std::lower_bound(starts_.begin(), starts_.end(), low,
                                     [](std::int32_t start, std::int64_t bound) { return start < bound; });
    for (std::size_t index = static_cast<std::size_t>(position - starts_.begin()); index < intervals_.size(); ++index) {
        const IntervalVar& record = intervals_[index];
        if (record.start > high) {
            break;
        }
        std::int64_t overlap = std::min<std::int64_t>(record.end, high) - std::max<std::int64_t>(record.start, low);
        overlap = std::max<std::int64_t>(overlap, 0);
        const double covered = static_cast<double>(overlap);
        if (covered >= 0.5 * static_cast<double>(length_of(record)) || covered >= half_query_length) {
            positions.push_back(index);
        }
    }
    return positions;
}

Intervals IntervalSearch::find_overlapping_intervals(std::int32_t start_q, std::int32_t end_q, std::int32_t margin) const {
    Intervals result;
    for (std::size_t position : overlapping_positions(start_q, end_q, margin)) {
        result.push_back(intervals_[position]);
    }
    return result;
}

}  // namespace quorvel
