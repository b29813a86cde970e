// SubRip and WebVTT text of a list of events, as pysubs2 writes a file of default-style events.
//
// Each event is an exact tuple (start, end, text): times in milliseconds from 0 to 99:59:59.999,
// text in pysubs2's form (override blocks in braces, "\N", "\n" and "\h"). The text is written
// as pysubs2's SubRip writer writes it: the three escapes turned into line breaks and a blank,
// the override blocks' italic, underline and strikeout (and returns to the style with "\r")
// turned into <i>, <u> and <s> around each fragment, the whole stripped, runs of line breaks
// made one. With `keep_tags` (pysubs2's keep_ssa_tags=True) the override blocks are written as
// they are, the three escapes still turned. The events are written in the order given, numbered from 1; the caller sorts them
// (WebVTT) and leaves out drawings. Gives None for anything else, for pysubs2 to write.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_subrip {

// A new str, None (a new reference) or null with an exception set.
PyObject* subrip_text(PyObject* events, bool vtt, bool keep_tags);

// Buffers reused from one event to the next.
struct EventScratch {
    std::vector<Py_UCS4> text;
    std::vector<Py_UCS4> body;
};

// One SubRip event as subrip_text writes it (numbered `number`), appended to `out` as UTF-8, for
// a writer that holds the event's text as code points rather than as a str. False, with nothing
// to be kept of `out`, where subrip_text would give None.
bool append_subrip_event(std::string& out, std::size_t number, long long start, long long end, std::u32string_view text,
                         bool keep_tags, EventScratch& scratch);

}  // namespace quorvel_subrip
