#include "quorvel/interval_store.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace quorvel {

IntervalStore::IntervalStore(const Intervals& records) {
    reserve(records.size());
    for (const IntervalVar& record : records) {
        append(view_of(record));
    }
}

void IntervalStore::reserve(std::size_t records) { slots_.reserve(records); }

void IntervalStore::make_room_for_texts(std::size_t bytes) {
    if (texts_.capacity() - texts_.size() < bytes) {
        if (bytes > texts_.max_size() - texts_.size()) {
            throw std::length_error("interval texts too large");
        }
        texts_.reserve(std::max(texts_.size() + bytes, 2 * texts_.capacity()));
    }
}

void IntervalStore::append(const IntervalView& record) {
    if (record.text.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("interval text of 4 GiB or more");
    }
    const std::size_t offset = texts_.size();
    slots_.push_back(Slot{
        .start = record.start,
        .end = record.end,
        .nl = record.nl,
        .text_size = static_cast<std::uint32_t>(record.text.size()),
        .texts_offset = offset,
        .original_size = record.original.size(),
    });
    try {
        texts_.insert(texts_.end(), record.text.begin(), record.text.end());
        texts_.insert(texts_.end(), record.original.begin(), record.original.end());
    } catch (...) {
        slots_.pop_back();
        texts_.resize(offset);
        throw;
    }
}

IntervalView IntervalStore::operator[](std::size_t position) const noexcept {
    const Slot& slot = slots_[position];
    const char* texts = texts_.data() + slot.texts_offset;
    return {
        .start = slot.start,
        .end = slot.end,
        .text = std::string_view(texts, slot.text_size),
        .original = std::string_view(texts + slot.text_size, slot.original_size),
        .nl = slot.nl,
    };
}

IntervalVar IntervalStore::copy(std::size_t position) const {
    const IntervalView view = (*this)[position];
    return IntervalVar{view.start, view.end, std::string(view.text), std::string(view.original), view.nl};
}

void IntervalStore::sort_by_start() {
    const auto by_start = [](const Slot& left, const Slot& right) { return left.start < right.start; };
    if (!std::is_sorted(slots_.begin(), slots_.end(), by_start)) {
        std::stable_sort(slots_.begin(), slots_.end(), by_start);
    }
}

}  // namespace quorvel
