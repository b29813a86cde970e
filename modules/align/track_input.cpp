#include "track_input.hpp"

#include <utility>

namespace quorvel_align {

bool check_list(PyObject* value, const char* side) {
    if (PyList_CheckExact(value)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s must be a list, not '%.200s'", side, Py_TYPE(value)->tp_name);
    return false;
}

bool read_track(PyObject* list, const char* side, Track& track) {
    return binding::read_elements<track_rules>(list, side, [&](binding::KeptInterval& record) {
        track.spans.push_back({record.start, record.end});
        track.payloads.push_back({std::move(record.text), std::move(record.original), record.nl});
    });
}

bool read_spans(PyObject* list, const char* side, std::vector<quorvel::TimeSpan>& spans) {
    return check_list(list, side) &&
           binding::read_elements<time_rules>(
               list, side, [&](const binding::KeptInterval& record) { spans.push_back({record.start, record.end}); });
}

}  // namespace quorvel_align
