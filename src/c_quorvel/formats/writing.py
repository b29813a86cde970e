"""Alignments and tracks written out as JSON or subtitle files, and tracks retimed in place.

A bilingual subtitle file is made in two steps, each in one function: ``bilingual_events`` builds
the list of output events (start, end, style, text in the subtitle library's ASS form) and
``serialise_events`` writes them (SubRip and WebVTT through ``fast_text.fast_subtitles``, which
gives pysubs2's bytes, with pysubs2 as the fallback). Its cues never overlap (``bilingual_cues``
tells how), and hold every line of the alignment once. The events of SubRip and WebVTT tracks of
plain texts are built natively (``fast_text.fast_bilingual_events``; ``python_bilingual_events``
is the reference and the fallback), and a SubRip or JSON file in UTF-8 is written straight from
the native writers' bytes (``alignment_file_bytes``).

A cue text never reads as structure. In SubRip and WebVTT a line holding "-->" gets a WORD
JOINER (U+2060, invisible) between "--" and ">", and every timestamp-like run of digits one after
its first colon, so that no reader takes it for a timing line; an empty line (which would end the
cue) holds a ZERO WIDTH SPACE (U+200B); a last line of only digits (which a reader takes for the
next cue's number) ends with a WORD JOINER; in SubRip a "<" that would open a tag is followed by
one, in WebVTT (where every "<" opens one) each "<" becomes the look-alike U+FF1C. In every format braces become the look-alikes U+FF5B and U+FF5D and a backslash before n, N or h
becomes U+29F5, as they would otherwise be ASS tags.

Every file is written by ``write_text_atomically``: under a temporary name in the same folder,
then renamed over the target, so a failed write leaves the old file as it was.
"""

from __future__ import annotations

import copy
import json
import operator
import os
import re
import secrets
import stat
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import pysubs2
from pysubs2.formats.substation import MAX_REPRESENTABLE_TIME as _ASS_MAX_TIME
from pysubs2.formats.subrip import MAX_REPRESENTABLE_TIME as _SRT_MAX_TIME
from pysubs2.formats.subrip import SubripFormat
from pysubs2.formats.webvtt import WebVTTFormat

from c_quorvel.formats.fast_text import fast_bilingual_events, fast_bilingual_subrip, fast_json, fast_subtitles
from c_quorvel.formats.names import EXTENSION_FORMATS, FRAME_FORMATS, RETIME_FORMATS, OutputError, canonical_format, one_line, output_format

LAYOUTS = ("stacked", "split")
# The formats a bilingual track is written in (JSON is written by alignment_to_json).
_SUBTITLE_FORMATS = ("srt", "vtt", "ass", "ssa")

# Styles of a bilingual ASS track: the first track's lines and the second's.
_ORIGINAL_STYLE = "Original"
_REFERENCE_STYLE = "Reference"
# The class of the reference's lines in WebVTT, coloured by a STYLE block.
_VTT_REFERENCE_CLASS = "reference"
# A cue may lose at most half its length, and never go below this many milliseconds.
_SHORTEST_CUT_CUE = 500

_COLOUR_NAMES = {
    "white": "#ffffff", "black": "#000000", "red": "#ff0000", "green": "#008000", "lime": "#00ff00",
    "blue": "#0000ff", "yellow": "#ffff00", "cyan": "#00ffff", "aqua": "#00ffff", "magenta": "#ff00ff",
    "fuchsia": "#ff00ff", "orange": "#ffa500", "gray": "#808080", "grey": "#808080", "silver": "#c0c0c0",
    "purple": "#800080", "pink": "#ffc0cb", "brown": "#a52a2a", "gold": "#ffd700", "navy": "#000080",
    "teal": "#008080", "olive": "#808000", "maroon": "#800000", "lightblue": "#add8e6",
    "lightgreen": "#90ee90", "lightyellow": "#ffffe0", "lightgray": "#d3d3d3", "lightgrey": "#d3d3d3",
}


def color_value(text: str) -> str:
    """``text`` as "#rrggbb" (lower case): a "#rrggbb" or "#rgb" value or a common colour name.
    Raises ValueError with a one-line message otherwise."""
    value = str(text).strip().lower()
    value = _COLOUR_NAMES.get(value.replace(" ", ""), value)
    if re.fullmatch(r"#[0-9a-f]{3}", value):
        value = "#" + "".join(digit * 2 for digit in value[1:])
    if not re.fullmatch(r"#[0-9a-f]{6}", value):
        raise ValueError(f"not a colour: {text!r} (use #rrggbb or a name such as yellow, cyan, white)")
    return value


def alignment_to_json(alignment: Any, *, indent: int | None = 2, ensure_ascii: bool = False) -> str:
    """The JSON text of an alignment: one object holding its groups and both unpaired lists."""
    document = _json_document(alignment)
    if indent == 2 and not ensure_ascii:
        return _json_text(document)
    return json.dumps(document, indent=indent, ensure_ascii=ensure_ascii) + "\n"


def _json_document(alignment: Any) -> dict[str, Any]:
    return {
        "groups": alignment.groups,
        "unpaired_original": alignment.unpaired_original,
        "unpaired_reference": alignment.unpaired_reference,
    }


def _json_text(value: Any) -> str:
    """``json.dumps(value, indent=2, ensure_ascii=False)`` and a line break, written natively
    (``fast_text.fast_json``) where it can be."""
    text = fast_json(value, final_newline=True)
    return text if text is not None else json.dumps(value, indent=2, ensure_ascii=False) + "\n"


# Bilingual output: the cues -----------------------------------------------------------------


@dataclass
class BilingualCue:
    """An output cue shown from ``start`` to ``end``, holding input lines of both tracks.

    Each member line must stay shown during at least ``_shortest(its length)`` of its own time;
    with ``longest_minimum`` the largest such minimum, ``latest_member_floor`` the largest of
    member start + minimum and ``earliest_member_ceiling`` the smallest of member end - minimum,
    that holds exactly when end - start, end - member start and member end - start all reach it.
    """

    start: int
    end: int
    longest_minimum: int
    latest_member_floor: int
    earliest_member_ceiling: int
    originals: list[Mapping[str, Any]] = field(default_factory=list)
    references: list[Mapping[str, Any]] = field(default_factory=list)

    def earliest_end(self) -> int:
        return max(self.start + self.longest_minimum, self.latest_member_floor)

    def latest_start(self) -> int:
        return min(self.end - self.longest_minimum, self.earliest_member_ceiling)

    def joined(self, later: BilingualCue) -> BilingualCue:
        return BilingualCue(
            min(self.start, later.start), max(self.end, later.end),
            max(self.longest_minimum, later.longest_minimum),
            max(self.latest_member_floor, later.latest_member_floor),
            min(self.earliest_member_ceiling, later.earliest_member_ceiling),
            self.originals + later.originals, self.references + later.references,
        )


def _shortest(length: int) -> int:
    """How short a cue of ``length`` ms may be cut: to half its length, never below 500 ms."""
    return min(length, max((length + 1) // 2, _SHORTEST_CUT_CUE))


def _time_range(fmt: str) -> tuple[int, int]:
    """The latest time ``fmt`` holds and its step (ASS and SSA count centiseconds)."""
    return (_ASS_MAX_TIME, 10) if fmt in ("ass", "ssa") else (_SRT_MAX_TIME, 1)


def _output_time(time: int, fmt: str) -> int:
    """A time as ``fmt`` writes it: before 0 shown at 0 (a player starts there), rounded to the
    format's step as pysubs2 rounds it; a time past what the format holds is an error."""
    latest, step = _time_range(fmt)
    time = max(0, int(time))
    if step != 1:
        time = (time + step // 2) // step * step
    if time > latest:
        raise OutputError(f"a cue at {pysubs2.time.ms_to_str(time)} lies past the last time {fmt} can hold")
    return time


def _cue(start: int, end: int, fmt: str, originals: list[Mapping[str, Any]], references: list[Mapping[str, Any]]) -> BilingualCue:
    """A cue spanning ``start`` to ``end`` and its members, with what each member needs shown."""
    latest, step = _time_range(fmt)
    start = _output_time(start, fmt)
    end = max(start, _output_time(end, fmt))
    longest_minimum, floor, ceiling = 0, start, end
    for members in (originals, references):
        for member in members:
            member_start, member_end = member["start"], member["end"]
            # Times the format writes as they are (the common case) skip _output_time's work.
            if not (step == 1 and type(member_start) is int and type(member_end) is int
                    and 0 <= member_start <= member_end <= latest):
                member_start = _output_time(member_start, fmt)
                member_end = max(member_start, _output_time(member_end, fmt))
            if member_start < start:
                start = member_start
            if member_end > end:
                end = member_end
            length = member_end - member_start
            minimum = min(length, max((length + 1) // 2, _SHORTEST_CUT_CUE))  # _shortest(length)
            if step != 1:
                minimum = -(-minimum // step) * step  # cuts stay on the format's grid
            if minimum > longest_minimum:
                longest_minimum = minimum
            if member_start + minimum > floor:
                floor = member_start + minimum
            if member_end - minimum < ceiling:
                ceiling = member_end - minimum
    return BilingualCue(start, end, longest_minimum, floor, ceiling, originals, references)


_cue_order = operator.attrgetter("start", "end")


def bilingual_cues(alignment: Any, fmt: str = "srt") -> list[BilingualCue]:
    """The cues of a bilingual track in order, none overlapping the next.

    A group becomes one cue spanning it, an unpaired cue one of its own. Where two cues overlap,
    the earlier one ends where the later one starts, or the later one starts later, as long as
    each line stays shown during at least half its own time and 500 ms (the whole of it when
    shorter); where neither cut can keep that, the two become one cue holding the lines of both.
    Times before 0 are shown from 0.
    """
    cues = [_cue(group["start"], group["end"], fmt, list(group["original"]), list(group["reference"]))
            for group in alignment.groups]
    cues += [_cue(cue["start"], cue["end"], fmt, [cue], []) for cue in alignment.unpaired_original]
    cues += [_cue(cue["start"], cue["end"], fmt, [], [cue]) for cue in alignment.unpaired_reference]
    cues.sort(key=_cue_order)
    placed: list[BilingualCue] = []
    for cue in cues:
        while placed and placed[-1].end > cue.start:
            before = placed[-1]
            cut = max(cue.start, before.earliest_end())
            if cut <= min(before.end, cue.latest_start()):
                before.end = cue.start = cut
                break
            # Neither cut keeps both shown long enough: one cue holds both, and is checked in turn
            # against the cue before it.
            cue = placed.pop().joined(cue)
        placed.append(cue)
    return placed


# Bilingual output: the texts ----------------------------------------------------------------

_ASS_ESCAPES = {"{": "\uff5b", "}": "\uff5d", "\\": "\u29f5"}
_ASS_SPECIAL = re.compile(r"[{}]|\\(?=[nNh])")
_LINE_BREAK = re.compile(r"\\N|\\n|\r\n|\r|\n")
_OVERRIDE_TAG = re.compile(r"\\(?:(an)([1-9])|(a)([0-9]+)|([ibus])([01])|1?c&H([0-9A-Fa-f]{1,8})&?|(1?c)(?=[\\}]|$)|r)")

# Structure a cue text must not show a SubRip or WebVTT reader: a line holding the arrow or two
# timestamps (a timing line), an empty line (the end of a cue), a last line of digits (the number
# of the next cue), and the start of a tag. Each is broken by an invisible WORD JOINER (U+2060);
# an empty line becomes a line holding a ZERO WIDTH SPACE (U+200B).
_WORD_JOINER = "\u2060"
_EMPTY_LINE = "\u200b"
_TIMESTAMPS = (SubripFormat.TIMESTAMP, WebVTTFormat.TIMESTAMP)
_TAG_START = re.compile(r"<(?=\s*/?\s*[A-Za-z])")
_EMPTY_TAGS = re.compile(r"<(\w+)[^>]*></\1>")
_NEWLINE = re.compile(r"\r\n|\r|\n")
_NUMBER_LINE = re.compile(r"[ \t]*\d+[ \t]*")
_OVERRIDE_BLOCK = re.compile(r"(\{[^}]*\})")
_VTT_TAG_START = re.compile(r"(\{[^}]*\})|<")
_SRT_TAG_START = re.compile(r"(\{[^}]*\})|" + _TAG_START.pattern)
# SSA's legacy alignment numbers as ASS's numpad positions.
_LEGACY_POSITIONS = {1: 1, 2: 2, 3: 3, 5: 7, 6: 8, 7: 9, 9: 4, 10: 5, 11: 6}


def _ass_text(plain: str) -> str:
    # Braces would open an override block; backslashes before n, N or h would become breaks.
    if "\\" in plain or "{" in plain or "}" in plain:
        plain = _ASS_SPECIAL.sub(_ass_escape, plain)
        return _LINE_BREAK.sub(r"\\N", plain)
    if "\r" in plain:
        return _LINE_BREAK.sub(r"\\N", plain)
    return plain.replace("\n", "\\N")


def _ass_escape(found: re.Match[str]) -> str:
    return _ASS_ESCAPES[found.group()]


def _raw_text(interval: Mapping[str, Any]) -> str:
    """A cue's text in ASS form: its raw text with its own styling when that is the raw form of
    its plain text, else its plain text escaped."""
    text = str(interval.get("text", ""))
    raw = interval.get("original")
    if isinstance(raw, str) and raw:
        if "{" in raw:
            plain = pysubs2.SSAEvent(text=raw).plaintext
        elif "\\" in raw:  # the library's plain text of a text without override blocks
            plain = raw.replace("\\h", " ").replace("\\n", "\n").replace("\\N", "\n")
        else:
            plain = raw
        if plain == text:
            return _NEWLINE.sub(r"\\N", raw) if "\r" in raw else raw.replace("\n", "\\N")
    return _ass_text(text)


def _escaped_line(line: str) -> str:
    if "-->" in line:
        line = line.replace("-->", "--" + _WORD_JOINER + ">")
    if ":" in line:  # every timestamp holds one
        for timestamp in _TIMESTAMPS:
            line = timestamp.sub(_joined_timestamp, line)
    return line


def _joined_timestamp(found: re.Match[str]) -> str:
    return found.group().replace(":", ":" + _WORD_JOINER, 1)


def _safe_lines(lines: list[str]) -> list[str]:
    """Lines of a SubRip or WebVTT cue text that read back as exactly these lines of one cue."""
    safe = [(_escaped_line(line) if ":" in line or "-->" in line else line) if line.strip() else _EMPTY_LINE
            for line in lines]
    if len(safe) > 1 and _NUMBER_LINE.fullmatch(safe[-1]):
        safe[-1] += _WORD_JOINER
    return safe


def _html_lines(raw: str, fmt: str) -> tuple[list[str], int | None]:
    """An ASS-form text as lines of SubRip or WebVTT text, its italics, bold, underline and
    strike-out (and in SubRip its colours) as tags closed at the end of each line; and its
    position (1-9 as in ``\\an``), if any."""
    if "{" not in raw:  # no override block: no tags, no position
        return [_EMPTY_TAGS.sub("", line) if "<" in line else line for line in _LINE_BREAK.split(raw)], None
    position = None
    state: dict[str, str] = {}  # the open tags: name -> opening tag, outermost first

    def opening(tags: dict[str, str]) -> str:
        return "".join(tags.values())

    def closing(tags: dict[str, str]) -> str:
        return "".join(f"</{name}>" for name in reversed(tags))

    lines = [""]
    for piece in _OVERRIDE_BLOCK.split(raw):
        if not (piece.startswith("{") and piece.endswith("}")):
            for index, part in enumerate(_LINE_BREAK.split(piece)):
                if index:
                    lines[-1] += closing(state)
                    lines.append(opening(state))
                lines[-1] += part
            continue
        before = dict(state)
        for found in _OVERRIDE_TAG.finditer(piece):
            an, an_value, legacy, legacy_value, switch, switch_state, colour, colour_reset = found.groups()
            if an and position is None:
                position = int(an_value)
            elif legacy and position is None:
                position = _LEGACY_POSITIONS.get(int(legacy_value))
            elif switch:
                state.pop(switch, None)
                if switch_state == "1":
                    state[switch] = f"<{switch}>"
            elif (colour is not None or colour_reset) and fmt == "srt":
                state.pop("font", None)
                if colour is not None:
                    bgr = colour.rjust(8, "0")[-6:]
                    state["font"] = f'<font color="#{bgr[4:6]}{bgr[2:4]}{bgr[0:2]}">'.lower()
            elif found.group() == "\\r":
                state.clear()
        if state != before:
            lines[-1] += closing(before) + opening(state)
    lines[-1] += closing(state)
    return [_EMPTY_TAGS.sub("", line) if "<" in line else line for line in lines], position


def _srt_lines(intervals: Sequence[Mapping[str, Any]], fmt: str) -> tuple[list[str], int | None]:
    lines: list[str] = []
    position = None
    for interval in intervals:
        member_lines, member_position = _html_lines(_protect_tags(_raw_text(interval), fmt), fmt)
        lines += member_lines
        position = position if position is not None else member_position
    return lines, position


def _protect_tags(raw: str, fmt: str) -> str:
    # Done before the tags of this module are added. A "<" of the text itself: in SubRip one that
    # would open a tag gets a WORD JOINER; in WebVTT, where every "<" opens a tag, each becomes
    # the look-alike U+FF1C.
    if "<" not in raw:
        return raw
    if fmt == "vtt":
        return _VTT_TAG_START.sub(lambda found: found.group(1) or "\uff1c", raw)
    return _SRT_TAG_START.sub(lambda found: found.group(1) or "<" + _WORD_JOINER, raw)


@dataclass(frozen=True)
class OutputEvent:
    """One event of a written subtitle file: times in ms, the style's name, text in ASS form.
    ``top`` marks a WebVTT cue shown at the top of the screen (a cue setting there)."""

    start: int
    end: int
    style: str
    text: str
    top: bool = False


def _srt_text(lines: list[str], position: int | None) -> str:
    text = r"\N".join(_safe_lines(lines))
    return (f"{{\\an{position}}}" if position not in (None, 2) else "") + text


def _coloured(lines: list[str], fmt: str, colour: str | None) -> list[str]:
    if colour is None:
        return lines
    if fmt == "srt":
        return [f'<font color="{colour}">{line}</font>' for line in lines]
    return [f"<c.{_VTT_REFERENCE_CLASS}>{line}</c>" for line in lines]


def _text_events(cue: BilingualCue, fmt: str, layout: str, colour: str | None) -> list[OutputEvent]:
    upper, upper_position = _srt_lines(cue.originals, fmt)
    lower, lower_position = _srt_lines(cue.references, fmt)
    lower = _coloured(lower, fmt, colour)
    if layout == "stacked" or not (upper and lower):
        if layout == "split" and lower:
            lower_position = 8
        position = upper_position if upper else lower_position
        if fmt == "vtt":
            return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, _srt_text(upper + lower, None), top=position == 8)]
        return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, _srt_text(upper + lower, position))]
    if fmt == "vtt":
        return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, _srt_text(upper, None), top=upper_position == 8),
                OutputEvent(cue.start, cue.end, _REFERENCE_STYLE, _srt_text(lower, None), top=True)]
    return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, _srt_text(upper, upper_position)),
            OutputEvent(cue.start, cue.end, _REFERENCE_STYLE, _srt_text(lower, 8))]


def _ass_block(intervals: Sequence[Mapping[str, Any]]) -> str:
    # Each cue's own overrides end with it: {\r} returns to the event's style.
    texts = [_raw_text(interval) for interval in intervals]
    return "".join(("" if index == 0 or "{" not in texts[index - 1] else r"{\r}") + (r"\N" if index else "") + text
                   for index, text in enumerate(texts))


def _ass_events(cue: BilingualCue, layout: str) -> list[OutputEvent]:
    upper, lower = _ass_block(cue.originals), _ass_block(cue.references)
    if not cue.references:
        return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, upper)]
    if not cue.originals:
        return [OutputEvent(cue.start, cue.end, _REFERENCE_STYLE, lower)]
    if layout == "split":
        return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, upper), OutputEvent(cue.start, cue.end, _REFERENCE_STYLE, lower)]
    return [OutputEvent(cue.start, cue.end, _ORIGINAL_STYLE, upper + r"\N{\r" + _REFERENCE_STYLE + "}" + lower)]


def bilingual_events(alignment: Any, fmt: str, *, layout: str = "stacked", color_reference: str | None = None) -> list[OutputEvent]:
    """The events of a bilingual subtitle file in ``fmt`` (srt, vtt, ass, ssa), in order of start.

    ``layout="stacked"``: one event per cue, the original's lines above the reference's.
    ``layout="split"``: a cue holding lines of both tracks becomes two events at the same times,
    the reference's at the top of the screen ({\\an8} in SubRip, a cue setting in WebVTT, a style
    aligned to the top in ASS). ``color_reference`` colours the reference's lines.

    SubRip and WebVTT events of plain texts are built natively (``fast_text.fast_bilingual_events``),
    the rest by ``python_bilingual_events``, the reference.
    """
    colour = _checked_colour(fmt, layout, color_reference)
    built = fast_bilingual_events(alignment, fmt, layout, colour)
    if built is None:
        return python_bilingual_events(alignment, fmt, layout=layout, color_reference=color_reference)
    rows, flags = built
    return [OutputEvent(start, end, _REFERENCE_STYLE if flag & _REFERENCE_FLAG else _ORIGINAL_STYLE, text, bool(flag & _TOP_FLAG))
            for (start, end, text), flag in zip(rows, flags)]


# The flags of fast_bilingual_events' events.
_TOP_FLAG, _REFERENCE_FLAG = 1, 2


def _checked_colour(fmt: str, layout: str, color_reference: str | None) -> str | None:
    """The reference's colour as "#rrggbb" or None, once the layout and format are known good."""
    if layout not in LAYOUTS:
        raise ValueError(f"unknown layout {layout!r} (known: {', '.join(LAYOUTS)})")
    if fmt not in _SUBTITLE_FORMATS:
        raise OutputError(f"cannot write a bilingual track as {fmt!r} (can write: {', '.join(_SUBTITLE_FORMATS)}, json)")
    return None if color_reference is None else color_value(color_reference)


def python_bilingual_events(
    alignment: Any, fmt: str, *, layout: str = "stacked", color_reference: str | None = None,
) -> list[OutputEvent]:
    """``bilingual_events``' Python road: every text, every format."""
    colour = _checked_colour(fmt, layout, color_reference)
    events: list[OutputEvent] = []
    for cue in bilingual_cues(alignment, fmt):
        events += _ass_events(cue, layout) if fmt in ("ass", "ssa") else _text_events(cue, fmt, layout, colour)
    return events


def _bilingual_styles(layout: str, color_reference: str | None) -> dict[str, pysubs2.SSAStyle]:
    base = pysubs2.SSAStyle()
    reference = base.copy()
    if color_reference is None:
        reference.primarycolor = pysubs2.Color(255, 230, 120)
    else:
        value = color_value(color_reference)
        reference.primarycolor = pysubs2.Color(int(value[1:3], 16), int(value[3:5], 16), int(value[5:7], 16))
    reference.italic = True
    if layout == "split":
        reference.alignment = pysubs2.Alignment.TOP_CENTER
    return {_ORIGINAL_STYLE: base.copy(), _REFERENCE_STYLE: reference}


def serialise_events(
    events: Sequence[OutputEvent], fmt: str, *, layout: str = "stacked", color_reference: str | None = None,
    style_names: Sequence[str] = (_ORIGINAL_STYLE, _REFERENCE_STYLE),
) -> str:
    """The text of a subtitle file holding ``events``, written by pysubs2.

    SubRip and WebVTT are written as pysubs2 writes them with ``keep_ssa_tags=True`` (the event
    texts already hold the tags those formats know), by ``fast_text.fast_subtitles`` where it
    can. WebVTT then gets a STYLE block for a reference colour and the cue setting ``line:0`` on
    its top events.
    """
    text = None
    if fmt in ("srt", "vtt"):
        text = fast_subtitles([(event.start, event.end, event.text) for event in events], fmt, keep_tags=True)
    if text is None:
        subs = pysubs2.SSAFile()
        subs.styles = {name: style for name, style in _bilingual_styles(layout, color_reference).items() if name in style_names}
        subs.events = [pysubs2.SSAEvent(start=event.start, end=event.end, style=event.style, text=event.text) for event in events]
        if fmt in ("ass", "ssa"):
            return subs.to_string(fmt)
        text = subs.to_string(fmt, keep_ssa_tags=True)
    if fmt != "vtt":
        return text
    return _webvtt_settings(text, [event.top for event in sorted(events, key=lambda event: event.start)], color_reference)


def _webvtt_settings(text: str, tops: Sequence[bool], color_reference: str | None) -> str:
    """pysubs2's WebVTT ``text`` with the cue setting ``line:0`` on the cues ``tops`` marks (in
    the order written: by start, stably) and a STYLE block for a reference colour."""
    head, *blocks = text.split("\n\n")
    for index, top in enumerate(tops):
        if top:
            number, timing, *rest = blocks[index].split("\n")
            blocks[index] = "\n".join([number, timing + " line:0", *rest])
    if color_reference is not None:
        head += f"\n\nSTYLE\n::cue(.{_VTT_REFERENCE_CLASS}) {{\n  color: {color_value(color_reference)};\n}}"
    return "\n\n".join([head, *blocks])


def alignment_to_subtitles(alignment: Any, fmt: str, *, layout: str = "stacked", color_reference: str | None = None) -> str:
    """A bilingual subtitle track in ``fmt`` (srt, vtt, ass or ssa): see ``bilingual_cues`` for
    the times and ``bilingual_events`` for the layouts."""
    colour = _checked_colour(fmt, layout, color_reference)
    built = fast_bilingual_events(alignment, fmt, layout, colour)
    if built is not None:
        # The native events, written without OutputEvent objects between.
        rows, flags = built
        text = fast_subtitles(rows, fmt, keep_tags=True)
        if text is not None:
            if fmt != "vtt":
                return text
            order = sorted(range(len(rows)), key=lambda index: rows[index][0])
            return _webvtt_settings(text, [bool(flags[index] & _TOP_FLAG) for index in order], colour)
    events = bilingual_events(alignment, fmt, layout=layout, color_reference=color_reference)
    return serialise_events(events, fmt, layout=layout, color_reference=color_reference)


def write_alignment(
    alignment: Any,
    path: str | os.PathLike[str],
    *,
    to: str | None = None,
    layout: str = "stacked",
    color_reference: str | None = None,
    encoding: str = "utf-8",
) -> None:
    """Write an alignment to ``path``: JSON, or a bilingual subtitle file (``to`` or the extension
    tells which). Raises OutputError when the format is unknown or the file cannot be written;
    the file then is as it was."""
    name = os.fspath(path)
    fmt = output_format(name, to)
    data = alignment_file_bytes(alignment, fmt, layout=layout, color_reference=color_reference, encoding=encoding)
    if data is not None:
        write_bytes_atomically(name, data)
        return
    if fmt == "json":
        text = alignment_to_json(alignment)
    else:
        try:
            text = alignment_to_subtitles(alignment, fmt, layout=layout, color_reference=color_reference)
        except OutputError as exc:
            raise OutputError(f"{name}: {exc}") from None
    write_text_atomically(name, text, encoding)


def alignment_file_bytes(
    alignment: Any, fmt: str, *, layout: str = "stacked", color_reference: str | None = None, encoding: str = "utf-8",
) -> bytes | None:
    """The bytes of the file ``write_alignment`` writes, made natively with no str of the whole
    text between (no text to encode again): JSON and SubRip in UTF-8. None for anything else, and
    for what the native writers leave: then the text is made (and any error raised) and encoded.
    Raises ValueError for an unknown layout or colour, as the text road does."""
    if encoding.lower().replace("_", "-") not in ("utf-8", "utf8"):
        return None
    if fmt == "json":
        return fast_json(_json_document(alignment), final_newline=True, utf8=True)
    if fmt == "srt":
        return fast_bilingual_subrip(alignment, layout, _checked_colour(fmt, layout, color_reference))
    return None


# One track ----------------------------------------------------------------------------------


def track_to_text(intervals: Iterable[Mapping[str, Any]], fmt: str) -> str:
    """One track as JSON or as a subtitle file; a cue keeps its raw text (its own styling) where
    that is the raw form of its text. Times before 0 are written as 0 (see ``bilingual_cues``)."""
    intervals = list(intervals)
    if fmt == "json":
        return _json_text(intervals)
    events = []
    for interval in intervals:
        start = _output_time(interval["start"], fmt)
        end = max(start, _output_time(interval["end"], fmt))
        if fmt in ("ass", "ssa"):
            events.append(OutputEvent(start, end, _ORIGINAL_STYLE, _raw_text(interval)))
        else:
            lines, position = _srt_lines([interval], fmt)
            top = fmt == "vtt" and position == 8
            events.append(OutputEvent(start, end, _ORIGINAL_STYLE, _srt_text(lines, None if fmt == "vtt" else position), top))
    return serialise_events(events, fmt, style_names=(_ORIGINAL_STYLE,))


def write_track(
    intervals: Iterable[Mapping[str, Any]], path: str | os.PathLike[str], *, to: str | None = None, encoding: str = "utf-8",
) -> None:
    """Write one track to ``path`` as JSON or a subtitle file (``to`` or the extension tells which)."""
    name = os.fspath(path)
    write_text_atomically(name, track_to_text(intervals, output_format(name, to)), encoding)


# Writing a file -----------------------------------------------------------------------------


# A file is written as ".NAME.<8 hex digits>.part" in its folder, then renamed to NAME; a
# temporary file a killed process left behind is told by this pattern (its group "base": NAME).
_PART_SUFFIX = ".part"
_PART_HEX_DIGITS = 8
TEMPORARY_NAME = re.compile(rf"\.(?P<base>.+)\.[0-9a-f]{{{_PART_HEX_DIGITS}}}{re.escape(_PART_SUFFIX)}")


def temporary_name(base: str) -> str:
    """A fresh temporary name for the file named ``base``, in the form TEMPORARY_NAME matches."""
    return f".{base}.{secrets.token_hex(_PART_HEX_DIGITS // 2)}{_PART_SUFFIX}"


def write_text_atomically(path: str | os.PathLike[str], text: str, encoding: str = "utf-8") -> None:
    """Write ``text`` to ``path`` whole or not at all.

    The text is encoded first, written under a temporary name in the target's folder and renamed
    over the target (through a symbolic link, its target is replaced). A new file gets the
    permissions the process's umask gives, a replaced one keeps its own. On any failure the old
    file is intact, the temporary file is removed, and OutputError names the file in one line.
    A device or a pipe (``/dev/null``, ``/dev/stdout``) is no file to replace: it is written to.
    """
    name = os.fspath(path)
    try:
        data = text.encode(encoding)
    except LookupError:
        raise OutputError(f"{name}: unknown encoding {encoding!r}") from None
    except UnicodeEncodeError as exc:
        bad = exc.object[exc.start:exc.end]
        kind = " (a lone surrogate)" if any(0xD800 <= ord(char) <= 0xDFFF for char in bad) else ""
        raise OutputError(f"{name}: cannot write: the text holds {bad!r}{kind}, which {encoding} cannot hold") from None
    except UnicodeError as exc:
        raise OutputError(f"{name}: cannot write in {encoding}: {one_line(exc)}") from None
    write_bytes_atomically(name, data)


def write_bytes_atomically(path: str | os.PathLike[str], data: bytes) -> None:
    """Write ``data`` to ``path`` whole or not at all, as :func:`write_text_atomically` does."""
    name = os.fspath(path)
    target = os.path.realpath(name) if os.path.islink(name) else name
    folder, base = os.path.split(target)
    try:
        found = os.stat(target).st_mode
    except OSError:
        found = None
    if found is not None and (stat.S_ISCHR(found) or stat.S_ISFIFO(found)):
        _write_in_place(name, target, data)
        return
    mode = stat.S_IMODE(found) if found is not None and stat.S_ISREG(found) else None
    temporary = ""
    try:
        for attempt in range(100):
            temporary = os.path.join(folder, temporary_name(base))
            try:
                handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                break
            except FileExistsError:
                if attempt == 99:
                    temporary = ""
                    raise
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(handle, view):]
            os.fsync(handle)
        finally:
            os.close(handle)
        if mode is not None:
            os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException as exc:
        if temporary:
            try:
                os.remove(temporary)
            except OSError:
                pass
        if isinstance(exc, OSError):
            raise OutputError(f"{name}: cannot write: {exc.strerror or exc}") from None
        raise


def _write_in_place(name: str, target: str, data: bytes) -> None:
    try:
        with open(target, "wb") as handle:
            handle.write(data)
    except OSError as exc:
        raise OutputError(f"{name}: cannot write: {exc.strerror or exc}") from None


# Retiming -----------------------------------------------------------------------------------


def _retimed_intervals(intervals: Sequence[Mapping[str, Any]], time_map: Any) -> list[dict[str, Any]]:
    """The intervals moved by ``time_map`` (its own rule: a cue moves with the segment of its
    start). A player shows nothing before 0: a start mapped there is shown from 0, an end
    before it too, so that no cue ends before it starts (one wholly before 0 keeps its place
    in the file as a cue of no length at 0)."""
    try:
        moved = time_map.apply(intervals)
    except ValueError as exc:
        raise OutputError(f"cannot retime: {exc}") from None
    for interval in moved:
        if interval["start"] < 0:
            interval["start"] = 0
            interval["end"] = max(0, interval["end"])
    return moved


def _retime_timing_lines(text: str, fmt: str, time_map: Any) -> str:
    """The SubRip or WebVTT text with each timing line's two times moved, every other byte kept."""
    reader = SubripFormat if fmt == "srt" else WebVTTFormat
    parts = re.split(r"(\r\n|\r|\n)", text)
    timings = []
    for index in range(0, len(parts), 2):
        stamps = list(reader.TIMESTAMP.finditer(parts[index]))
        if len(stamps) == 2:
            start, end = (reader.timestamp_to_ms(stamp.groups()) for stamp in stamps)
            timings.append((index, stamps, {"start": start, "end": end}))
    moved = _retimed_intervals([times for _, _, times in timings], time_map)
    for (index, stamps, _), times in zip(timings, moved):
        line = parts[index]
        for stamp, value in sorted(zip(stamps, (times["start"], times["end"])), key=lambda item: -item[0].start()):
            if value > _SRT_MAX_TIME:
                raise OutputError(f"a cue moved to {pysubs2.time.ms_to_str(value)} lies past the last time {fmt} can hold")
            line = line[:stamp.start()] + reader.ms_to_timestamp(value) + line[stamp.end():]
        parts[index] = line
    return "".join(parts)


def retimed_text(document: Any, time_map: Any, fmt: str | None = None, *, fps: float | None = None) -> str:
    """The text of ``document`` with its cues moved by ``time_map`` and nothing else changed.

    In the document's own format (``fmt`` None) SubRip and WebVTT keep every byte but the times
    of their timing lines; ASS, SSA and the other formats pysubs2 writes keep their styles, info,
    comments and texts (comment lines move with the map too); JSON keeps every field. ``fmt``
    names another format of RETIME_FORMATS to convert to. Times mapped before 0 are shown from 0.
    A frame-based output (MicroDVD) is written at the document's own frame rate, else at ``fps``.
    """
    fmt = canonical_format(fmt or document.format)
    if fmt not in RETIME_FORMATS:
        raise OutputError(f"cannot write a retimed track as {fmt} (can write: {', '.join(RETIME_FORMATS)})")
    if fmt == "json":
        return _json_text(_retimed_intervals(document.track, time_map))
    if fmt == document.format and fmt in ("srt", "vtt"):
        return _retime_timing_lines(document.text, fmt, time_map)
    frame_rate: dict[str, float] = {}
    if fmt in FRAME_FORMATS:
        own = getattr(document.subs, "fps", None) if document.format in FRAME_FORMATS else None
        if own is None and fps is None:
            raise OutputError(f"cannot write {fmt} without a frame rate; give one with --fps")
        frame_rate["fps"] = own if own is not None else fps
    if document.subs is None:
        moved = _retimed_intervals(document.track, time_map)
        if frame_rate:
            return pysubs2.SSAFile.from_string(track_to_text(moved, "srt"), "srt").to_string(fmt, **frame_rate)
        return track_to_text(moved, fmt)
    subs = copy.deepcopy(document.subs)
    moved = _retimed_intervals([{"start": event.start, "end": event.end} for event in subs.events], time_map)
    for event, times in zip(subs.events, moved):
        event.start, event.end = times["start"], times["end"]
        latest, _ = _time_range(fmt)
        if event.end > latest:
            raise OutputError(f"a cue moved to {pysubs2.time.ms_to_str(event.end)} lies past the last time {fmt} can hold")
    try:
        return subs.to_string(fmt, **frame_rate)
    except pysubs2.exceptions.Pysubs2Error as exc:
        raise OutputError(f"cannot write {fmt}: {' '.join(str(exc).split())}") from None


def write_retimed(document: Any, time_map: Any, path: str | os.PathLike[str], *, to: str | None = None,
                  encoding: str | None = None, fps: float | None = None) -> None:
    """Write ``document`` retimed by ``time_map`` to ``path``, in ``to``'s format, else the one
    the extension tells when it is one of RETIME_FORMATS, else the document's own. ``encoding``
    None: a subtitle file as the document was stored (its encoding, its byte-order mark), JSON
    in UTF-8."""
    name = os.fspath(path)
    fmt = to
    if fmt is None:
        told = EXTENSION_FORMATS.get(os.path.splitext(name)[1].lower())
        fmt = told if told in RETIME_FORMATS else document.format
    try:
        text = retimed_text(document, time_map, fmt, fps=fps)
    except OutputError as exc:
        raise OutputError(f"{name}: {exc}") from None
    if encoding is None:
        if canonical_format(fmt) == "json":
            encoding = "utf-8"
        else:
            encoding = getattr(document, "encoding", "utf-8")
            if getattr(document, "byte_order_mark", False):
                text = "\ufeff" + text  # written in the encoding's own byte order
    write_text_atomically(name, text, encoding)
