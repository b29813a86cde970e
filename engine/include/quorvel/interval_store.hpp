// Interval records packed for the index: a slot of 16 bytes per record, in stored order, and the
// payload (nl and both texts) of each record in one place in a single buffer.
//
// Why: a query scans slots by start and reads the payload only of the records it accepts, so the
// search and the scan stay in one dense array, and each accepted record costs one more place in
// memory instead of three (a record, then each of its texts on the heap). Building appends the
// texts to one buffer, grown by doubling with realloc, so the build does no allocation per text;
// once built, the index trims a buffer that is mostly unused (a small index) to what it holds.
//
//  - append copies the record, texts included (embedded zero bytes allowed); records keep the
//    order they were appended in until sort_by_start reorders the slots, stably.
//  - A view (operator[]) points into the buffer: it stays valid until the next append,
//    shrink_to_fit, move or the store's end. The index hands out views only once building is
//    done. append accepts a view of the store itself.
//  - A moved-from store is empty and may be used again.
//  - Access: O(1). append: amortised O(size of the texts). sort_by_start: O(n) when already in
//    order, O(n log n) otherwise.
//  - Failures: std::bad_alloc and std::length_error from the containers. A failed append leaves
//    the store as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "quorvel/records.hpp"

namespace quorvel {

// A record read in place: the texts belong to whatever holds them.
struct IntervalView {
    std::int32_t start = 0;
    std::int32_t end = 0;
    std::string_view text;
    std::string_view original;
    std::int32_t nl = 0;
};

inline IntervalView view_of(const IntervalVar& record) noexcept {
    return {record.start, record.end, record.text, record.original, record.nl};
}

class IntervalStore {
public:
    IntervalStore() = default;
    // Moving leaves the source empty: its counters go with its buffer.
    IntervalStore(IntervalStore&& other) noexcept;
    IntervalStore& operator=(IntervalStore&& other) noexcept;

    void reserve(std::size_t records) { slots_.reserve(records); }
    void append(const IntervalView& record);
    // Gives back the buffer's unused room when it is more than half the buffer; keeps the buffer
    // as it is when the system refuses.
    void shrink_to_fit() noexcept;

    std::size_t size() const noexcept { return slots_.size(); }
    bool empty() const noexcept { return slots_.empty(); }
    std::int32_t start_of(std::size_t position) const noexcept { return slots_[position].start; }
    TimeSpan span_of(std::size_t position) const noexcept { return {slots_[position].start, slots_[position].end}; }
    IntervalView operator[](std::size_t position) const noexcept;

    // An owning copy of one record.
    IntervalVar copy(std::size_t position) const;

    // Orders the records by start, stably; records already in order are left as they are.
    void sort_by_start();

private:
    struct Slot {
        std::int32_t start;
        std::int32_t end;
        std::uint64_t payload;  // offset in the buffer of nl, the two text sizes, the text, the original
    };
    static_assert(sizeof(Slot) == 16);
    struct Release {
        void operator()(char* buffer) const noexcept;
    };
    // Room for `bytes` more payload bytes at the buffer's end, growing it if needed.
    char* room_for(std::size_t bytes);

    std::vector<Slot> slots_;
    std::unique_ptr<char[], Release> buffer_;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorvel
