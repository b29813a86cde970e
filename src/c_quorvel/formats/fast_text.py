"""SubRip and WebVTT read and written in a few passes over the whole text, with pysubs2's answers.

pysubs2 reads these two formats line by line, with a dozen regular-expression passes and an event
object per cue, and writes them through an event list and ``print``: for a file of 2,000 cues
that is most of the time a pairing job takes. The functions here give exactly what pysubs2 (and
json) give for the files people actually have, and ``None`` for anything they do not handle
exactly (then the caller takes pysubs2's road, which stays the reference and the fallback):

* ``fast_intervals(text, fmt)``: the interval dicts ``formats.reading`` builds from pysubs2's
  events (file order, comments and drawings skipped), for text whose line endings are LF.
* ``fast_subtitles(events, fmt)``: the text ``pysubs2.SSAFile`` with those events (default
  style) gives with ``to_string(fmt)``.
* ``fast_bilingual_events(alignment, fmt, layout, colour)``: the events of a bilingual SubRip or
  WebVTT track that ``writing.bilingual_events`` builds, for plain texts.
* ``fast_bilingual_subrip(alignment, layout, colour)``: the same SubRip track's file, as UTF-8.
* ``fast_json(value)``: ``json.dumps(value, indent=2, ensure_ascii=False)`` for a tree of
  built-in values, written natively (json's indented encoder is its pure-Python one).

Reading has two roads: the native scan (``c_quorvel._subrip``) takes the files it is sure of and
marks the cues whose text needs pysubs2's full preparation (tags, braces, backslashes, a cue that
is only a number), which are then prepared here; the Python road below, ``python_intervals``,
takes the rest it can. The tests hold both against pysubs2. Writing SubRip and WebVTT has the
same two roads (``fast_subtitles`` natively, ``python_subtitles`` for what the native writer
leaves).

What they earn is measured by ``benchmarks/bench_job.py`` and written down in
``benchmarks/README.md`` ("The whole job"), the one place for figures.

How pysubs2 reads (and so what is copied here): a line holding exactly two timestamps starts a
cue; every following line up to the next such line (blank lines, the next cue's number, a
WebVTT identifier or NOTE block) is the cue's text, stripped, with a trailing "next number"
line cut off, HTML-like tags turned into override tags or dropped, newlines written as ``\\N``.
Lines before the first cue (a WebVTT header, STYLE blocks) are dropped.
"""

from __future__ import annotations

import re
from typing import Any

from pysubs2.formats.subrip import MAX_REPRESENTABLE_TIME, SubripFormat
from pysubs2.formats.substation import parse_tags
from pysubs2.formats.webvtt import WebVTTFormat

from c_quorvel import _subrip
from c_quorvel.limits import INT32_MAX

# A timing line this reader takes on itself: two timestamps of the usual width, separated by
# " --> ", then nothing or a blank and settings. Anything else is pysubs2's (through None).
_SRT_STAMP = r"([0-9]{2}):([0-9]{2}):([0-9]{2})[,.]([0-9]{3})"
_VTT_STAMP = r"(?:([0-9]{1,4}):)?([0-9]{2}):([0-9]{2})\.([0-9]{3})"
_TIMING_LINES = {
    fmt: re.compile(rf"^{stamp} --> {stamp}(?:[ \t][^\n]*)?$", re.MULTILINE)
    for fmt, stamp in (("srt", _SRT_STAMP), ("vtt", _VTT_STAMP))
}
# The timestamps pysubs2 itself looks for on every line: a file passes only when pysubs2 finds
# exactly the two of each timing line above, and none elsewhere.
_LIBRARY_STAMPS = {"srt": SubripFormat.TIMESTAMP, "vtt": WebVTTFormat.TIMESTAMP}

# pysubs2's text preparation, in its order.
_NEXT_NUMBER = re.compile(r"\n+ *\d+ *$")
_TAGS = [
    (re.compile(pattern), replacement)
    for pattern, replacement in (
        (r"< *i *>", r"{\\i1}"), (r"< */ *i *>", r"{\\i0}"),
        (r"< *s *>", r"{\\s1}"), (r"< */ *s *>", r"{\\s0}"),
        (r"< *u *>", r"{\\u1}"), (r"< */ *u *>", r"{\\u0}"),
        (r"< *b *>", r"{\\b1}"), (r"< */ *b *>", r"{\\b0}"),
        (r"< */? *[a-zA-Z][^>]*>", ""),
    )
]
_BLANK_LINE = re.compile(r"\s*$")
_NUMBER_LINE = re.compile(r"\s*\d+\s*$")
_OVERRIDE = re.compile(r"{[^}]*}")
_NEWLINES = re.compile("\n+")

_HOUR, _MINUTE, _SECOND = 3_600_000, 60_000, 1000


def fast_intervals(text: str, fmt: str) -> list[dict[str, Any]] | None:
    """The intervals pysubs2's reading of ``text`` (SubRip or WebVTT, LF line endings) gives, in
    file order: start, end, text (plain), original (pysubs2's event text), nl. None when the
    text holds anything not handled here exactly, or anything the reading road refuses (no cue,
    a cue ending before it starts, a time beyond the signed 32-bit range)."""
    if fmt not in _TIMING_LINES or type(text) is not str:
        return None
    scanned = _subrip.scan_cues(text, fmt == "vtt")
    if scanned is None:
        return python_intervals(text, fmt)
    intervals, odd_positions = scanned
    drawings = []
    for position in odd_positions:
        interval = intervals[position]
        original, plain = _cue_text(interval["original"])
        if _is_drawing(original):
            drawings.append(position)
        interval.update(text=plain, original=original, nl=plain.count("\n"))
    for position in reversed(drawings):
        del intervals[position]
    return intervals or None


def python_intervals(text: str, fmt: str) -> list[dict[str, Any]] | None:
    """``fast_intervals``' Python road, for the files the native scan leaves: the same answer."""
    timing_lines = _TIMING_LINES.get(fmt)
    if timing_lines is None:
        return None
    matches = list(timing_lines.finditer(text))
    if not matches or len(_LIBRARY_STAMPS[fmt].findall(text)) != 2 * len(matches):
        return None
    intervals = []
    ends = [match.start() for match in matches[1:]]
    ends.append(len(text))
    for match, chunk_end in zip(matches, ends):
        hours, minutes, seconds, millis, end_hours, end_minutes, end_seconds, end_millis = match.groups()
        start = int(hours or 0) * _HOUR + int(minutes) * _MINUTE + int(seconds) * _SECOND + int(millis)
        end = int(end_hours or 0) * _HOUR + int(end_minutes) * _MINUTE + int(end_seconds) * _SECOND + int(end_millis)
        if end < start or end > INT32_MAX:
            return None
        original, plain = _cue_text(text[match.end() + 1:chunk_end])
        if _is_drawing(original):
            continue
        intervals.append({"start": start, "end": end, "text": plain, "original": original, "nl": plain.count("\n")})
    return intervals or None


def _cue_text(chunk: str) -> tuple[str, str]:
    """pysubs2's event text and plain text for the lines that follow a timing line."""
    text = chunk.strip()
    if text.isdecimal() and _is_number_after_blanks(chunk):
        # A cue with no text: blank lines, then the next cue's number.
        return "", ""
    if text and text[-1].isdecimal():
        text = _NEXT_NUMBER.sub("", text)
    if "<" in text:
        for pattern, replacement in _TAGS:
            text = pattern.sub(replacement, text)
    original = text.replace("\n", "\\N")
    if "{" not in text and "\\" not in text:
        return original, text
    plain = _OVERRIDE.sub("", original).replace("\\h", " ").replace("\\n", "\n").replace("\\N", "\n")
    return original, plain


def _is_drawing(text: str) -> bool:
    """pysubs2's test for a drawing (which its readers and writers skip), asked only of the rare
    text that may be one."""
    return "\\p" in text and "{" in text and any(style.drawing for _, style in parse_tags(text))


def _is_number_after_blanks(chunk: str) -> bool:
    lines = chunk.split("\n")
    lines = [line + "\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])
    return (len(lines) >= 2 and all(_BLANK_LINE.match(line) for line in lines[:-1])
            and _NUMBER_LINE.match(lines[-1]) is not None)


def fast_subtitles(events: list[tuple[int, int, str]], fmt: str, *, keep_tags: bool = False) -> str | None:
    """What ``pysubs2.SSAFile`` holding these events (start ms, end ms, text with override tags,
    default style) gives with ``to_string(fmt)`` for SubRip or WebVTT, or with
    ``to_string(fmt, keep_ssa_tags=True)`` when ``keep_tags`` (override blocks written as they
    are; then the events' styles do not matter). None when a time lies outside what the format
    writes (pysubs2 would clamp it with a warning)."""
    if fmt not in ("srt", "vtt"):
        return None
    if fmt == "vtt":
        try:
            events = sorted(events, key=lambda event: event[0])  # pysubs2 writes WebVTT by start
        except TypeError:
            return None
    elif type(events) is not list:
        events = list(events)
    written = _subrip.subrip_text(events, fmt == "vtt", keep_tags)
    return written if written is not None else python_subtitles(events, fmt, keep_tags=keep_tags)


def python_subtitles(events: list[tuple[int, int, str]], fmt: str, *, keep_tags: bool = False) -> str | None:
    """``fast_subtitles``' Python road, for what the native writer leaves (drawings, surrogates,
    anything odd): the same answer. WebVTT events come sorted by start."""
    for event in events:
        if type(event) is not tuple or len(event) != 3:
            return None
        start, end, text = event
        if type(start) is not int or type(end) is not int or type(text) is not str:
            return None
        if not (0 <= start <= MAX_REPRESENTABLE_TIME and 0 <= end <= MAX_REPRESENTABLE_TIME):
            return None
    events = [event for event in events if not _is_drawing(event[2])]
    mark = "," if fmt == "srt" else "."
    parts = ["WEBVTT\n\n"] if fmt == "vtt" else []
    for number, (start, end, text) in enumerate(events, 1):
        parts.append(f"{number}\n{_timestamp(start, mark)} --> {_timestamp(end, mark)}\n{_srt_text(text, keep_tags)}\n\n")
    return "".join(parts)


def fast_bilingual_events(alignment: Any, fmt: str, layout: str, colour: str | None) -> tuple[list[tuple[int, int, str]], bytes] | None:
    """The events ``writing.bilingual_events`` builds for a bilingual SubRip or WebVTT track
    (``colour`` a "#rrggbb" value or None), built natively, as (events, flags): each event
    (start, end, text), and one byte per event, 1 when it is shown at the top (a WebVTT cue
    setting), 2 when its style is the reference's. None for anything the native builder leaves
    (override tags, escapes, odd values; see ``modules/subrip/bilingual_building.hpp``): then the
    Python builder runs."""
    if fmt not in ("srt", "vtt"):
        return None
    return _subrip.bilingual_events(alignment.groups, alignment.unpaired_original, alignment.unpaired_reference,
                                    fmt == "vtt", layout == "split", colour)


def fast_bilingual_subrip(alignment: Any, layout: str, colour: str | None) -> bytes | None:
    """The UTF-8 bytes of the bilingual SubRip file of ``fast_bilingual_events``' events, as
    ``fast_subtitles(events, "srt", keep_tags=True)`` writes them, written natively with no event
    objects or str between (a file's content). None where either leaves them."""
    return _subrip.bilingual_subrip(alignment.groups, alignment.unpaired_original, alignment.unpaired_reference,
                                    layout == "split", colour)


def fast_json(value: Any, *, final_newline: bool = False, utf8: bool = False) -> str | bytes | None:
    """``json.dumps(value, indent=2, ensure_ascii=False)`` for a tree of exact dicts (str keys),
    lists, strs, ints, bools and None, followed by "\\n" with ``final_newline`` (joined natively:
    adding it afterwards copies the whole text); with ``utf8`` that text's UTF-8 bytes, written
    natively (a file's content: no str of the whole text is made and encoded). None for anything
    else, and with ``utf8`` for a text holding a lone surrogate (json.dumps then)."""
    return _subrip.indented_json(value, final_newline, utf8)


def _timestamp(ms: int, mark: str) -> str:
    hours, ms = divmod(ms, _HOUR)
    minutes, ms = divmod(ms, _MINUTE)
    seconds, ms = divmod(ms, _SECOND)
    return f"{hours:02d}:{minutes:02d}:{seconds:02d}{mark}{ms:03d}"


# pysubs2's override tags (those of its parse_tags) and what each does to the SubRip styling
# (italic, underline, strikeout) of the text after it; the others (bold, font, drawing) do not
# show in SubRip.
_OVERRIDE_TAG = re.compile(r"\\[ibusp][0-9]|\\r[a-zA-Z_0-9 ]*|\\fn[a-zA-Z_0-9 ]+")
_PLAIN = (False, False, False)
_block_effects: dict[str, tuple[tuple[int, bool] | None, ...]] = {}


def _block_effect(block: str) -> tuple[tuple[int, bool] | None, ...]:
    """The steps an override block takes: (0 italic, 1 underline or 2 strikeout, on), or None
    for a return to the line's (default) style. Cached: a file repeats few blocks."""
    effect = _block_effects.get(block)
    if effect is None:
        steps: list[tuple[int, bool] | None] = []
        for tag in _OVERRIDE_TAG.findall(block):
            if tag == "\\r" or tag == "\\rDefault":
                steps.append(None)
            elif tag[1] in "ius" and tag[2].isdigit() and len(tag) == 3:
                steps.append(("ius".index(tag[1]), "1" in tag))
        effect = tuple(steps)
        if len(_block_effects) < 4096:
            _block_effects[block] = effect
    return effect


def _srt_text(text: str, keep_tags: bool = False) -> str:
    """pysubs2's SubRip text of one event of the default style (its override blocks kept as they
    are with ``keep_tags``)."""
    if "\\" in text:
        text = text.replace("\\h", " ").replace("\\n", "\n").replace("\\N", "\n")
    if "{" in text and not keep_tags:
        fragments = _OVERRIDE.split(text)
        if len(fragments) > 1:
            body = [fragments[0]]
            styling = list(_PLAIN)
            for block, fragment in zip(_OVERRIDE.findall(text), fragments[1:]):
                for step in _block_effect(block):
                    if step is None:
                        styling = list(_PLAIN)
                    else:
                        styling[step[0]] = step[1]
                italic, underline, strikeout = styling
                if italic:
                    fragment = f"<i>{fragment}</i>"
                if underline:
                    fragment = f"<u>{fragment}</u>"
                if strikeout:
                    fragment = f"<s>{fragment}</s>"
                body.append(fragment)
            text = "".join(body)
    text = text.strip()
    if "\n\n" in text:
        text = _NEWLINES.sub("\n", text)
    return text
