// Building dicts from the engine's records.
//
// Byte form: texts as bytes. Text form: texts as str, each the strict UTF-8 decoding of the
// record's bytes. Keys are the interned names, inserted in field order: "start", "end", "text",
// "original", "nl" for an interval; "start", "end", "original", "reference" for a match.
// Functions return a new reference, or null with an exception pending; none adds a traceback
// entry, which is the calling function's to add.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvel/interval_store.hpp"
#include "quorvel/records.hpp"

namespace binding {

// The records of one side of a group: all records of an array, or the records at chosen
// positions of one, read in place. The array must outlive the selection.
class RecordSelection {
public:
    explicit RecordSelection(std::span<const quorvel::IntervalVar> records) noexcept
        : records_(records.data()), count_(records.size()) {}
    RecordSelection(std::span<const quorvel::IntervalVar> records, std::span<const std::size_t> positions) noexcept
        : records_(records.data()), positions_(positions.data()), count_(positions.size()) {}

    std::size_t size() const noexcept { return count_; }
    quorvel::IntervalView operator[](std::size_t index) const noexcept {
        return quorvel::view_of(records_[positions_ != nullptr ? positions_[index] : index]);
    }

private:
    const quorvel::IntervalVar* records_;
    const std::size_t* positions_ = nullptr;
    std::size_t count_;
};

// Sets `dict[key]` to a new int holding `value`. False with an exception pending on failure.
bool set_int(PyObject* dict, PyObject* key, std::int32_t value);

// A list of what `build(index)` makes for each index from 0 to count - 1, in order; `build` returns
// a new reference or null with an exception pending. The list grows by appending: `build` may run
// Python code, which can reach the list through the collector, so it never holds empty slots.
template <typename Build>
PyObject* list_of(std::size_t count, Build build) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) {
        return nullptr;
    }
    for (std::size_t index = 0; index < count; ++index) {
        PyObject* item = build(index);
        const bool appended = item != nullptr && PyList_Append(list, item) == 0;
        Py_XDECREF(item);
        if (!appended) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

// What one interval of a list becomes.
using IntervalBuilder = PyObject* (*)(const quorvel::IntervalView& interval);

PyObject* interval_to_py(const quorvel::IntervalView& interval);         // byte form
PyObject* interval_to_text_form(const quorvel::IntervalView& interval);  // text form

// A list of what `build` makes of each selected record, in order (by list_of).
PyObject* interval_list(const RecordSelection& intervals, IntervalBuilder build);

// A match dict whose two lists hold what `build` makes of each record: interval_to_py gives the
// byte form.
PyObject* match_dict(std::int32_t start, std::int32_t end, const RecordSelection& original,
                     const RecordSelection& reference, IntervalBuilder build);

}  // namespace binding
