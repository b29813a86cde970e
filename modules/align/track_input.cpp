#include "track_input.hpp"

#include "binding/errors.hpp"
#include "binding/module_state.hpp"
#include "binding/record_reading.hpp"

namespace quorvel_align {

namespace {

using binding::Ref;

// Where a value comes from, for messages: side[position] and the key.
struct Field {
    const char* side;
    Py_ssize_t position;
    const char* key;
};

// Adds "while reading original[3]['start']" to the pending exception, which came from Python code
// (a mapping's own lookup, an __index__) and is passed on otherwise unchanged.
void note_origin(const Field& field) {
    PyObject* raised = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat("while reading %s[%zd]['%s']", field.side, field.position, field.key));
    Ref added = note ? Ref::steal(PyObject_CallMethod(raised, "add_note", "O", note.get())) : Ref();
    if (!added) {
        Py_DECREF(raised);  // the failure to add the note is pending instead
        return;
    }
    PyErr_SetRaisedException(raised);
}

// The value under `key`, or null: with nothing pending when the key is absent, with an exception
// pending, noted with its origin, when the lookup failed otherwise.
PyObject* lookup(PyObject* item, PyObject* key, const Field& field) {
    PyObject* value = binding::item_value(item, key, binding::Missing::absent);
    if (value == nullptr && PyErr_Occurred()) {
        note_origin(field);
    }
    return value;
}

// The value under a key that must be present.
PyObject* required(PyObject* item, PyObject* key, const Field& field) {
    PyObject* value = lookup(item, key, field);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "%s[%zd]: '%s' is required", field.side, field.position, field.key);
    }
    return value;
}

bool read_integer(PyObject* value, const Field& field, std::int32_t& target) {
    Ref integer = Ref::steal(PyLong_CheckExact(value) ? Py_NewRef(value) : PyNumber_Index(value));
    if (!integer) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s[%zd]: '%s' must be an integer, not '%.200s'", field.side,
                         field.position, field.key, Py_TYPE(value)->tp_name);
        } else {
            note_origin(field);
        }
        return false;
    }
    const binding::Int32Reading reading = binding::int32_of(integer.get(), target);
    if (reading == binding::Int32Reading::out_of_range) {
        PyErr_Format(PyExc_ValueError, "%s[%zd]: '%s' must fit in a signed 32-bit integer, not %R", field.side,
                     field.position, field.key, integer.get());
    }
    return reading == binding::Int32Reading::read;
}

bool read_time(PyObject* item, PyObject* key, const Field& field, std::int32_t& target) {
    Ref value = Ref::steal(required(item, key, field));
    return value && read_integer(value.get(), field, target);
}

// A str as a plain str: the object itself, or a copy of a subclass's text.
bool read_text(PyObject* value, const Field& field, Ref& target) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s[%zd]: '%s' must be a str, not '%.200s'", field.side, field.position,
                     field.key, Py_TYPE(value)->tp_name);
        return false;
    }
    target = Ref::steal(PyUnicode_FromObject(value));
    return static_cast<bool>(target);
}

// An element's "start" and "end"; the element must be a mapping.
bool read_span(PyObject* item, const char* side, Py_ssize_t position, quorvel::TimeSpan& span) {
    const binding::InternedNames& key = binding::names();
    // Sequences are subscriptable too, but never an interval.
    if (!PyMapping_Check(item) || PyList_Check(item) || PyTuple_Check(item) || PyUnicode_Check(item) ||
        PyBytes_Check(item)) {
        PyErr_Format(PyExc_TypeError, "%s[%zd] must be a mapping, not '%.200s'", side, position,
                     Py_TYPE(item)->tp_name);
        return false;
    }
    return read_time(item, key.start, {side, position, "start"}, span.start) &&
           read_time(item, key.end, {side, position, "end"}, span.end);
}

bool read_element(PyObject* item, const char* side, Py_ssize_t position, Track& track) {
    const binding::InternedNames& key = binding::names();
    quorvel::TimeSpan span;
    Track::Payload payload;
    if (!read_span(item, side, position, span)) {
        return false;
    }
    const Field text_field{side, position, "text"};
    Ref text = Ref::steal(required(item, key.text, text_field));
    if (!text || !read_text(text.get(), text_field, payload.text)) {
        return false;
    }
    const Field original_field{side, position, "original"};
    Ref original = Ref::steal(lookup(item, key.original, original_field));
    if (original ? !read_text(original.get(), original_field, payload.original) : PyErr_Occurred() != nullptr) {
        return false;
    }
    if (!original) {
        payload.original = Ref::steal(PyUnicode_New(0, 0));
        if (!payload.original) {
            return false;
        }
    }
    const Field nl_field{side, position, "nl"};
    Ref nl = Ref::steal(lookup(item, key.nl, nl_field));
    if (nl ? !read_integer(nl.get(), nl_field, payload.nl) : PyErr_Occurred() != nullptr) {
        return false;
    }
    return binding::run_guarded([&] {
        track.spans.push_back(span);
        track.payloads.push_back(std::move(payload));
    });
}

}  // namespace

bool read_track(PyObject* list, const char* side, Track& track) {
    Ref held = Ref::new_ref(list);
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(list); ++position) {
        Ref item = Ref::new_ref(PyList_GET_ITEM(list, position));
        if (!read_element(item.get(), side, position, track)) {
            return false;
        }
    }
    return true;
}

bool read_spans(PyObject* list, const char* side, std::vector<quorvel::TimeSpan>& spans) {
    if (!PyList_CheckExact(list)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list, not '%.200s'", side, Py_TYPE(list)->tp_name);
        return false;
    }
    Ref held = Ref::new_ref(list);
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(list); ++position) {
        Ref item = Ref::new_ref(PyList_GET_ITEM(list, position));
        quorvel::TimeSpan span;
        if (!read_span(item.get(), side, position, span) || !binding::run_guarded([&] { spans.push_back(span); })) {
            return false;
        }
    }
    return true;
}

}  // namespace quorvel_align
