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

namespace quorvel_subrip {

// A new str, None (a new reference) or null with an exception set.
PyObject* subrip_text(PyObject* events, bool vtt, bool keep_tags);

}  // namespace quorvel_subrip
