#include "binding/record_reading.hpp"

#include <utility>

namespace binding {

namespace {

constexpr const char* conversion_file = "<stringsource>";
constexpr TracebackEntry string_from_py_entry{"string_from_py", conversion_file, 1};
constexpr TracebackEntry interval_from_py_entry{"interval_from_py", conversion_file, 1};
constexpr TracebackEntry intervals_from_py_entry{"intervals_from_py", conversion_file, 1};
constexpr TracebackEntry match_from_py_entry{"match_from_py", conversion_file, 1};

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// The element reader's parts

namespace element_reading {

void note_origin(const Origin& origin, const char* key) {
    PyObject* raised = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat("while reading %s[%zd]['%s']", origin.side, origin.position, key));
    Ref added = note ? Ref::steal(PyObject_CallMethod(raised, "add_note", "O", note.get())) : Ref();
    if (!added) {
        Py_DECREF(raised);  // the failure to add the note is pending instead
        return;
    }
    PyErr_SetRaisedException(raised);
}

bool check_interval_mapping(PyObject* item, const Origin& origin) {
    // Sequences are subscriptable too, but never an interval.
    if (PyMapping_Check(item) && !PyList_Check(item) && !PyTuple_Check(item) && !PyUnicode_Check(item) &&
        !PyBytes_Check(item)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s[%zd] must be a mapping, not '%.200s'", origin.side, origin.position,
                 Py_TYPE(item)->tp_name);
    return false;
}

void raise_required(const Origin& origin, const char* key) {
    PyErr_Format(PyExc_ValueError, "%s[%zd]: '%s' is required", origin.side, origin.position, key);
}

// The value of `value`'s __int__, checked the way the interpreter checks it.
PyObject* integer_through_int(PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref result = Ref::steal(number->nb_int(value));
    if (!result || PyLong_CheckExact(result.get())) {
        return result.release();
    }
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                         "strict subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0) {
        return nullptr;
    }
    return result.release();
}

void raise_not_an_integer(PyObject* value, const Origin& origin, const char* key) {
    PyErr_Format(PyExc_TypeError, "%s[%zd]: '%s' must be an integer, not '%.200s'", origin.side, origin.position, key,
                 Py_TYPE(value)->tp_name);
}

void raise_named_out_of_range(PyObject* integer, const Origin& origin, const char* key) {
    PyErr_Format(PyExc_ValueError, "%s[%zd]: '%s' must fit in a signed 32-bit integer, not %R", origin.side,
                 origin.position, key, integer);
}

bool copy_failed() { return fail(string_from_py_entry); }

bool encode_text_slowly(PyObject* value, std::string& target) {
    Ref encoded = Ref::steal(PyUnicode_CheckExact(value) ? PyUnicode_AsUTF8String(value)
                                                          : PyObject_CallMethodOneArg(value, names().encode, names().utf_8));
    return encoded && string_from_py(encoded.get(), target);
}

bool check_str(PyObject* value, const Origin& origin, const char* key) {
    if (PyUnicode_Check(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s[%zd]: '%s' must be a str, not '%.200s'", origin.side, origin.position, key,
                 Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace element_reading

// ---------------------------------------------------------------------------------------------
// The byte form and the look-up

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

std::int32_t int_from_py(PyObject* object) {
    std::int32_t value = -1;
    if (PyLong_Check(object)) {
        return int32_from_exact_value(object, value) ? value : -1;
    }
    Ref integer = Ref::steal(element_reading::integer_through_int(object));
    return integer && int32_from_exact_value(integer.get(), value) ? value : -1;
}

bool string_from_py(PyObject* object, std::string& target) {
    if (PyByteArray_Check(object)) {
        return element_reading::copy_bytes(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object), target);
    }
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(object, &data, &length) < 0) {
        return fail(string_from_py_entry);
    }
    return element_reading::copy_bytes(data, length, target);
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

}  // namespace binding
