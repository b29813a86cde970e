#include "quorvel/index.hpp"

#include <algorithm>
#include <utility>

namespace quorvel {

IntervalSearch::IntervalSearch(IntervalStore records) : records_(std::move(records)) {
    records_.sort_by_start();
    const std::size_t count = records_.size();
    if (count == 0) {
        return;
    }
    first_start_ = records_.start_of(0);
    const std::int64_t range = std::int64_t{records_.start_of(count - 1)} - first_start_;
    while ((range >> bucket_shift_) >= static_cast<std::int64_t>(count)) {
        ++bucket_shift_;
    }
    const std::size_t bucket_count = static_cast<std::size_t>(range >> bucket_shift_) + 1;
    buckets_.resize(bucket_count + 1);
    std::size_t position = 0;
    for (std::size_t bucket = 0; bucket < bucket_count; ++bucket) {
        buckets_[bucket] = position;
        const std::int64_t next_bucket_start = first_start_ + (static_cast<std::int64_t>(bucket + 1) << bucket_shift_);
        while (position < count && records_.start_of(position) < next_bucket_start) {
            ++position;
        }
    }
    buckets_[bucket_count] = count;
}

std::size_t IntervalSearch::first_at_or_after(std::int64_t low) const noexcept {
    if (records_.empty() || low <= first_start_) {
        return 0;
    }
    const std::uint64_t bucket = static_cast<std::uint64_t>(low - first_start_) >> bucket_shift_;
    if (bucket >= buckets_.size() - 1) {
        return records_.size();
    }
    std::size_t first = buckets_[bucket];
    std::size_t last = buckets_[bucket + 1];
    while (first < last) {
        const std::size_t middle = first + (last - first) / 2;
        if (records_.start_of(middle) < low) {
            first = middle + 1;
        } else {
            last = middle;
        }
    }
    return first;
}

std::vector<std::size_t> IntervalSearch::overlapping_positions(std::int32_t start_q, std::int32_t end_q,
                                                              std::int32_t margin) const {
    std::vector<std::size_t> positions;
    const std::int64_t low = std::int64_t{start_q} - margin;
    const std::int64_t high = std::int64_t{end_q} + margin;
    const double half_query_length = 0.5 * static_cast<double>(std::int64_t{end_q} - std::int64_t{start_q});

    for (std::size_t index = first_at_or_after(low); index < records_.size(); ++index) {
        const TimeSpan record = records_.span_of(index);
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
        result.push_back(records_.copy(position));
    }
    return result;
}

}  // namespace quorvel
