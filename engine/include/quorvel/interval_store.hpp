// A compact array of interval records: fixed-size slots holding the times, nl and the texts'
// sizes, and every text in one owned buffer.
//
//  - append copies the record, texts included; records keep the order they were appended in
//    until sort_by_start reorders the slots (stably). Texts never move within the buffer.
//  - A view handed out (operator[]) points into the buffer: it stays valid until the next append
//    or the store's end. Views are taken once appending is done.
//  - Access: O(1). append: amortised O(size of the texts).
//  - Failures: std::bad_alloc; std::length_error for a text of 4 GiB or more. A failed append
//    leaves the store as it was.
#pragma once

#include <cstddef>
#include <cstdint>
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
    explicit IntervalStore(const Intervals& records);

    void reserve(std::size_t records);
    // Room for `bytes` more bytes of texts, growing the buffer geometrically: an append whose
    // texts fit allocates only for its slot.
    void make_room_for_texts(std::size_t bytes);
    void append(const IntervalView& record);

    std::size_t size() const noexcept { return slots_.size(); }
    bool empty() const noexcept { return slots_.empty(); }
    std::int32_t start_of(std::size_t position) const noexcept { return slots_[position].start; }
    TimeSpan span_of(std::size_t position) const noexcept { return {slots_[position].start, slots_[position].end}; }
    IntervalView operator[](std::size_t position) const noexcept;

    // An owning copy of one record.
    IntervalVar copy(std::size_t position) const;

    // Orders the records by start, stably; already ordered records are left as they are.
    void sort_by_start();

private:
    // 32 bytes: the times lie next to the texts' place, so a scan by start touches one line.
    struct Slot {
        std::int32_t start;
        std::int32_t end;
        std::int32_t nl;
        std::uint32_t text_size;
        std::uint64_t texts_offset;  // the text, then the original, from here in texts_
        std::uint64_t original_size;
    };
    std::vector<Slot> slots_;
    std::vector<char> texts_;
};

}  // namespace quorvel
