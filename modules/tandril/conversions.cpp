#include "conversions.hpp"

#include "call_errors.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace tandril {

namespace {

// Names of the conversions' own traceback entries.
constexpr const char* string_to_py_entry = "c_quorvel.tandril.string_to_py";
constexpr const char* interval_from_py_entry = "c_quorvel.tandril.interval_from_py";
constexpr const char* intervals_from_py_entry = "c_quorvel.tandril.intervals_from_py";
constexpr const char* match_from_py_entry = "c_quorvel.tandril.match_from_py";
constexpr const char* intervals_to_py_entry = "c_quorvel.tandril.intervals_to_py";

bool int32_from_exact_value(PyObject* integer, std::int32_t& target) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    target = static_cast<std::int32_t>(value);
    return true;
}

// The value of `object`'s __int__, checked the way the interpreter checks it.
bool int32_from_dunder_int(PyObject* object, std::int32_t& target) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref result = Ref::steal(number->nb_int(object));
    if (!result) {
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return false;
        }
    }
    return int32_from_exact_value(result.get(), target);
}

// The value under `key`: a direct lookup for an exact dict, the generic subscription otherwise.
// A missing key raises the missing-field ValueError with the KeyError as its context.
PyObject* field_value(PyObject* mapping, PyObject* key, const char* missing_message) {
    PyObject* value = nullptr;
    if (PyDict_CheckExact(mapping)) {
        if (PyDict_GetItemRef(mapping, key, &value) == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
        }
    } else {
        value = PyObject_GetItem(mapping, key);
    }
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) {
        raise_from_pending(PyExc_ValueError, missing_message);
    }
    return value;
}

bool check_mapping(PyObject* object) {
    if (PyMapping_Check(object)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "a mapping", Py_TYPE(object)->tp_name);
    return false;
}

bool read_int_field(PyObject* mapping, PyObject* key, const char* missing_message, std::int32_t& target) {
    Ref value = Ref::steal(field_value(mapping, key, missing_message));
    return value && read_int(value.get(), target);
}

bool read_string_field(PyObject* mapping, PyObject* key, const char* missing_message, std::string& target) {
    Ref value = Ref::steal(field_value(mapping, key, missing_message));
    return value && string_from_py(value.get(), target);
}

bool read_intervals_field(PyObject* mapping, PyObject* key, const char* missing_message, quorvel::Intervals& target) {
    Ref value = Ref::steal(field_value(mapping, key, missing_message));
    return value && intervals_from_py(value.get(), target);
}

bool append_interval_item(PyObject* item, quorvel::Intervals& target) {
    quorvel::IntervalVar interval;
    if (!interval_from_py(item, interval)) {
        return false;
    }
    return run_guarded([&] { target.push_back(std::move(interval)); });
}

bool set_int_item(PyObject* dict, PyObject* key, std::int32_t value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    return number && PyDict_SetItem(dict, key, number.get()) == 0;
}

bool set_owned_item(PyObject* dict, PyObject* key, Ref value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

std::int32_t int_from_py(PyObject* object) {
    std::int32_t value = -1;
    const bool converted =
        PyLong_Check(object) ? int32_from_exact_value(object, value) : int32_from_dunder_int(object, value);
    return converted ? value : -1;
}

bool string_from_py(PyObject* object, std::string& target) {
    const char* data = nullptr;
    Py_ssize_t length = 0;
    target.clear();
    return bytes_of(object, data, length) && append_bytes(data, length, target);
}

bool bytes_of(PyObject* object, const char*& data, Py_ssize_t& length) {
    if (PyByteArray_Check(object)) {
        data = PyByteArray_AS_STRING(object);
        length = PyByteArray_GET_SIZE(object);
        return true;
    }
    char* bytes_data = nullptr;
    if (PyBytes_AsStringAndSize(object, &bytes_data, &length) < 0) {
        return fail_in(string_from_py_entry, conversion_source_file);
    }
    data = bytes_data;
    return true;
}

bool append_bytes(const char* data, Py_ssize_t length, std::string& target) {
    if (!run_guarded([&] { target.append(data, static_cast<size_t>(length)); })) {
        return fail_in(string_from_py_entry, conversion_source_file);
    }
    return true;
}

PyObject* string_to_py(std::string_view value) {
    PyObject* bytes = PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    if (bytes == nullptr) {
        return fail_in(string_to_py_entry, conversion_source_file);
    }
    return bytes;
}

bool interval_from_py(PyObject* object, quorvel::IntervalVar& target) {
    const InternedNames& key = names();
    if (!check_mapping(object) ||
        !read_int_field(object, key.start, "No value specified for struct attribute 'start'", target.start) ||
        !read_int_field(object, key.end, "No value specified for struct attribute 'end'", target.end) ||
        !read_string_field(object, key.text, "No value specified for struct attribute 'text'", target.text) ||
        !read_string_field(object, key.original, "No value specified for struct attribute 'original'", target.original) ||
        !read_int_field(object, key.nl, "No value specified for struct attribute 'nl'", target.nl)) {
        return fail_in(interval_from_py_entry, conversion_source_file);
    }
    return true;
}

bool intervals_from_py(PyObject* object, quorvel::Intervals& target) {
    quorvel::Intervals records;
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // Items are read by index; the length is read anew each step, since item conversions
        // can run code that changes the list.
        Ref sequence = Ref::new_ref(object);
        for (Py_ssize_t index = 0; index < Py_SIZE(object); ++index) {
            Ref item = Ref::new_ref(PyList_CheckExact(object) ? PyList_GET_ITEM(object, index)
                                                               : PyTuple_GET_ITEM(object, index));
            if (!append_interval_item(item.get(), records)) {
                return fail_in(intervals_from_py_entry, conversion_source_file);
            }
        }
    } else {
        Ref iterator = Ref::steal(PyObject_GetIter(object));
        if (!iterator) {
            return fail_in(intervals_from_py_entry, conversion_source_file);
        }
        // PyIter_Next clears StopIteration (and its subclasses) and reports the end as null.
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!append_interval_item(item.get(), records)) {
                return fail_in(intervals_from_py_entry, conversion_source_file);
            }
        }
        if (PyErr_Occurred()) {
            return fail_in(intervals_from_py_entry, conversion_source_file);
        }
    }
    target = std::move(records);
    return true;
}

bool match_from_py(PyObject* object, quorvel::MatchesVar& target) {
    const InternedNames& key = names();
    if (!check_mapping(object) ||
        !read_int_field(object, key.start, "No value specified for struct attribute 'start'", target.start) ||
        !read_int_field(object, key.end, "No value specified for struct attribute 'end'", target.end) ||
        !read_intervals_field(object, key.original, "No value specified for struct attribute 'original'", target.original) ||
        !read_intervals_field(object, key.reference, "No value specified for struct attribute 'reference'", target.reference)) {
        return fail_in(match_from_py_entry, conversion_source_file);
    }
    return true;
}

PyObject* interval_to_py(const IntervalView& interval) {
    const InternedNames& key = names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int_item(dict.get(), key.start, interval.start) ||
        !set_int_item(dict.get(), key.end, interval.end) ||
        !set_owned_item(dict.get(), key.text, Ref::steal(string_to_py(interval.text))) ||
        !set_owned_item(dict.get(), key.original, Ref::steal(string_to_py(interval.original))) ||
        !set_int_item(dict.get(), key.nl, interval.nl)) {
        return nullptr;
    }
    return dict.release();
}

PyObject* intervals_to_py(const quorvel::Intervals& intervals) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(intervals.size())));
    if (!list) {
        return fail_in(intervals_to_py_entry, conversion_source_file);
    }
    for (size_t index = 0; index < intervals.size(); ++index) {
        PyObject* item = interval_to_py(intervals[index]);
        if (item == nullptr) {
            return fail_in(intervals_to_py_entry, conversion_source_file);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
    }
    return list.release();
}

PyObject* match_to_py(const quorvel::MatchesVar& match) {
    const InternedNames& key = names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int_item(dict.get(), key.start, match.start) || !set_int_item(dict.get(), key.end, match.end) ||
        !set_owned_item(dict.get(), key.original, Ref::steal(intervals_to_py(match.original))) ||
        !set_owned_item(dict.get(), key.reference, Ref::steal(intervals_to_py(match.reference)))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace tandril
