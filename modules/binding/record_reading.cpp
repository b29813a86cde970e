#include "binding/record_reading.hpp"

#include <exception>
#include <utility>

#include "binding/errors.hpp"
#include "binding/module_state.hpp"
#include "binding/ref.hpp"

namespace binding {

namespace {

constexpr const char* conversion_file = "<stringsource>";
constexpr TracebackEntry string_from_py_entry{"string_from_py", conversion_file, 1};
constexpr TracebackEntry interval_from_py_entry{"interval_from_py", conversion_file, 1};
constexpr TracebackEntry intervals_from_py_entry{"intervals_from_py", conversion_file, 1};
constexpr TracebackEntry match_from_py_entry{"match_from_py", conversion_file, 1};

// ---------------------------------------------------------------------------------------------
// Fields

bool int32_from_exact_value(PyObject* integer, std::int32_t& target) {
    switch (int32_of(integer, target)) {
    case Int32Reading::read:
        return true;
    case Int32Reading::out_of_range:
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    case Int32Reading::failed:
        break;
    }
    return false;
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

// Copies `length` bytes at `data` into `target`, as string_from_py does. Entry.
bool copy_bytes(const char* data, Py_ssize_t length, std::string& target) {
    if (!run_guarded([&] { target.assign(data, static_cast<size_t>(length)); })) {
        return fail(string_from_py_entry);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Byte form

// The value under `key`; a missing key raises the missing-field ValueError with the KeyError as
// its context.
PyObject* field_value(PyObject* mapping, PyObject* key, const char* missing_message) {
    PyObject* value = item_value(mapping, key);
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

// ---------------------------------------------------------------------------------------------
// Input form

// `value.encode("utf-8")`, copied as string_from_py copies it.
bool read_input_text(PyObject* value, std::string& target) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        // The UTF-8 of an ASCII str is its own storage.
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &length);
        return data != nullptr && copy_bytes(data, length, target);
    }
    Ref encoded = Ref::steal(PyUnicode_CheckExact(value) ? PyUnicode_AsUTF8String(value)
                                                          : PyObject_CallMethodOneArg(value, names().encode, names().utf_8));
    return encoded && string_from_py(encoded.get(), target);
}

bool read_input_int_field(PyObject* item, PyObject* key, std::int32_t& target) {
    Ref value = Ref::steal(item_value(item, key));
    return value && read_int(value.get(), target);
}

bool read_input_text_field(PyObject* item, PyObject* key, std::string& target) {
    Ref value = Ref::steal(item_value(item, key));
    return value && read_input_text(value.get(), target);
}

// The one walk: the values of an element that is an exact dict holding exactly the five field
// names, in field order, as the very interned objects, with values of exact types (int, str)
// whose conversion runs no Python code. For such an element one pass over the dict finds what
// the five look-ups would, and nothing can change the dict between the reads; any other element
// is read by look-ups. This is the reading's one speed device; its figure is in
// benchmarks/README.md.
bool values_in_field_order(PyObject* item, PyObject* (&values)[5]) {
    if (!PyDict_CheckExact(item) || PyDict_GET_SIZE(item) != 5) {
        return false;
    }
    const InternedNames& key = names();
    PyObject* const field_names[5] = {key.start, key.end, key.text, key.original, key.nl};
    Py_ssize_t cursor = 0;
    for (int field = 0; field < 5; ++field) {
        PyObject* found_key = nullptr;
        if (!PyDict_Next(item, &cursor, &found_key, &values[field]) || found_key != field_names[field]) {
            return false;
        }
    }
    return PyLong_CheckExact(values[0]) && PyLong_CheckExact(values[1]) && PyUnicode_CheckExact(values[2]) &&
           PyUnicode_CheckExact(values[3]) && PyLong_CheckExact(values[4]);
}

// Reads one input element into `target`, whose strings keep their room from element to element.
bool read_input_interval(PyObject* item, quorvel::IntervalVar& target) {
    PyObject* values[5];
    if (values_in_field_order(item, values)) {
        return int32_from_exact_value(values[0], target.start) && int32_from_exact_value(values[1], target.end) &&
               read_input_text(values[2], target.text) && read_input_text(values[3], target.original) &&
               int32_from_exact_value(values[4], target.nl);
    }
    // Each field is looked up by name and converted right after its look-up.
    const InternedNames& key = names();
    return read_input_int_field(item, key.start, target.start) && read_input_int_field(item, key.end, target.end) &&
           read_input_text_field(item, key.text, target.text) &&
           read_input_text_field(item, key.original, target.original) && read_input_int_field(item, key.nl, target.nl);
}

// Reads the elements of `list` in order, handing each to `append` as soon as it is read.
template <typename Append>
bool read_input_elements(PyObject* list, Append append) {
    Ref held = Ref::new_ref(list);
    quorvel::IntervalVar interval;
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(list); ++position) {
        Ref item = Ref::new_ref(PyList_GET_ITEM(list, position));
        if (!read_input_interval(item.get(), interval) || !run_guarded([&] { append(interval); })) {
            return false;
        }
    }
    return true;
}

// Room for the elements there are now, in one allocation (the list may still change). Only a
// hint: without the room, elements are read as they would be, and fail as they would.
template <typename Records>
void reserve_for(PyObject* list, Records& target) {
    try {
        target.reserve(target.size() + static_cast<std::size_t>(PyList_GET_SIZE(list)));
    } catch (const std::exception&) {
    }
}

}  // namespace

PyObject* item_value(PyObject* mapping, PyObject* key, Missing missing) {
    if (!PyDict_CheckExact(mapping)) {
        PyObject* value = PyObject_GetItem(mapping, key);
        if (value == nullptr && missing == Missing::absent && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
        }
        return value;
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(mapping, key, &value) == 0 && missing == Missing::raises) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

Int32Reading int32_of(PyObject* integer, std::int32_t& target) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return Int32Reading::failed;
    }
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        return Int32Reading::out_of_range;
    }
    target = static_cast<std::int32_t>(value);
    return Int32Reading::read;
}

std::int32_t int_from_py(PyObject* object) {
    std::int32_t value = -1;
    const bool converted =
        PyLong_Check(object) ? int32_from_exact_value(object, value) : int32_from_dunder_int(object, value);
    return converted ? value : -1;
}

bool string_from_py(PyObject* object, std::string& target) {
    if (PyByteArray_Check(object)) {
        return copy_bytes(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object), target);
    }
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(object, &data, &length) < 0) {
        return fail(string_from_py_entry);
    }
    return copy_bytes(data, length, target);
}

bool interval_from_py(PyObject* object, quorvel::IntervalVar& target) {
    const InternedNames& key = names();
    if (!check_mapping(object) ||
        !read_int_field(object, key.start, "No value specified for struct attribute 'start'", target.start) ||
        !read_int_field(object, key.end, "No value specified for struct attribute 'end'", target.end) ||
        !read_string_field(object, key.text, "No value specified for struct attribute 'text'", target.text) ||
        !read_string_field(object, key.original, "No value specified for struct attribute 'original'", target.original) ||
        !read_int_field(object, key.nl, "No value specified for struct attribute 'nl'", target.nl)) {
        return fail(interval_from_py_entry);
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
                return fail(intervals_from_py_entry);
            }
        }
    } else {
        Ref iterator = Ref::steal(PyObject_GetIter(object));
        if (!iterator) {
            return fail(intervals_from_py_entry);
        }
        // PyIter_Next clears StopIteration (and its subclasses) and reports the end as null.
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!append_interval_item(item.get(), records)) {
                return fail(intervals_from_py_entry);
            }
        }
        if (PyErr_Occurred()) {
            return fail(intervals_from_py_entry);
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
        return fail(match_from_py_entry);
    }
    return true;
}

bool read_input_list(PyObject* list, quorvel::Intervals& target) {
    reserve_for(list, target);
    return read_input_elements(list, [&](quorvel::IntervalVar& interval) { target.push_back(std::move(interval)); });
}

bool read_input_list(PyObject* list, quorvel::IntervalStore& target) {
    reserve_for(list, target);
    return read_input_elements(list, [&](const quorvel::IntervalVar& interval) { target.append(view_of(interval)); });
}

}  // namespace binding
