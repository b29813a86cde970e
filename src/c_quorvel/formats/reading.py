"""Subtitle files and JSON documents read into tracks of interval dicts.

A file becomes text in three steps, each of which can only refuse with a :class:`TrackError`:
its bytes are decoded (a byte-order mark decides; else UTF-8 when the bytes are valid UTF-8;
else the encoding charset-normalizer finds, with a note saying so), its format is told (the
name given, else the extension, else the content), and its cues become intervals (through
pysubs2, after line endings are made "\\n" as pysubs2's own file loader makes them; SubRip and
WebVTT through a faster reader of the same answers first, see ``fast_text``).
"""

from __future__ import annotations

import codecs
import json
import math
import operator
import os
import re
import sys
import warnings
from collections.abc import Mapping
from typing import Any

import charset_normalizer
import pysubs2

from c_quorvel.formats.fast_text import fast_intervals
from c_quorvel.formats.names import EXTENSION_FORMATS, INPUT_FORMATS, Document, TrackError, canonical_format, one_line
from c_quorvel.limits import INT32_MAX, INT32_MIN

STANDARD_INPUT = "-"
STANDARD_INPUT_NAME = "standard input"

# Longest marks first: the UTF-32 LE mark begins with the UTF-16 LE one.
BYTE_ORDER_MARKS = (
    (codecs.BOM_UTF32_LE, "utf-32-le", "UTF-32 LE"),
    (codecs.BOM_UTF32_BE, "utf-32-be", "UTF-32 BE"),
    (codecs.BOM_UTF8, "utf-8", "UTF-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le", "UTF-16 LE"),
    (codecs.BOM_UTF16_BE, "utf-16-be", "UTF-16 BE"),
)
# Codec names (as codecs.lookup spells them) that agree with each mark's encoding.
MARK_AGREES_WITH = {
    "utf-8": ("utf-8", "utf-8-sig"),
    "utf-16-le": ("utf-16", "utf-16-le"),
    "utf-16-be": ("utf-16", "utf-16-be"),
    "utf-32-le": ("utf-32", "utf-32-le"),
    "utf-32-be": ("utf-32", "utf-32-be"),
}

# The encodings subtitle files are found in, most common first: detection chooses among these
# only (code pages of DOS, EBCDIC and old Macs fit short Latin text as well and were never seen in a
# subtitle file), and of encodings that read a file alike, names the first.
SUBTITLE_ENCODINGS = (
    "cp1252", "cp1251", "cp1250", "cp1256", "cp1253", "cp1254", "cp1255", "cp1257", "cp1258", "cp874",
    "koi8_r", "koi8_u", "iso8859_2", "iso8859_5", "iso8859_6", "iso8859_7", "iso8859_8", "iso8859_9",
    "iso8859_13", "iso8859_15", "gb18030", "big5", "cp950", "shift_jis", "cp932", "euc_jp", "euc_kr", "cp949",
    "utf_16", "utf_16_le", "utf_16_be",
)
# Readings this much more chaotic than the least chaotic one still compete on coherence (how
# much the text looks like a language). Ranking by chaos alone read the Dutch sample track as
# cp1251 or cp775 when cut to 15-21 cues; the tests read every cut of the sample tracks.
CHAOS_MARGIN = 0.05
# The most chaos a reading may show in any part of the file (the library's default is 0.2, which
# refused the Persian sample track in cp1256 with Windows line endings: 0.18 over the file).
MAX_CHAOS = 0.5

# A JSON list of interval objects (an ASS file opens with "[Script Info]").
JSON_LIST = re.compile(r"\s*\[\s*[{\]]")

# A first MicroDVD line {1}{1}<number> states the frame rate; it is not a cue.
MICRODVD_FRAME_RATE = re.compile(r"[ \t]*\{[ \t]*1[ \t]*\}[ \t]*\{[ \t]*1[ \t]*\}[ \t]*([0-9.eE+-]+)[ \t]*")

# What pysubs2's parsers raise on malformed input (xml.etree's ParseError is a SyntaxError; a TTML
# declaration naming an unknown encoding is a LookupError; a frame count too large for a float
# is an OverflowError).
PARSER_ERRORS = (
    pysubs2.exceptions.Pysubs2Error, ValueError, LookupError, TypeError, AttributeError, NotImplementedError,
    SyntaxError, OverflowError, RecursionError,
)


def read_track(
    path: str | os.PathLike[str],
    *,
    format: str | None = None,
    encoding: str | None = None,
    fps: float | None = None,
    notes: list[str] | None = None,
) -> list[dict[str, Any]]:
    """Read a subtitle file or a JSON list of intervals into a track: ``read_document(...).track``.

    ``path`` "-" reads standard input. ``format`` overrides the one told by the file's extension
    (or, for an unknown extension, by its content). ``encoding`` names the file's encoding;
    without it a byte-order mark decides, else UTF-8 when the bytes are valid UTF-8, else the
    encoding that is detected. ``fps`` is the frame rate of a frame-based format (MicroDVD) whose
    file does not state it. ``notes``, when a list, receives one-line notes naming the file: an
    encoding that was detected, the subtitle library's warnings.
    """
    return read_document(path, format=format, encoding=encoding, fps=fps, notes=notes).track


def read_document(
    path: str | os.PathLike[str],
    *,
    format: str | None = None,
    encoding: str | None = None,
    fps: float | None = None,
    notes: list[str] | None = None,
) -> Document:
    """Read a track file as :func:`read_track` does, keeping its text and its subtitle library view.

    ``Document.text`` is the decoded text as in the file (line endings kept, byte-order mark
    dropped); ``Document.subs`` the pysubs2 file (None for JSON); ``Document.notes`` this file's notes.
    """
    name, data = _read_bytes(path)
    if fps is not None:
        fps = _frame_rate(name, fps, "given")
    own_notes: list[str] = []
    text, read_as, marked = _decode(name, data, encoding, own_notes)
    if not text or text.isspace():  # (strip would copy the whole text)
        raise TrackError(f"{name}: the file is empty (no cues to read)")
    # As a file opened in text mode reads: "\r\n" and "\r" end lines too.
    unified = text.replace("\r\n", "\n").replace("\r", "\n") if "\r" in text else text
    fmt = _input_format(name, unified, format)
    subs = None
    if fmt == "json":
        intervals = _intervals_from_json(name, text)
    else:
        intervals, subs = _intervals_from_subtitles(name, unified, fmt, fps, own_notes)
    if not intervals:
        told = "intervals found in this JSON list" if fmt == "json" else f"subtitle cues found in this {fmt} file"
        raise TrackError(f"{name}: no {told}")
    intervals.sort(key=_start)
    if notes is not None:
        notes.extend(own_notes)
    return Document(name=name, format=fmt, text=text, track=intervals, subs=subs, notes=own_notes,
                    encoding=read_as, byte_order_mark=marked)


_start = operator.itemgetter("start")


def _read_bytes(path: str | os.PathLike[str]) -> tuple[str, bytes]:
    name = os.fspath(path)
    if name == STANDARD_INPUT:
        try:
            return STANDARD_INPUT_NAME, sys.stdin.buffer.read()
        except (AttributeError, OSError, ValueError) as exc:
            # No standard input (closed, or replaced by an object without a byte buffer).
            raise TrackError(f"{STANDARD_INPUT_NAME}: cannot read: {one_line(exc)}") from None
    try:
        with open(name, "rb") as handle:
            return name, handle.read()
    except FileNotFoundError:
        raise TrackError(f"{name}: file not found") from None
    except IsADirectoryError:
        raise TrackError(f"{name}: is a directory, not a file") from None
    except PermissionError:
        raise TrackError(f"{name}: permission denied") from None
    except OSError as exc:
        raise TrackError(f"{name}: cannot read: {exc.strerror or exc}") from None
    except ValueError as exc:
        # A name holding a NUL character.
        raise TrackError(f"{name!r}: cannot read: {one_line(exc)}") from None


def _decode(name: str, data: bytes, encoding: str | None, notes: list[str]) -> tuple[str, str, bool]:
    """The text, the encoding it was read in, and whether the file began with a byte-order mark."""
    mark = next((entry for entry in BYTE_ORDER_MARKS if data.startswith(entry[0])), None)
    if encoding is not None:
        return _decode_as_named(name, data, encoding, mark)
    if mark is not None:
        bom, codec, label = mark
        return _decoded(name, data[len(bom):], codec, f"{label} text despite its byte-order mark", len(bom)), codec, True
    try:
        text = data.decode("utf-8")
        # NUL is valid UTF-8 but never in subtitle text: ASCII text in UTF-16 without a mark.
        offset = data.find(b"\0")
    except UnicodeDecodeError as exc:
        offset = exc.start
    if offset < 0:
        return text, "utf-8", False
    detected = _detected_encoding(data)
    if detected is None:
        raise TrackError(
            f"{name}: not UTF-8 text (byte 0x{data[offset]:02x} at offset {offset}) and its encoding "
            "cannot be told; name it with --encoding (for example --encoding cp1252)"
        )
    text = _decoded(name, data, detected, f"{detected} text", 0)
    notes.append(f"{name}: read as {_encoding_label(detected)} (detected)")
    return text, detected, False


def _detected_encoding(data: bytes) -> str | None:
    matches = list(charset_normalizer.from_bytes(data, cp_isolation=list(SUBTITLE_ENCODINGS), threshold=MAX_CHAOS))
    if not matches:
        return None
    least = min(match.chaos for match in matches)
    best = max(matches, key=lambda match: (match.chaos <= least + CHAOS_MARGIN, match.coherence, -match.chaos))
    alike = [codec for codec in best.could_be_from_charset if codec in SUBTITLE_ENCODINGS]
    return min(alike, key=SUBTITLE_ENCODINGS.index) if alike else best.encoding


def _decode_as_named(name: str, data: bytes, encoding: str, mark: tuple[bytes, str, str] | None) -> tuple[str, str, bool]:
    try:
        codec = codecs.lookup(encoding).name
    except LookupError:
        raise TrackError(f"{name}: unknown encoding {encoding!r}") from None
    if mark is None:
        return _decoded(name, data, encoding, f"{encoding} text", 0), encoding, False
    bom, marked, label = mark
    body = data[len(bom):]
    if codec in MARK_AGREES_WITH[marked]:
        return _decoded(name, body, marked, f"{label} text despite its byte-order mark", len(bom)), marked, True
    # The name given wins over a UTF-8 mark only where the two readings agree or the mark lies;
    # a UTF-16 or UTF-32 mark read in another encoding would give only garbled text.
    if marked == "utf-8":
        text = _decoded(name, body, encoding, f"{encoding} text", len(bom))
        try:
            as_marked = body.decode(marked)
        except UnicodeDecodeError:
            return text, encoding, False  # the mark lied: the bytes are no UTF-8
        if as_marked == text:
            return text, marked, True
    raise TrackError(
        f"{name}: starts with a {label} byte-order mark but {encoding} was named for it; "
        f"name no encoding (or {label}) for this file"
    )


def _decoded(name: str, data: bytes, encoding: str, told: str, offset: int) -> str:
    try:
        return data.decode(encoding)
    except LookupError:
        # A codec that is not a text encoding: base64, rot13, zlib.
        raise TrackError(f"{name}: {encoding!r} is not a text encoding") from None
    except UnicodeDecodeError as exc:
        raise TrackError(
            f"{name}: not {told} (byte 0x{data[exc.start]:02x} at offset {exc.start + offset}); "
            "name the file's encoding with --encoding"
        ) from None
    except UnicodeError as exc:
        # A codec that refuses every input ("undefined") or fails without a position.
        raise TrackError(f"{name}: cannot be read as {encoding} ({one_line(exc)})") from None


def _encoding_label(codec: str) -> str:
    """The name people know an encoding by: windows-1251 rather than cp1251."""
    match = re.fullmatch(r"cp(125\d)", codec)
    return f"windows-{match.group(1)}" if match else codecs.lookup(codec).name


def _input_format(name: str, text: str, fmt: str | None) -> str:
    if fmt is not None:
        fmt = canonical_format(fmt)
        if fmt not in INPUT_FORMATS:
            raise TrackError(f"{name}: unknown format {fmt!r} (known: {', '.join(INPUT_FORMATS)})")
        return fmt
    by_extension = EXTENSION_FORMATS.get(os.path.splitext(name)[1].lower())
    if by_extension is not None:
        return by_extension
    if JSON_LIST.match(text):
        return "json"
    try:
        return pysubs2.formats.autodetect_format(text[:10000])
    except pysubs2.exceptions.FormatAutodetectionError:
        raise TrackError(
            f"{name}: not a subtitle file this tool knows (give its format with --format: "
            f"{', '.join(INPUT_FORMATS)})"
        ) from None


def _intervals_from_subtitles(
    name: str, text: str, fmt: str, fps: float | None, notes: list[str],
) -> tuple[list[dict[str, Any]], pysubs2.SSAFile | None]:
    """The cues of subtitle text (line endings already "\\n") as intervals, and pysubs2's view of it.

    The one place where subtitle text becomes intervals. SubRip and WebVTT go to the fast reader
    first (``fast_text.fast_intervals``: pysubs2's intervals, or None for what it leaves); what
    it reads has no view here (``Document.subs`` makes one when asked). The rest is pysubs2's.
    """
    if fmt in ("srt", "vtt"):
        intervals = fast_intervals(text, fmt)
        if intervals is not None:
            return intervals, None
    if fmt == "microdvd":
        text, fps = _microdvd_frame_rate(name, text, fps, notes)
    options: dict[str, Any] = {} if fps is None else {"fps": fps}
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            subs = pysubs2.SSAFile.from_string(text, fmt, **options)
    except pysubs2.exceptions.UnknownFPSError:
        raise TrackError(f"{name}: a frame-based file without a frame rate; give one with --fps (for example --fps 23.976)") from None
    except PARSER_ERRORS as exc:
        raise TrackError(f"{name}: not a readable {fmt} file ({one_line(exc)})") from None
    for warning in caught:
        if issubclass(warning.category, pysubs2.warnings.Pysubs2Warning):
            notes.append(f"{name}: {one_line(warning.message)}")
        else:  # not about the file (a deprecation, say): left to the interpreter's filters
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    intervals = []
    for number, event in enumerate((event for event in subs.events if event.is_text), start=1):
        for field in ("start", "end"):
            value = getattr(event, field)
            if not INT32_MIN <= value <= INT32_MAX:
                raise TrackError(f"{name}: cue {number}: {field} time {value} ms is outside the signed 32-bit range")
        if event.end < event.start:
            raise TrackError(
                f"{name}: cue {number} ends before it starts ({pysubs2.time.ms_to_str(event.start, fractions=True)} "
                f"--> {pysubs2.time.ms_to_str(event.end, fractions=True)})"
            )
        plain = event.plaintext
        intervals.append(
            {"start": int(event.start), "end": int(event.end), "text": plain, "original": event.text, "nl": plain.count("\n")}
        )
    return intervals, subs


def _frame_rate(name: str, value: float, told: str) -> float:
    try:
        rate = float(value)
        usable = math.isfinite(rate) and rate > 0 and math.isfinite(1000 / rate)
    except (ValueError, OverflowError, TypeError):
        usable = False
    if not usable:
        raise TrackError(f"{name}: frame rate {value} ({told}) is not a usable frame rate")
    return rate


def _microdvd_frame_rate(name: str, text: str, fps: float | None, notes: list[str]) -> tuple[str, float | None]:
    """The text without its frame-rate line, and the frame rate: the file's own, else ``fps``."""
    lines = text.split("\n")
    first = next((position for position, line in enumerate(lines) if line.strip()), None)
    if first is None:
        return text, fps
    match = MICRODVD_FRAME_RATE.fullmatch(lines[first])
    if match is None:
        return text, fps
    try:
        float(match.group(1))
    except ValueError:
        return text, fps
    stated = _frame_rate(name, match.group(1), "stated in the file")
    if fps is not None and fps != stated:
        notes.append(f"{name}: read at the frame rate the file states, {match.group(1)}, not at {fps:g}")
    lines[first] = ""  # kept as a blank line, so that line numbers in warnings stay right
    return "\n".join(lines), stated


def _intervals_from_json(name: str, text: str) -> list[dict[str, Any]]:
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise TrackError(f"{name}: invalid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except RecursionError:
        raise TrackError(f"{name}: JSON nested too deeply to read") from None
    except ValueError as exc:
        # An integer literal longer than the interpreter converts (4300 digits by default).
        raise TrackError(f"{name}: JSON holds a number too long to convert ({one_line(exc)})") from None
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
    start, end = _json_int32(where, item, "start"), _json_int32(where, item, "end")
    if end < start:
        raise TrackError(f"{where} ends before it starts (start {start}, end {end})")
    return {
        "start": start,
        "end": end,
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
