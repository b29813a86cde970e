// c_quorvel._align: the native entry of c_quorvel.align.pair_tracks.
//
// pair_tracks(original, reference, margin, /) reads two exact lists of interval mappings, pairs
// them with the engine's sound walk and returns (groups, unpaired_original, unpaired_reference):
// group dicts {"start", "end", "original", "reference"} and interval dicts {"start", "end",
// "text", "original", "nl"}, one new dict per input interval. Every failure is a pending Python
// exception; nothing half-built is returned. The caller, c_quorvel.align, checks and documents the
// arguments; this module only refuses what it cannot work with.
#include <Python.h>

#include <span>

#include "binding/dict_building.hpp"
#include "binding/errors.hpp"
#include "binding/module_state.hpp"
#include "binding/record_reading.hpp"
#include "binding/ref.hpp"
#include "quorvel/pairing.hpp"
#include "synchronize.hpp"
#include "track_input.hpp"

namespace quorvel_align {

namespace {

using binding::Ref;

using binding::set_int;

PyObject* interval_dict(const Track& track, std::size_t position) {
    const binding::InternedNames& key = binding::names();
    const quorvel::TimeSpan& span = track.spans[position];
    const Track::Payload& payload = track.payloads[position];
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int(dict.get(), key.start, span.start) || !set_int(dict.get(), key.end, span.end) ||
        PyDict_SetItem(dict.get(), key.text, payload.text.get()) < 0 ||
        PyDict_SetItem(dict.get(), key.original, payload.original.get()) < 0 ||
        !set_int(dict.get(), key.nl, payload.nl)) {
        return nullptr;
    }
    return dict.release();
}

PyObject* interval_list(const Track& track, std::span<const std::size_t> positions) {
    return binding::list_of(positions.size(), [&](std::size_t index) { return interval_dict(track, positions[index]); });
}

PyObject* group_dict(const quorvel::PairedPositions& paired, const quorvel::PairedPositions::Group& group,
                     const Track& original, const Track& reference) {
    const binding::InternedNames& key = binding::names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int(dict.get(), key.start, group.start) || !set_int(dict.get(), key.end, group.end)) {
        return nullptr;
    }
    Ref originals = Ref::steal(interval_list(original, paired.originals_of(group)));
    if (!originals || PyDict_SetItem(dict.get(), key.original, originals.get()) < 0) {
        return nullptr;
    }
    Ref references = Ref::steal(interval_list(reference, paired.references_of(group)));
    if (!references || PyDict_SetItem(dict.get(), key.reference, references.get()) < 0) {
        return nullptr;
    }
    return dict.release();
}

PyObject* group_list(const quorvel::PairedPositions& paired, const Track& original, const Track& reference) {
    return binding::list_of(paired.groups.size(), [&](std::size_t index) {
        return group_dict(paired, paired.groups[index], original, reference);
    });
}

bool read_margin(PyObject* value, std::int32_t& margin) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "margin must be an int, not '%.200s'", Py_TYPE(value)->tp_name);
        return false;
    }
    const binding::Int32Reading reading = binding::int32_of(value, margin);
    if (reading == binding::Int32Reading::out_of_range) {
        PyErr_Format(PyExc_ValueError, "margin must fit in a signed 32-bit integer, not %R", value);
    }
    return reading == binding::Int32Reading::read;
}

PyObject* pair_tracks_body(PyObject* const* arguments, Py_ssize_t count) {
    if (count != 3) {
        PyErr_Format(PyExc_TypeError, "pair_tracks() takes exactly 3 positional arguments (%zd given)", count);
        return nullptr;
    }
    std::int32_t margin = 0;
    if (!check_list(arguments[0], "original") || !check_list(arguments[1], "reference") ||
        !read_margin(arguments[2], margin)) {
        return nullptr;
    }
    Track original;
    Track reference;
    if (!read_track(arguments[0], "original", original) || !read_track(arguments[1], "reference", reference)) {
        return nullptr;
    }
    quorvel::AlignedPositions aligned;
    if (!binding::run_guarded([&] {
            aligned = quorvel::align_positions(original.spans, reference.spans, margin, binding::signal_handler_raised);
        })) {
        return nullptr;
    }
    Ref groups = Ref::steal(group_list(aligned.paired, original, reference));
    if (!groups) {
        return nullptr;
    }
    Ref unpaired_original = Ref::steal(interval_list(original, aligned.unpaired_original));
    if (!unpaired_original) {
        return nullptr;
    }
    Ref unpaired_reference = Ref::steal(interval_list(reference, aligned.unpaired_reference));
    if (!unpaired_reference) {
        return nullptr;
    }
    return PyTuple_Pack(3, groups.get(), unpaired_original.get(), unpaired_reference.get());
}

PyObject* pair_tracks(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    binding::ready_exception_state();
    try {
        return pair_tracks_body(arguments, count);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

constexpr const char* pair_tracks_doc =
    "pair_tracks(original, reference, margin, /)\n--\n\n"
    "Pair two lists of interval mappings soundly; returns (groups, unpaired_original, unpaired_reference).\n"
    "Use c_quorvel.align.pair_tracks, which checks the arguments.";

PyMethodDef module_functions[] = {
    {"pair_tracks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pair_tracks)), METH_FASTCALL,
     pair_tracks_doc},
    {"synchronize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(synchronize)), METH_FASTCALL, synchronize_doc},
    {"map_time", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_time)), METH_FASTCALL, map_time_doc},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject*) {
    binding::ready_exception_state();
    // The dictionary keys, interned once per process.
    return binding::create_interned_names() ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // The interned keys are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_align",
    "Native entry of c_quorvel.align.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorvel_align

PyMODINIT_FUNC PyInit__align(void) { return PyModuleDef_Init(&quorvel_align::module_definition); }
