// The events of a bilingual SubRip or WebVTT track, as c_quorvel.formats.writing builds them
// (its bilingual_events is the reference; the tests hold the two equal).
//
// Input: the alignment's three lists (groups: exact dicts with "start", "end", "original" and
// "reference", the last two exact lists of cues; unpaired cues: exact dicts with "start", "end",
// "text" and "original"), whether the track is WebVTT, whether the layout is split, and the
// reference's colour ("#rrggbb") or None. Output: (events, flags): the events as exact tuples
// (start, end, text) in the writer's order, texts in pysubs2's form (lines joined by "\N"), and
// one byte per event: 1 when the event is shown at the top (a WebVTT cue setting), 2 when its style
// is the reference's.
//
// Handled here: every time rule (times before 0 shown from 0, overlapping cues cut or joined) and
// the plain texts people have: no braces, "<", carriage returns, backslashes only in a raw
// text's "\h", "\n" and "\N", and no run of digits around a colon that a timestamp pattern
// could take. Anything else (a time past what the
// format holds, a float time, a raw text with override tags, a mapping that is no dict) gives None,
// and the Python builder runs, raising its own errors where there are any.
#pragma once

#include <Python.h>

namespace quorvel_subrip {

// A new (list, bytes) tuple, None (a new reference) or null with an exception set.
PyObject* bilingual_events(PyObject* groups, PyObject* unpaired_original, PyObject* unpaired_reference, bool vtt,
                           bool split, PyObject* colour);

// The same events of a SubRip track written as its file, in UTF-8: the bytes of subrip_text
// (keep_tags) of them, encoded. A new bytes, None (a new reference) or null with an exception set.
PyObject* bilingual_subrip(PyObject* groups, PyObject* unpaired_original, PyObject* unpaired_reference, bool split,
                           PyObject* colour);

}  // namespace quorvel_subrip
