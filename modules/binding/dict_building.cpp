#include "binding/dict_building.hpp"

#include <string_view>

#include "binding/module_state.hpp"
#include "binding/ref.hpp"

namespace binding {

namespace {

bool set_owned(PyObject* dict, PyObject* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

PyObject* bytes_of(std::string_view value) {
    return PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* decoded(std::string_view value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "strict");
}

template <typename TextBuilder>
PyObject* interval_dict(const quorvel::IntervalView& interval, TextBuilder text_of) {
    const InternedNames& key = names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int(dict.get(), key.start, interval.start) || !set_int(dict.get(), key.end, interval.end) ||
        !set_owned(dict.get(), key.text, text_of(interval.text)) ||
        !set_owned(dict.get(), key.original, text_of(interval.original)) ||
        !set_int(dict.get(), key.nl, interval.nl)) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace

bool set_int(PyObject* dict, PyObject* key, std::int32_t value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    return number && PyDict_SetItem(dict, key, number.get()) == 0;
}

PyObject* interval_to_py(const quorvel::IntervalView& interval) { return interval_dict(interval, bytes_of); }

PyObject* interval_to_text_form(const quorvel::IntervalView& interval) { return interval_dict(interval, decoded); }

PyObject* interval_list(const RecordSelection& intervals, IntervalBuilder build) {
    return list_of(intervals.size(), [&](std::size_t index) { return build(intervals[index]); });
}

PyObject* match_dict(std::int32_t start, std::int32_t end, const RecordSelection& original,
                     const RecordSelection& reference, IntervalBuilder build) {
    const InternedNames& key = names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int(dict.get(), key.start, start) || !set_int(dict.get(), key.end, end) ||
        !set_owned(dict.get(), key.original, interval_list(original, build)) ||
        !set_owned(dict.get(), key.reference, interval_list(reference, build))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace binding
