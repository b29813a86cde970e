"""Alignments and tracks written out as JSON or subtitle files."""

from __future__ import annotations

import json
import os
import re
from collections.abc import Iterable, Mapping
from typing import Any

import pysubs2

from c_quorvel.formats.names import OutputError, output_format

# Styles of a bilingual ASS track: the first track's lines above the second's, in two colours.
_ORIGINAL_STYLE = "Original"
_REFERENCE_STYLE = "Reference"


def alignment_to_json(alignment: Any, *, indent: int | None = 2, ensure_ascii: bool = False) -> str:
    """The JSON text of an alignment: one object holding its groups and both unpaired lists."""
    document = {
        "groups": alignment.groups,
        "unpaired_original": alignment.unpaired_original,
        "unpaired_reference": alignment.unpaired_reference,
    }
    return json.dumps(document, indent=indent, ensure_ascii=ensure_ascii) + "\n"


def alignment_to_subtitles(alignment: Any, fmt: str) -> str:
    """A bilingual subtitle track: one cue per group spanning it, the first track's lines above
    the second's (in ASS and SSA in two styles); an unpaired cue keeps its own time and line."""
    subs = _bilingual_file()
    cues: list[tuple[int, int, str, str]] = []
    for group in alignment.groups:
        upper = "\n".join(interval["text"] for interval in group["original"])
        lower = "\n".join(interval["text"] for interval in group["reference"])
        cues.append((group["start"], group["end"], _ORIGINAL_STYLE, _ass_text(upper) + r"\N{\r" + _REFERENCE_STYLE + "}" + _ass_text(lower)))
    for style, unpaired in ((_ORIGINAL_STYLE, alignment.unpaired_original), (_REFERENCE_STYLE, alignment.unpaired_reference)):
        cues.extend((interval["start"], interval["end"], style, _ass_text(interval["text"])) for interval in unpaired)
    cues.sort(key=lambda cue: cue[0])
    subs.events = [pysubs2.SSAEvent(start=start, end=end, style=style, text=text) for start, end, style, text in cues]
    return subs.to_string(fmt)


def write_alignment(alignment: Any, path: str | os.PathLike[str], *, to: str | None = None) -> None:
    """Write an alignment to ``path``: JSON, or a bilingual subtitle file (``to`` or the extension
    tells which). Raises TrackError when the format is unknown or the file cannot be written."""
    name = os.fspath(path)
    fmt = output_format(name, to)
    _write_text(name, alignment_to_json(alignment) if fmt == "json" else alignment_to_subtitles(alignment, fmt))


def track_to_text(intervals: Iterable[Mapping[str, Any]], fmt: str) -> str:
    """One track as JSON or as a subtitle file; a cue keeps its raw text where it has one."""
    intervals = list(intervals)
    if fmt == "json":
        return json.dumps(intervals, indent=2, ensure_ascii=False) + "\n"
    subs = pysubs2.SSAFile()
    subs.events = [
        pysubs2.SSAEvent(start=interval["start"], end=interval["end"],
                         text=interval.get("original") or _ass_text(interval["text"]))
        for interval in intervals
    ]
    return subs.to_string(fmt)


def write_track(intervals: Iterable[Mapping[str, Any]], path: str | os.PathLike[str], *, to: str | None = None) -> None:
    """Write one track to ``path`` as JSON or a subtitle file (``to`` or the extension tells which)."""
    name = os.fspath(path)
    _write_text(name, track_to_text(intervals, output_format(name, to)))


def _bilingual_file() -> pysubs2.SSAFile:
    subs = pysubs2.SSAFile()
    base = subs.styles["Default"]
    subs.styles[_ORIGINAL_STYLE] = base.copy()
    reference = base.copy()
    reference.primarycolor = pysubs2.Color(255, 230, 120)
    reference.italic = True
    subs.styles[_REFERENCE_STYLE] = reference
    del subs.styles["Default"]
    return subs


_ASS_ESCAPES = {"{": "\uff5b", "}": "\uff5d", "\\": "\u29f5"}
_ASS_SPECIAL = re.compile(r"[{}]|\\(?=[nNh])")


def _ass_text(plain: str) -> str:
    # Braces would open an override block; backslashes before n, N or h would become breaks.
    plain = _ASS_SPECIAL.sub(lambda found: _ASS_ESCAPES[found.group()], plain)
    return plain.replace("\n", r"\N")


def _write_text(name: str, text: str) -> None:
    try:
        with open(name, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    except OSError as exc:
        raise OutputError(f"{name}: cannot write: {exc.strerror or exc}") from None
