#include "quorvel/interval_store.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace quorvel {

namespace {

// Payload: nl, then the sizes of the text and the original, then their bytes. Read and written by
// memcpy: a payload starts at any byte.
struct PayloadHeader {
    std::int32_t nl;
    std::size_t text_size;
    std::size_t original_size;
};

constexpr std::size_t first_capacity = 64 * 1024;

}  // namespace

void IntervalStore::Release::operator()(char* buffer) const noexcept { std::free(buffer); }

IntervalStore::IntervalStore(IntervalStore&& other) noexcept
    : slots_(std::move(other.slots_)),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {
    other.slots_.clear();
}

IntervalStore& IntervalStore::operator=(IntervalStore&& other) noexcept {
    if (this != &other) {
        slots_ = std::move(other.slots_);
        other.slots_.clear();
        buffer_ = std::move(other.buffer_);
        used_ = std::exchange(other.used_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void IntervalStore::shrink_to_fit() noexcept {
    // Doubling leaves at most half the buffer unused, except in a store smaller than the first
    // buffer: only such a one is trimmed. Trimming a large buffer would hand memory back to the
    // system that the next index of the same size must then fault in again.
    if (used_ == 0 || capacity_ - used_ <= used_) {
        return;
    }
    if (char* trimmed = static_cast<char*>(std::realloc(buffer_.get(), used_)); trimmed != nullptr) {
        static_cast<void>(buffer_.release());
        buffer_.reset(trimmed);
        capacity_ = used_;
    }
}

char* IntervalStore::room_for(std::size_t bytes) {
    if (capacity_ - used_ < bytes) {
        constexpr std::size_t largest = std::numeric_limits<std::size_t>::max() / 2;
        if (bytes > largest - used_) {
            throw std::length_error("interval texts too large");
        }
        const std::size_t doubled = capacity_ <= largest / 2 ? 2 * capacity_ : largest;
        const std::size_t capacity = std::max({used_ + bytes, doubled, first_capacity});
        // realloc keeps the old buffer when it fails: the store stays as it was.
        char* grown = static_cast<char*>(std::realloc(buffer_.get(), capacity));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        static_cast<void>(buffer_.release());
        buffer_.reset(grown);
        capacity_ = capacity;
    }
    return buffer_.get() + used_;
}

void IntervalStore::append(const IntervalView& record) {
    const std::size_t texts = record.text.size() + record.original.size();
    if (texts > std::numeric_limits<std::size_t>::max() - sizeof(PayloadHeader)) {
        throw std::length_error("interval texts too large");
    }
    const std::size_t bytes = sizeof(PayloadHeader) + texts;
    // A text that views this store moves with the buffer when it grows: keep its offset.
    const char* const before = buffer_.get();
    const auto offset_in_buffer = [&](std::string_view text) {
        const bool inside = !text.empty() && std::less_equal<>{}(before, text.data()) &&
                            std::less<>{}(text.data(), before + used_);
        return inside ? static_cast<std::size_t>(text.data() - before) : std::numeric_limits<std::size_t>::max();
    };
    const std::size_t text_offset = offset_in_buffer(record.text);
    const std::size_t original_offset = offset_in_buffer(record.original);
    slots_.push_back(Slot{.start = record.start, .end = record.end, .payload = 0});
    char* payload = nullptr;
    try {
        payload = room_for(bytes);
    } catch (...) {
        slots_.pop_back();
        throw;
    }
    const auto source = [&](std::string_view text, std::size_t offset) {
        return offset != std::numeric_limits<std::size_t>::max() ? buffer_.get() + offset : text.data();
    };
    const PayloadHeader header{record.nl, record.text.size(), record.original.size()};
    std::memcpy(payload, &header, sizeof header);
    if (!record.text.empty()) {
        std::memcpy(payload + sizeof header, source(record.text, text_offset), record.text.size());
    }
    if (!record.original.empty()) {
        std::memcpy(payload + sizeof header + record.text.size(), source(record.original, original_offset),
                    record.original.size());
    }
    slots_.back().payload = used_;
    used_ += bytes;
}

IntervalView IntervalStore::operator[](std::size_t position) const noexcept {
    const Slot& slot = slots_[position];
    const char* payload = buffer_.get() + slot.payload;
    PayloadHeader header;
    std::memcpy(&header, payload, sizeof header);
    const char* texts = payload + sizeof header;
    return {slot.start, slot.end, std::string_view(texts, header.text_size),
            std::string_view(texts + header.text_size, header.original_size), header.nl};
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
