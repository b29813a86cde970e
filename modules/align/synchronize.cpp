// synchronize(original, reference, max_offset, max_breaks, /) reads the "start" and "end" of two
// exact lists of interval mappings, finds the map that carries the reference's times onto the
// original's timeline (quorvel::synchronize) and returns (segments, confidence, at_window_edge):
// the segments as a list of tuples (start, end, scale, offset), ints and floats, in order of
// start, covering every 32-bit time (the first starts at -2**31, the last ends at 2**31); the
// map's confidence, a float in [0, 1]; and whether a segment's offset lies at the edge of the
// offset window, a bool. max_offset and max_breaks are ints (not
// bools) from 0 to 2**63 - 1. Every failure is a pending Python exception; a signal handler that
// raises during the search stops it with that exception.
#include "synchronize.hpp"

#include <cstdint>
#include <vector>

#include "binding/errors.hpp"
#include "quorvel/sync.hpp"
#include "binding/ref.hpp"
#include "track_input.hpp"

namespace quorvel_align {

namespace {

using binding::Ref;

// A limit of the search: an int (a bool is refused), not negative, within 64 bits.
bool read_limit(PyObject* value, const char* name, std::int64_t& limit) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not '%.200s'", name, Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow > 0) {
        PyErr_Format(PyExc_ValueError, "%s must be at most 2**63 - 1, got %R", name, value);
        return false;
    }
    if (overflow < 0 || number < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, got %R", name, value);
        return false;
    }
    limit = number;
    return true;
}

PyObject* segment_tuple(const quorvel::TimeSegment& segment) {
    Ref start = Ref::steal(PyLong_FromLongLong(segment.start));
    Ref end = Ref::steal(PyLong_FromLongLong(segment.end));
    Ref scale = Ref::steal(PyFloat_FromDouble(segment.scale));
    Ref offset = Ref::steal(PyFloat_FromDouble(segment.offset));
    if (!start || !end || !scale || !offset) {
        return nullptr;
    }
    return PyTuple_Pack(4, start.get(), end.get(), scale.get(), offset.get());
}

PyObject* segment_list(const quorvel::TimeMap& map) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(map.segments.size())));
    if (!list) {
        return nullptr;
    }
    // The list is not handed to any Python code before every slot is filled.
    for (std::size_t index = 0; index < map.segments.size(); ++index) {
        PyObject* item = segment_tuple(map.segments[index]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
    }
    return list.release();
}

PyObject* synchronize_body(PyObject* const* arguments, Py_ssize_t count) {
    if (count != 4) {
        PyErr_Format(PyExc_TypeError, "synchronize() takes exactly 4 positional arguments (%zd given)", count);
        return nullptr;
    }
    std::int64_t max_offset = 0;
    std::int64_t max_breaks = 0;
    if (!read_limit(arguments[2], "max_offset", max_offset) || !read_limit(arguments[3], "max_breaks", max_breaks)) {
        return nullptr;
    }
    std::vector<quorvel::TimeSpan> original;
    std::vector<quorvel::TimeSpan> reference;
    if (!read_spans(arguments[0], "original", original) || !read_spans(arguments[1], "reference", reference)) {
        return nullptr;
    }
    quorvel::TimeMap map;
    if (!binding::run_guarded([&] {
            map = quorvel::synchronize(original, reference, max_offset, max_breaks, binding::signal_handler_raised);
        })) {
        return nullptr;
    }
    Ref segments = Ref::steal(segment_list(map));
    if (!segments) {
        return nullptr;
    }
    Ref confidence = Ref::steal(PyFloat_FromDouble(map.confidence));
    if (!confidence) {
        return nullptr;
    }
    return PyTuple_Pack(3, segments.get(), confidence.get(), map.at_window_edge ? Py_True : Py_False);
}

}  // namespace

PyObject* synchronize(PyObject*, PyObject* const* arguments, Py_ssize_t count) noexcept {
    binding::ready_exception_state();
    try {
        return synchronize_body(arguments, count);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

PyObject* map_time(PyObject*, PyObject* const* arguments, Py_ssize_t count) noexcept {
    if (count != 3) {
        PyErr_Format(PyExc_TypeError, "map_time() takes exactly 3 positional arguments (%zd given)", count);
        return nullptr;
    }
    // As Python's own float arithmetic reads them: an int too large for a float is an OverflowError.
    double values[3];
    for (Py_ssize_t index = 0; index < 3; ++index) {
        values[index] = PyFloat_AsDouble(arguments[index]);
        if (values[index] == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    // Any finite double is a whole number once rounded, which PyLong_FromDouble turns into an int
    // exactly, however far beyond 64 bits; an infinite one is an OverflowError.
    return PyLong_FromDouble(quorvel::mapped_time(values[0], values[1], values[2]));
}

const char map_time_doc[] =
    "map_time(scale, offset, time, /)\n--\n\n"
    "round(time * scale + offset), halves away from zero: the one rounding of mapped times.\n"
    "Use c_quorvel.align.TimeSegment.map.";

const char synchronize_doc[] =
    "synchronize(original, reference, max_offset, max_breaks, /)\n--\n\n"
    "Find the map carrying the reference's times onto the original's timeline; returns its segments\n"
    "as a list of (start, end, scale, offset), its confidence and whether it lies at the edge of the\n"
    "offset window. Use c_quorvel.align.synchronize.";

}  // namespace quorvel_align
