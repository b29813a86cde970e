// Subtitle tracks read for the sound pairing: lists of interval mappings whose "original" and
// "nl" may be omitted, checked field by field with errors that name the element and the field.
//
// Times and nl are integers (anything with __index__, never a float) in the signed 32-bit range;
// texts are str and travel through unchanged, as the same objects (a str subclass as a plain
// copy), so no text is re-encoded or lost. A list is read by index, holding the list and each
// element and re-reading the length before each step, since lookups can run Python code.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/records.hpp"
#include "binding/ref.hpp"

namespace quorvel_align {

struct Track {
    struct Payload {
        binding::Ref text;
        binding::Ref original;
        std::int32_t nl = 0;
    };
    std::vector<quorvel::TimeSpan> spans;  // all the pairing decides on
    std::vector<Payload> payloads;         // beside them, same positions
};

// Reads the exact list `list` into `track`; `side` names the list in messages ("original").
// False with an exception pending on failure.
bool read_track(PyObject* list, const char* side, Track& track);

// Reads only the "start" and "end" of each element of `list`, which must be an exact list, into
// `spans`, with the same checks and messages as read_track. False with an exception pending on failure.
bool read_spans(PyObject* list, const char* side, std::vector<quorvel::TimeSpan>& spans);

}  // namespace quorvel_align
