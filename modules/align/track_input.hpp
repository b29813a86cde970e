// Subtitle tracks read for the sound pairing: exact lists of interval mappings read by the
// binding's element reader under this module's rules.
//
// Times and nl are integers (anything with __index__, never a float) in the signed 32-bit range;
// "original" and "nl" may be omitted ("" and 0); texts are str and travel through unchanged, as
// the same objects (a str subclass as a plain copy), so no text is re-encoded or lost. Errors name
// the list, the element and the field: "original[12]: 'start' must be an integer, not 'str'".
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "binding/record_reading.hpp"
#include "binding/ref.hpp"
#include "quorvel/records.hpp"

namespace quorvel_align {

constexpr binding::ElementRules track_rules{
    .integers = binding::Integers::through_index,
    .texts = binding::Texts::kept,
    .messages = binding::Messages::named,
    .original_and_nl_optional = true,
};

// The same rules for the times alone.
constexpr binding::ElementRules time_rules{
    .integers = binding::Integers::through_index,
    .texts = binding::Texts::kept,
    .messages = binding::Messages::named,
    .original_and_nl_optional = true,
    .fields = binding::Fields::times,
};

struct Track {
    struct Payload {
        binding::Ref text;
        binding::Ref original;
        std::int32_t nl = 0;
    };
    std::vector<quorvel::TimeSpan> spans;  // all the pairing decides on
    std::vector<Payload> payloads;         // beside them, same positions
};

// False with the named TypeError when `value` is not an exact list; `side` names it.
bool check_list(PyObject* value, const char* side);

// Reads the exact list `list` into `track`; `side` names the list in messages ("original").
// False with an exception pending on failure.
bool read_track(PyObject* list, const char* side, Track& track);

// Reads only the "start" and "end" of each element of `list`, which must be an exact list, into
// `spans`, with the same checks and messages as read_track. False with an exception pending on
// failure.
bool read_spans(PyObject* list, const char* side, std::vector<quorvel::TimeSpan>& spans);

}  // namespace quorvel_align
