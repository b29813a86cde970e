#include "quorvel/index.hpp"

#include <utility>

namespace quorvel {

namespace {

IntervalStore store_of(const Intervals& records) {
    IntervalStore store;
    store.reserve(records.size());
    for (const IntervalVar& record : records) {
        store.append(view_of(record));
    }
    return store;
}

}  // namespace

IntervalSearch::IntervalSearch(const Intervals& records) : IntervalSearch(store_of(records)) {}

IntervalSearch::IntervalSearch(IntervalStore records) : records_(std::move(records)) {
    records_.sort_by_start();
    records_.shrink_to_fit();
}

std::size_t IntervalSearch::first_at_or_after(std::int64_t low) const noexcept {
    std::size_t first = 0;
    std::size_t count = records_.size();
    while (count > 0) {
        const std::size_t half = count / 2;
        if (records_.start_of(first + half) < low) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

}  // namespace quorvel
