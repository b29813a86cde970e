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

Every bad input raises :class:`TrackError` (an output that cannot be written, its subclass
:class:`OutputError`) with a one-line message that names the file. Nothing
here prints or exits, so these functions can run in worker processes.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Iterable, Mapping
from typing import Any

import pysubs2

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

# Input format names: pysubs2's identifiers, "json" for lists of interval objects, "dfxp" for TTML.
_EXTENSION_FORMATS = {
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
_FORMAT_ALIASES = {"dfxp": "ttml", "webvtt": "vtt", "subrip": "srt"}
INPUT_FORMATS = ("json", "srt", "vtt", "ass", "ssa", "microdvd", "ttml", "dfxp", "sami", "mpl2", "tmp")
OUTPUT_FORMATS = ("json", "srt", "vtt", "ass", "ssa")

# Styles of a bilingual ASS track: the first track's lines above the second's, in two colours.
_ORIGINAL_STYLE = "Original"
_REFERENCE_STYLE = "Reference"


class TrackError(ValueError):
    """A track file cannot be read or written; the message names the file."""


class OutputError(TrackError):
    """An output cannot be written: an unknown format, or the file system refused it."""


# Reading -------------------------------------------------------------------------------------


def read_track(
    path: str | os.PathLike[str],
    *,
    format: str | None = None,
    encoding: str | None = None,
    fps: float | None = None,
) -> list[dict[str, Any]]:
    """Read a subtitle file or a JSON list of intervals into a track.

    ``format`` overrides the one told by the file's extension (or, for an unknown extension, by
    its content); ``encoding`` defaults to UTF-8, with a byte-order mark accepted; ``fps`` is the
    frame rate of a frame-based format (MicroDVD) whose file does not state it.
    """
    name = os.fspath(path)
    text = _read_text(name, encoding)
    fmt = _input_format(name, text, format)
    if fmt == "json":
        intervals = _intervals_from_json(name, text)
    else:
        intervals = _intervals_from_subtitles(name, text, fmt, fps)
    intervals.sort(key=lambda interval: interval["start"])
    return intervals


def _read_text(name: str, encoding: str | None) -> str:
    try:
        with open(name, "rb") as handle:
            data = handle.read()
    except FileNotFoundError:
        raise TrackError(f"{name}: file not found") from None
    except IsADirectoryError:
        raise TrackError(f"{name}: is a directory, not a file") from None
    except PermissionError:
        raise TrackError(f"{name}: permission denied") from None
    except OSError as exc:
        raise TrackError(f"{name}: cannot read: {exc.strerror or exc}") from None
    try:
        return data.decode(encoding or "utf-8-sig")
    except LookupError:
        raise TrackError(f"{name}: unknown encoding {encoding!r}") from None
    except UnicodeDecodeError as exc:
        told = f"not {encoding} text" if encoding else "not UTF-8 text"
        raise TrackError(
            f"{name}: {told} (byte 0x{data[exc.start]:02x} at offset {exc.start}); "
            "name the file's encoding with --encoding (for example --encoding cp1252 or latin-1)"
        ) from None


def _input_format(name: str, text: str, fmt: str | None) -> str:
    if fmt is not None:
        fmt = _FORMAT_ALIASES.get(fmt.lower(), fmt.lower())
        if fmt not in INPUT_FORMATS:
            raise TrackError(f"{name}: unknown format {fmt!r} (known: {', '.join(INPUT_FORMATS)})")
        return fmt
    by_extension = _EXTENSION_FORMATS.get(os.path.splitext(name)[1].lower())
    if by_extension is not None:
        return by_extension
    if text.lstrip().startswith("["):
        return "json"
    try:
        return pysubs2.formats.autodetect_format(text[:10000])
    except pysubs2.exceptions.FormatAutodetectionError:
        raise TrackError(
            f"{name}: not a subtitle file this tool knows (give its format with --format: "
            f"{', '.join(INPUT_FORMATS)})"
        ) from None


def _intervals_from_subtitles(name: str, text: str, fmt: str, fps: float | None) -> list[dict[str, Any]]:
    options: dict[str, Any] = {} if fps is None else {"fps": fps}
    try:
        subs = pysubs2.SSAFile.from_string(text, fmt, **options)
    except pysubs2.exceptions.UnknownFPSError:
        raise TrackError(f"{name}: a frame-based file without a frame rate; give one with --fps (for example --fps 23.976)") from None
    except (pysubs2.exceptions.Pysubs2Error, ValueError, KeyError, IndexError, TypeError,
            AttributeError, NotImplementedError, SyntaxError) as exc:
        # xml.etree's ParseError is a SyntaxError; the parsers raise the others on malformed lines.
        raise TrackError(f"{name}: not a readable {fmt} file ({_one_line(exc)})") from None
    intervals = []
    for number, event in enumerate(subs.events, start=1):
        if not event.is_text:
            continue
        for field in ("start", "end"):
            value = getattr(event, field)
            if not INT32_MIN <= value <= INT32_MAX:
                raise TrackError(f"{name}: cue {number}: {field} time {value} ms is outside the signed 32-bit range")
        plain = event.plaintext
        intervals.append(
            {"start": int(event.start), "end": int(event.end), "text": plain, "original": event.text, "nl": plain.count("\n")}
        )
    if not intervals and text.strip():
        raise TrackError(f"{name}: no subtitle cues found in this {fmt} file (is it a subtitle file?)")
    return intervals


def _intervals_from_json(name: str, text: str) -> list[dict[str, Any]]:
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise TrackError(f"{name}: invalid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except RecursionError:
        raise TrackError(f"{name}: JSON nested too deeply to read") from None
    except ValueError as exc:
        # An integer literal longer than the interpreter converts (4300 digits by default).
        raise TrackError(f"{name}: JSON holds a number too long to convert ({_one_line(exc)})") from None
    if not isinstance(data, list):
        raise TrackError(f"{name}: expected a JSON list of interval objects, got {_json_kind(data)}")
    return [_interval_from_json(name, position, item) for position, item in enumerate(data, start=1)]


def _interval_from_json(name: str, position: int, item: Any) -> dict[str, Any]:
    where = f"{name}: interval #{position}"
    if not isinstance(item, dict):
        raise TrackError(f"{where}: expected an object with start, end and text, got {_json_kind(item)}")
    for key in ("start", "end", "text"):
        if key not in item:
            raise TrackError(f"{where}: missing key {key!r} (every interval needs start, end and text)")
    text = _json_string(where, item, "text")
    return {
        "start": _json_int32(where, item, "start"),
        "end": _json_int32(where, item, "end"),
        "text": text,
        "original": _json_string(where, item, "original") if "original" in item else "",
        "nl": _json_int32(where, item, "nl") if "nl" in item else text.count("\n"),
    }


def _json_int32(where: str, item: Mapping[str, Any], key: str) -> int:
    value = item[key]
    if isinstance(value, bool) or not isinstance(value, int):
        raise TrackError(f"{where}: {key!r} must be an integer, got {_json_value(value)}")
    if not INT32_MIN <= value <= INT32_MAX:
        raise TrackError(f"{where}: {key!r} = {value} is outside the signed 32-bit range")
    return value


def _json_string(where: str, item: Mapping[str, Any], key: str) -> str:
    value = item[key]
    if not isinstance(value, str):
        raise TrackError(f"{where}: {key!r} must be a string, got {_json_value(value)}")
    return value


def _json_kind(value: Any) -> str:
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    return "null"


def _json_value(value: Any) -> str:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        shown = json.dumps(value)
        return shown if len(shown) <= 40 else f"{shown[:37]}..."
    return _json_kind(value)


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


# Writing -------------------------------------------------------------------------------------


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


def output_format(name: str, to: str | None) -> str:
    """The output format named by ``to``, or else by the extension of ``name``."""
    if to is not None:
        fmt = _FORMAT_ALIASES.get(to.lower(), to.lower())
        if fmt not in OUTPUT_FORMATS:
            raise OutputError(f"cannot write {to!r} (known output formats: {', '.join(OUTPUT_FORMATS)})")
        return fmt
    fmt = _EXTENSION_FORMATS.get(os.path.splitext(name)[1].lower())
    if fmt not in OUTPUT_FORMATS:
        raise OutputError(f"{name}: cannot tell the output format from the name (use .json, .srt, .vtt or .ass, or name the format)")
    return fmt


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
