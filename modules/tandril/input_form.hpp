// The input form: lists of mappings with the keys "start", "end", "text", "original" and "nl",
// whose texts are str values that the reader encodes as UTF-8, read into native records.
//
// Elements are read in list order by index, holding the list and re-reading its length before
// each step, since the lookups and conversions can run Python code that changes the list. Fields
// are read in key order, each converted right after its lookup; the first failure ends the
// reading with the exception pending (conversions add their own traceback entries; the calling
// function adds its own).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "quorvel/records.hpp"

namespace tandril {

// One interval's fields, wherever they are kept.
struct IntervalView {
    std::int32_t start;
    std::int32_t end;
    std::string_view text;
    std::string_view original;
    std::int32_t nl;

    static IntervalView of(const quorvel::IntervalVar& record) noexcept {
        return {record.start, record.end, record.text, record.original, record.nl};
    }
    quorvel::IntervalVar copy() const { return {start, end, std::string(text), std::string(original), nl}; }
};

// Storage for the texts of one input list: fixed blocks that never move, so that a view of a
// text stays valid while more texts are added, and reading allocates per block, not per text.
class TextArena {
public:
    // A block with room for `length` more bytes; may throw std::bad_alloc.
    std::string& room_for(std::size_t length);

private:
    static constexpr std::size_t smallest_block = 4 * 1024;
    static constexpr std::size_t largest_block = 64 * 1024;
    std::vector<std::unique_ptr<std::string>> blocks_;
};

// Intervals read for pairing: their times in one array, which is all the engine pairs on, and
// the rest beside them, texts in the arena. The two arrays have equal lengths once reading has
// succeeded; a failed reading leaves the set to be discarded.
struct InputSet {
    struct Payload {
        std::string_view text;
        std::string_view original;
        std::int32_t nl;
    };

    std::vector<quorvel::TimeSpan> spans;
    std::vector<Payload> payloads;
    TextArena texts;

    IntervalView view(std::size_t position) const noexcept {
        const Payload& payload = payloads[position];
        return {spans[position].start, spans[position].end, payload.text, payload.original, payload.nl};
    }
};

// Reads every element of the exact list `list`. False with an exception pending on failure.
bool read_input_list(PyObject* list, quorvel::Intervals& target);
bool read_input_list(PyObject* list, InputSet& target);

}  // namespace tandril
