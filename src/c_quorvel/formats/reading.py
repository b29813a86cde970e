"""Subtitle files and JSON documents read into tracks of interval dicts."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from typing import Any

import pysubs2

from c_quorvel.formats.names import EXTENSION_FORMATS, FORMAT_ALIASES, INPUT_FORMATS, TrackError
from c_quorvel.limits import INT32_MAX, INT32_MIN



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
        fmt = FORMAT_ALIASES.get(fmt.lower(), fmt.lower())
        if fmt not in INPUT_FORMATS:
            raise TrackError(f"{name}: unknown format {fmt!r} (known: {', '.join(INPUT_FORMATS)})")
        return fmt
    by_extension = EXTENSION_FORMATS.get(os.path.splitext(name)[1].lower())
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


