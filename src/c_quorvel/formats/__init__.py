"""Subtitle files and JSON documents as tracks of intervals, and alignments written back out.

A track is a list of interval dicts ``{"start", "end", "text", "original", "nl"}`` with times in
milliseconds, in order of start (stably: cues that start together keep their order in the
file). A subtitle cue becomes one interval: ``text`` is its plain text (override tags removed,
line breaks kept as ``"\\n"``), ``original`` its raw text as the subtitle library holds it (ASS
override tags included), ``nl`` the number of line breaks in ``text``. ASS comment lines and
drawings are not cues and are not read.

Subtitle formats are read and written with pysubs2. A JSON input is a list of interval objects:
``start`` and ``end`` integers, ``text`` a string, ``original`` a string and ``nl`` an integer
(both optional: "" and the number of line breaks in ``text``).

Each file is decoded on its own: by its byte-order mark, else as UTF-8 when its bytes are valid
UTF-8, else in the encoding detected (``read_track``'s ``notes`` then says which); line endings
CRLF, CR and LF read alike. ``read_document`` keeps the file's text and the subtitle library's
view of it beside the track, for writing the file back retimed.

Every bad input raises :class:`TrackError` (an output that cannot be written, its subclass
:class:`OutputError`) with a one-line message that names the file. Nothing
here prints or exits, so these functions can run in worker processes.
"""

from c_quorvel.formats.names import (
    INPUT_FORMATS, OUTPUT_FORMATS, RETIME_FORMATS, Document, OutputError, TrackError, one_line, output_format,
)
from c_quorvel.limits import INT32_MAX, INT32_MIN
from c_quorvel.formats.reading import read_document, read_track
from c_quorvel.formats.writing import (
    LAYOUTS, TEMPORARY_NAME, alignment_file_bytes, alignment_to_json, alignment_to_subtitles, color_value, retimed_text, track_to_text, write_alignment,
    temporary_name, write_bytes_atomically, write_retimed, write_text_atomically, write_track,
)

__all__ = [
    "Document", "INPUT_FORMATS", "INT32_MAX", "INT32_MIN", "LAYOUTS", "OUTPUT_FORMATS", "OutputError", "RETIME_FORMATS",
    "TEMPORARY_NAME", "TrackError", "alignment_file_bytes", "alignment_to_json", "alignment_to_subtitles", "color_value", "one_line", "output_format", "read_document",
    "read_track", "retimed_text", "temporary_name", "track_to_text", "write_alignment", "write_bytes_atomically", "write_retimed", "write_text_atomically",
    "write_track",
]
