// The cues of a SubRip or WebVTT text, as pysubs2 reads them, for the texts this scan is sure of.
//
// The scan reads the text's code points in place at their own width, with the interpreter's own
// tests for whitespace and decimal digits (those of str.strip and of the patterns pysubs2 uses),
// so that it finds what pysubs2 finds: a timing line is one holding two timestamps; the lines up to the
// next timing line are the cue's text, stripped, the next cue's number cut off, line breaks
// written as "\N" in "original". It gives up (None) on a file with a timestamp anywhere else
// (a line with a digit, a colon and a digit outside a timing line it takes), a cue ending before
// it starts or after the signed 32-bit range, or no cue; the caller then reads the file another
// way. Cues whose text needs pysubs2's full preparation are marked, not prepared.
#pragma once

#include <Python.h>

namespace quorvel_subrip {

// (intervals, odd_positions) in file order, or None (a new reference), or null with an exception
// set. An interval is {"start", "end", "text", "original", "nl"}; at each odd position "text" is
// None and "original" holds the cue's raw lines. `text` must be an exact str.
PyObject* scan_cues(PyObject* text, bool vtt);

}  // namespace quorvel_subrip
