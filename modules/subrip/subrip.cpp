// c_quorvel._subrip: the native roads of c_quorvel.formats.fast_text.
//
// scan_cues(text, vtt, /) finds the cues of a SubRip (vtt false) or WebVTT text as pysubs2 reads
// them, or gives None when it is not sure (see cue_scanning.hpp). indented_json(value,
// final_newline=False, utf8=False, /) gives json.dumps(value, indent=2, ensure_ascii=False) for a
// tree of built-in values (or its UTF-8 bytes), or None (see json_writing.hpp). subrip_text(events, vtt, keep_tags=False, /) writes events as pysubs2 writes SubRip or
// WebVTT, or gives None (see subrip_writing.hpp). bilingual_events(groups, unpaired_original,
// unpaired_reference, vtt, split, colour, /) builds a bilingual track's events, or gives None (see
// bilingual_building.hpp); bilingual_subrip(groups, unpaired_original, unpaired_reference, split,
// colour, /) writes those of a SubRip track as its file's bytes. The caller, c_quorvel.formats.fast_text, falls back on its own Python road
// and then on pysubs2 and json.
#include <Python.h>

#include "binding/errors.hpp"
#include "binding/module_state.hpp"
#include "bilingual_building.hpp"
#include "cue_scanning.hpp"
#include "json_writing.hpp"
#include "subrip_writing.hpp"

namespace quorvel_subrip {

namespace {

PyObject* scan_cues_body(PyObject* const* arguments, Py_ssize_t count) {
    if (count != 2) {
        PyErr_Format(PyExc_TypeError, "scan_cues() takes exactly 2 positional arguments (%zd given)", count);
        return nullptr;
    }
    if (!PyUnicode_CheckExact(arguments[0])) {
        PyErr_Format(PyExc_TypeError, "text must be a str, not '%.200s'", Py_TYPE(arguments[0])->tp_name);
        return nullptr;
    }
    const int vtt = PyObject_IsTrue(arguments[1]);
    if (vtt < 0) {
        return nullptr;
    }
    return scan_cues(arguments[0], vtt != 0);
}

PyObject* scan_cues_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    binding::ready_exception_state();
    try {
        return scan_cues_body(arguments, count);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

PyObject* indented_json_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    binding::ready_exception_state();
    if (count < 1 || count > 3) {
        PyErr_Format(PyExc_TypeError, "indented_json() takes from 1 to 3 positional arguments (%zd given)", count);
        return nullptr;
    }
    const int final_newline = count >= 2 ? PyObject_IsTrue(arguments[1]) : 0;
    if (final_newline < 0) {
        return nullptr;
    }
    const int utf8 = count == 3 ? PyObject_IsTrue(arguments[2]) : 0;
    if (utf8 < 0) {
        return nullptr;
    }
    try {
        return indented_json(arguments[0], final_newline != 0, utf8 != 0);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

PyObject* subrip_text_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    binding::ready_exception_state();
    if (count != 2 && count != 3) {
        PyErr_Format(PyExc_TypeError, "subrip_text() takes 2 or 3 positional arguments (%zd given)", count);
        return nullptr;
    }
    const int vtt = PyObject_IsTrue(arguments[1]);
    if (vtt < 0) {
        return nullptr;
    }
    const int keep_tags = count == 3 ? PyObject_IsTrue(arguments[2]) : 0;
    if (keep_tags < 0) {
        return nullptr;
    }
    try {
        return subrip_text(arguments[0], vtt != 0, keep_tags != 0);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

PyObject* bilingual_events_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    binding::ready_exception_state();
    if (count != 6) {
        PyErr_Format(PyExc_TypeError, "bilingual_events() takes exactly 6 positional arguments (%zd given)", count);
        return nullptr;
    }
    const int vtt = PyObject_IsTrue(arguments[3]);
    if (vtt < 0) {
        return nullptr;
    }
    const int split = PyObject_IsTrue(arguments[4]);
    if (split < 0) {
        return nullptr;
    }
    try {
        return bilingual_events(arguments[0], arguments[1], arguments[2], vtt != 0, split != 0, arguments[5]);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

PyObject* bilingual_subrip_entry(PyObject*, PyObject* const* arguments, Py_ssize_t count) {
    binding::ready_exception_state();
    if (count != 5) {
        PyErr_Format(PyExc_TypeError, "bilingual_subrip() takes exactly 5 positional arguments (%zd given)", count);
        return nullptr;
    }
    const int split = PyObject_IsTrue(arguments[3]);
    if (split < 0) {
        return nullptr;
    }
    try {
        return bilingual_subrip(arguments[0], arguments[1], arguments[2], split != 0, arguments[4]);
    } catch (...) {
        binding::translate_native_exception();
        return nullptr;
    }
}

constexpr const char* scan_cues_doc =
    "scan_cues(text, vtt, /)\n--\n\n"
    "The cues of a SubRip or WebVTT text as (intervals, odd_positions), or None.\n"
    "Use c_quorvel.formats.fast_text.fast_intervals.";

constexpr const char* indented_json_doc =
    "indented_json(value, final_newline=False, utf8=False, /)\n--\n\n"
    "json.dumps(value, indent=2, ensure_ascii=False) for a tree of built-in values, or None.\n"
    "final_newline: the text ends with a line break. utf8: the text as UTF-8 bytes.\n"
    "Use c_quorvel.formats.fast_text.fast_json.";

constexpr const char* subrip_text_doc =
    "subrip_text(events, vtt, keep_tags=False, /)\n--\n\n"
    "pysubs2's SubRip (or WebVTT) text of a list of (start, end, text) events, or None.\n"
    "keep_tags: override blocks written as they are (pysubs2's keep_ssa_tags=True).\n"
    "Use c_quorvel.formats.fast_text.fast_subtitles.";

constexpr const char* bilingual_events_doc =
    "bilingual_events(groups, unpaired_original, unpaired_reference, vtt, split, colour, /)\n--\n\n"
    "A bilingual SubRip or WebVTT track's events as (list of (start, end, text), flags), or None.\n"
    "Use c_quorvel.formats.fast_text.fast_bilingual_events.";

constexpr const char* bilingual_subrip_doc =
    "bilingual_subrip(groups, unpaired_original, unpaired_reference, split, colour, /)\n--\n\n"
    "A bilingual SubRip track's file as UTF-8 bytes, or None.\n"
    "Use c_quorvel.formats.fast_text.fast_bilingual_subrip.";

PyMethodDef module_functions[] = {
    {"scan_cues", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_cues_entry)), METH_FASTCALL,
     scan_cues_doc},
    {"indented_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indented_json_entry)), METH_FASTCALL,
     indented_json_doc},
    {"subrip_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subrip_text_entry)), METH_FASTCALL,
     subrip_text_doc},
    {"bilingual_events", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bilingual_events_entry)),
     METH_FASTCALL, bilingual_events_doc},
    {"bilingual_subrip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bilingual_subrip_entry)),
     METH_FASTCALL, bilingual_subrip_doc},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject*) {
    binding::ready_exception_state();
    // The dictionary keys, made once per process.
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
    "_subrip",
    "Native roads of c_quorvel.formats.fast_text.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorvel_subrip

PyMODINIT_FUNC PyInit__subrip(void) { return PyModuleDef_Init(&quorvel_subrip::module_definition); }
