"""Format names, the errors of the subtitle layer, and how a file's name tells its format."""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass, field
from typing import Any

import pysubs2

# Input format names: pysubs2's identifiers, "json" for lists of interval objects, "dfxp" for TTML.
EXTENSION_FORMATS = {
    ".json": "json",
    ".srt": "srt",
    ".vtt": "vtt",
    ".ass": "ass",
    ".ssa": "ssa",
    ".sub": "microdvd",
    ".ttml": "ttml",
    ".dfxp": "ttml",
    ".xml": "ttml",
    ".smi": "sami",
    ".sami": "sami",
}
FORMAT_ALIASES = {"dfxp": "ttml", "webvtt": "vtt", "subrip": "srt"}
INPUT_FORMATS = ("json", "srt", "vtt", "ass", "ssa", "microdvd", "ttml", "dfxp", "sami", "mpl2", "tmp")
OUTPUT_FORMATS = ("json", "srt", "vtt", "ass", "ssa")
# Formats a retimed track can be written in with everything else of the file kept.
# Formats whose times are frame numbers: written at a frame rate.
FRAME_FORMATS = ("microdvd",)
RETIME_FORMATS = ("json", "srt", "vtt", "ass", "ssa", "microdvd", "mpl2", "tmp")


class TrackError(ValueError):
    """A track file cannot be read or written; the message names the file."""


class OutputError(TrackError):
    """An output cannot be written: an unknown format, or the file system refused it."""


def canonical_format(name: str) -> str:
    """A format's name as this package spells it: lower case, aliases (dfxp, webvtt, subrip) resolved."""
    return FORMAT_ALIASES.get(name.lower(), name.lower())


def output_format(name: str, to: str | None) -> str:
    """The output format named by ``to``, or else by the extension of ``name``."""
    if to is not None:
        fmt = canonical_format(to)
        if fmt not in OUTPUT_FORMATS:
            raise OutputError(f"cannot write {to!r} (known output formats: {', '.join(OUTPUT_FORMATS)})")
        return fmt
    fmt = EXTENSION_FORMATS.get(os.path.splitext(name)[1].lower())
    if fmt not in OUTPUT_FORMATS:
        raise OutputError(f"{name}: cannot tell the output format from the name (use .json, .srt, .vtt or .ass, or name the format)")
    return fmt


def one_line(problem: BaseException | Warning | str, *, named: bool = False) -> str:
    """An exception, a warning or a message as one line: its words, runs of white space (line
    breaks too) made one space. ``named``: led by the exception's type, for a failure nobody
    expected; one with no message is told by that type alone."""
    text = " ".join(str(problem).split())
    kind = type(problem).__name__
    if not text:
        return kind
    return f"{kind}: {text}" if named else text


@dataclass
class Document:
    """A track file as read: its cues as intervals, and what is needed to write it back retimed.

    ``text`` is the file's decoded text as it was (line endings included); ``subs`` the subtitle
    library's view of it (None for JSON); ``track`` the intervals, as ``read_track`` returns them.
    ``encoding`` and ``byte_order_mark`` say how the file was stored, so that a retimed copy can
    be written alike. A SubRip or WebVTT file read by the fast reader has no view until ``subs`` is first asked
    for: it is then made from ``text`` (line endings unified), as the reader would have made it.
    """

    name: str
    format: str
    text: str
    track: list[dict[str, Any]]
    subs: pysubs2.SSAFile | None = None
    notes: list[str] = field(default_factory=list)
    encoding: str = "utf-8"  # the encoding the text was read in
    byte_order_mark: bool = False  # whether the file began with one (not kept in ``text``)


def _document_subs(document: Document) -> pysubs2.SSAFile | None:
    view = document.__dict__.get("_subs")
    if view is None and document.format in ("srt", "vtt"):
        text = document.text.replace("\r\n", "\n").replace("\r", "\n")
        with warnings.catch_warnings():
            # The file was read already, its notes taken then.
            warnings.simplefilter("ignore")
            view = pysubs2.SSAFile.from_string(text, document.format)
        document.__dict__["_subs"] = view
    return view


def _set_document_subs(document: Document, view: pysubs2.SSAFile | None) -> None:
    document.__dict__["_subs"] = view


# The dataclass's __init__ assigns ``subs`` through this property (its default stays None).
Document.subs = property(_document_subs, _set_document_subs)  # type: ignore[assignment]
