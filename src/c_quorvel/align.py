"""Sound pairing of two subtitle tracks: every cue ends up in exactly one place.

``pair_tracks(original, reference, margin=1000)`` groups the cues of two tracks of one timeline
(two languages of one film) and returns an ``Alignment``: the groups, shaped like the groups of
``c_quorvel.tandril.find_intersections``, and the cues of each track that found no partner. Every
input cue appears exactly once in the result, in one group or in one unpaired list; the order of
the inputs does not matter. The walk runs natively in ``c_quorvel._align``.

Tracks of two releases are often out of step: one starts seconds later, one runs at another frame
rate, one has a break the other lacks. ``synchronize(original, reference)`` finds the ``TimeMap``
that carries the reference's times onto the original's timeline (a constant offset, a frame-rate
ratio, and breaks), natively and from the cues' times alone; ``pair_tracks(..., sync=True)`` maps
the reference first and pairs on the mapped times.

Cues that belong together nest in one another, or have starts or ends at most ``margin`` apart
(in the unit of the times: milliseconds for subtitles). A group forms around the longer cue of a
matching pair and takes the matching cues of the other track that follow it.
"""

from __future__ import annotations

import bisect
import math
import operator
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, NotRequired, SupportsIndex, TypedDict

from c_quorvel import _align

__all__ = [
    "DEFAULT_MARGIN", "DEFAULT_MAX_BREAKS", "DEFAULT_MAX_OFFSET", "DEFAULT_MIN_CONFIDENCE", "Alignment", "Group", "Interval", "IntervalInput",
    "SyncError", "TimeMap", "TimeSegment", "pair_tracks", "synchronize",
]

from c_quorvel.limits import DEFAULT_MARGIN, DEFAULT_MAX_BREAKS, DEFAULT_MAX_OFFSET, DEFAULT_MIN_CONFIDENCE
from c_quorvel.limits import INT32_MAX as _INT32_MAX
from c_quorvel.limits import INT32_MIN as _INT32_MIN
from c_quorvel.limits import TIME_END as _TIME_END


class IntervalInput(TypedDict):
    """A cue as pair_tracks reads it; "original" defaults to "" and "nl" to 0."""

    start: SupportsIndex
    end: SupportsIndex
    text: str
    original: NotRequired[str]
    nl: NotRequired[SupportsIndex]


class Interval(TypedDict):
    """A cue in a result: a new dict, texts as given."""

    start: int
    end: int
    text: str
    original: str
    nl: int


class Group(TypedDict):
    """Cues of the two tracks that belong together; start and end cover all of them."""

    start: int
    end: int
    original: list[Interval]
    reference: list[Interval]


@dataclass(frozen=True, slots=True)
class TimeSegment:
    """Reference times ``start <= t < end`` go to ``round(t * scale + offset)`` on the original's
    timeline (halves rounded away from zero)."""

    start: int
    end: int
    scale: float
    offset: float

    def map(self, time: int) -> int:
        # The engine's rounding, the one the search rates its candidates by.
        return _align.map_time(self.scale, self.offset, time)


_FRAME_RATES = (("23.976", 24000 / 1001), ("24", 24.0), ("25", 25.0), ("30", 30.0))
_COUNT_WORDS = ("no", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten")


@dataclass(frozen=True, slots=True)
class TimeMap:
    """A map from a reference track's times to an original track's timeline, found by ``synchronize``.

    ``segments``: a tuple of ``TimeSegment`` in order, covering every signed 32-bit time exactly
    once (the first starts at -2**31, each ends where the next starts, the last ends at 2**31).
    A break lies where one segment gives way to the next. Calling the map on a time maps it with
    the segment that holds it; ``apply`` maps the cues of a track.

    ``confidence``: how far the map ``synchronize`` found stands above chance, from 0 to 1: the
    mean rating of the reference's cues under the map (each cue's best overlap with an original
    cue over the longer of the two lengths), set against the same rating under a control (the best
    of the map moved by 7 to 53 s either way), as (rating - control) / (1 - control), clipped to
    [0, 1]. Tracks of one film score 0.5-1, 0.3-0.4 when both were re-timed independently by up to
    400 ms; unrelated tracks 0-0.15. A map built
    by hand (``identity``, ``linear`` or the constructor) has None: nobody measured it. Two maps
    are equal when their segments are; the confidence takes no part in the comparison.
    """

    segments: tuple[TimeSegment, ...]
    confidence: float | None = field(default=None, compare=False)

    def __post_init__(self) -> None:
        segments = tuple(self.segments)
        object.__setattr__(self, "segments", segments)
        if not segments or not all(isinstance(segment, TimeSegment) for segment in segments):
            raise TypeError("segments must be a non-empty sequence of TimeSegment")
        edges = [segments[0].start] + [segment.end for segment in segments]
        if edges[0] != _INT32_MIN or edges[-1] != _TIME_END or any(
            segment.start != edge or segment.end <= segment.start for segment, edge in zip(segments, edges)
        ):
            raise ValueError("segments must follow one another without gaps from -2**31 to 2**31")
        for segment in segments:
            if not (math.isfinite(segment.scale) and segment.scale > 0 and math.isfinite(segment.offset)):
                raise ValueError(f"a segment's scale must be positive and its offset finite, not {segment}")
        if self.confidence is not None and (isinstance(self.confidence, bool) or not isinstance(
                self.confidence, (int, float)) or not 0.0 <= self.confidence <= 1.0):
            raise ValueError(f"confidence must be None or a number from 0 to 1, not {self.confidence!r}")

    @classmethod
    def identity(cls) -> TimeMap:
        """The map that leaves every time as it is."""
        return cls((TimeSegment(_INT32_MIN, _TIME_END, 1.0, 0.0),))

    @classmethod
    def linear(cls, offset_ms: float, scale: float = 1.0) -> TimeMap:
        """One segment for every time: ``t`` goes to ``round(t * scale + offset_ms)``."""
        return cls((TimeSegment(_INT32_MIN, _TIME_END, float(scale), float(offset_ms)),))

    @property
    def is_identity(self) -> bool:
        return self.segments == TimeMap.identity().segments

    def segment_of(self, time: SupportsIndex) -> TimeSegment:
        """The segment holding ``time`` (a signed 32-bit integer)."""
        value = operator.index(time)
        if not _INT32_MIN <= value <= _INT32_MAX:
            raise ValueError(f"time must fit in a signed 32-bit integer, not {value}")
        starts = [segment.start for segment in self.segments]
        return self.segments[bisect.bisect_right(starts, value) - 1]

    def __call__(self, time: SupportsIndex) -> int:
        """The original time of a reference time."""
        return self.segment_of(time).map(operator.index(time))

    def apply(self, intervals: Iterable[Mapping[str, Any]]) -> list[dict[str, Any]]:
        """New interval dicts with mapped times, one per input, in the input's order.

        Every other field is kept (of a cue that offers only ``__getitem__``: "text", "original"
        and "nl", those it has). A cue moves with the segment its start lies in, its end too, so
        that it keeps its place and a length scaled like its neighbours' even across a break.
        Raises ValueError naming the cue when a time is missing or a mapped time leaves the
        signed 32-bit range.
        """
        return self._apply(intervals, "intervals")

    def _apply(self, intervals: Iterable[Any], name: str) -> list[dict[str, Any]]:
        starts = [segment.start for segment in self.segments]
        mapped = []
        for position, interval in enumerate(intervals):
            try:
                start = operator.index(interval["start"])
                end = operator.index(interval["end"])
            except KeyError as exc:
                raise ValueError(f"{name}[{position}]: {exc.args[0]!r} is required") from None
            except TypeError:
                raise TypeError(f"{name}[{position}] must be a mapping with integer 'start' and 'end'") from None
            if not _INT32_MIN <= start <= _INT32_MAX:
                raise ValueError(f"{name}[{position}]: 'start' must fit in a signed 32-bit integer, not {start}")
            segment = self.segments[bisect.bisect_right(starts, start) - 1]
            new_start, new_end = segment.map(start), segment.map(end)
            if not (_INT32_MIN <= new_start <= _INT32_MAX and _INT32_MIN <= new_end <= _INT32_MAX):
                raise ValueError(f"{name}[{position}]: the mapped times {new_start}..{new_end} leave the signed 32-bit range")
            mapped.append({**_fields_of(interval, name, position), "start": new_start, "end": new_end})
        return mapped

    def describe(self) -> str:
        """How the reference is out of step with the original, in words, for example
        "+7.300 s, 23.976 → 25 fps, one break of +30.0 s at 00:12:04".

        The offset is where the original's time 0 falls in the reference. "R → O fps": the
        reference's times are the original's scaled by R / O, as when a track made for R frames per
        second is played at O (23.976 → 25 shortens every time by about 4%). A break of +L s at
        T: from the original's time T on, the reference has L seconds more (an advertisement, a
        longer cut); -L s: L seconds less. The map itself undoes all of it.
        """
        if self.is_identity:
            return "no change (+0.000 s)"
        first = self.segments[0]
        # Adding 0.0 turns a negative zero into a plain one.
        words = [f"{round(-first.offset / first.scale / 1000, 3) + 0.0:+.3f} s"]
        if first.scale != 1.0:
            words.append(_rate_words(first.scale))
        breaks = []
        for before, after in zip(self.segments, self.segments[1:]):
            at = after.start * after.scale + after.offset
            length = after.start * before.scale + before.offset - at
            told = f"{length / 1000:+.1f} s at {_clock(round(at))}"
            if after.scale != before.scale:
                told += f" (then {_rate_words(after.scale)})"
            breaks.append(told)
        if len(breaks) == 1:
            words.append(f"one break of {breaks[0]}")
        elif breaks:
            count = _COUNT_WORDS[len(breaks)] if len(breaks) < len(_COUNT_WORDS) else str(len(breaks))
            words.append(f"{count} breaks: {', '.join(breaks)}")
        return ", ".join(words)

    __str__ = describe


_CUE_FIELDS = ("text", "original", "nl")


def _fields_of(interval: Any, name: str, position: int) -> dict[str, Any]:
    # A mapping gives all its fields; a cue offering only __getitem__ gives those of a cue it has.
    if isinstance(interval, Mapping) or hasattr(interval, "keys"):
        try:
            return {**interval}
        except Exception as exc:
            raise TypeError(f"{name}[{position}]: its fields cannot be read: {exc}") from exc
    fields = {}
    for key in _CUE_FIELDS:
        try:
            fields[key] = interval[key]
        except (KeyError, IndexError):
            continue
    return fields


def _rate_words(scale: float) -> str:
    # The map scales by O / R to undo a track made for R frames per second and played at O.
    for made_name, made_rate in _FRAME_RATES:
        for played_name, played_rate in _FRAME_RATES:
            if made_rate != played_rate and math.isclose(scale, played_rate / made_rate, rel_tol=1e-6):
                return f"{made_name} → {played_name} fps"
    return f"times scaled by {1 / scale:.6g}"


def _clock(time: int) -> str:
    sign = "-" if time < 0 else ""
    seconds = abs(time) // 1000
    return f"{sign}{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class SyncError(ValueError):
    """No map carries the reference onto the original reliably; ``best`` is the best one found,
    its ``confidence`` set. The message says what was tried and the best confidence, in one line
    that a command can print as it is."""

    def __init__(self, message: str, best: TimeMap) -> None:
        super().__init__(message)
        self.best = best


def _refusal(best: TimeMap, confidence: float, at_edge: bool, min_confidence: float, max_offset: int,
             max_breaks: int) -> SyncError:
    first = best.segments[0]
    found = f"best {round(-first.offset / first.scale / 1000, 1) + 0.0:+.1f} s at confidence {confidence:.2f}"
    tried = f"max_offset {max_offset} ms, max_breaks {max_breaks}"
    if at_edge:
        reason = f"{found}, at the edge of the offset window ({tried}); the tracks may be out of step by more than max_offset"
    else:
        reason = (f"{found} (at least {min_confidence:.2f} needed; {tried}); the tracks may be unrelated, "
                  "or out of step by more than max_offset")
    return SyncError(f"no reliable map: {reason}", best)


@dataclass(frozen=True, slots=True)
class Alignment:
    """The result of pair_tracks.

    ``groups`` in the order the walk formed them (by time), each group's cues in order of start;
    ``unpaired_original`` and ``unpaired_reference``: the cues of each track that are in no group,
    in order of start. ``time_map``: the map the reference was carried by before pairing (its
    cues in the result then have the mapped times), or None when the tracks were paired as given.
    """

    groups: list[Group]
    unpaired_original: list[Interval]
    unpaired_reference: list[Interval]
    time_map: TimeMap | None = None


def _checked_margin(margin: object) -> int:
    if isinstance(margin, bool):
        raise TypeError("margin must be an integer, not 'bool'")
    try:
        value = operator.index(margin)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"margin must be an integer, not {type(margin).__name__!r}") from None
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError(f"margin must fit in a signed 32-bit integer ({_INT32_MIN} to {_INT32_MAX}), not {value}")
    return value


def _as_list(track: object, name: str) -> list[Any]:
    # A private copy: code run while the cues are read cannot add or drop any of them.
    if type(track) is list:
        return track.copy()
    if isinstance(track, (str, bytes, bytearray, Mapping)) or not isinstance(track, Iterable):
        raise TypeError(f"{name} must be a list or another iterable of interval mappings, not {type(track).__name__!r}")
    return list(track)


def _checked_limit(value: object, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not 'bool'")
    try:
        checked = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__!r}") from None
    if checked < 0:
        raise ValueError(f"{name} must not be negative, got {checked}")
    return checked


def synchronize(
    original: Iterable[IntervalInput | Mapping[str, Any]],
    reference: Iterable[IntervalInput | Mapping[str, Any]],
    *,
    max_offset: int = DEFAULT_MAX_OFFSET,
    max_breaks: int = DEFAULT_MAX_BREAKS,
    min_confidence: float = DEFAULT_MIN_CONFIDENCE,
) -> TimeMap:
    """The map carrying the reference's times onto the original's timeline.

    Only the cues' "start" and "end" are read (any language, any text); the tracks may be in any
    order. The search considers a constant offset of up to ``max_offset`` ms either way, the scale
    ratios between 23.976, 24, 25 and 30 frames per second (and 1), and up to ``max_breaks``
    breaks, each moving the offset by up to ``max_offset`` more (so that no segment's offset
    exceeds ``(1 + max_breaks) * max_offset``, times the scale when it is above 1). A map has one
    scale (a film has one frame-rate ratio); breaks move the offset only. A candidate is rated by
    how close the starts and ends of the cues it brings together lie, less a penalty per break.
    The map chosen is then fitted to the starts and ends of the cue pairs it brings together,
    outliers dropped: each segment's offset by least squares, and the scale, of the ratio chosen
    and those within 0.2% of it (24 and 23.976 fps), the one nearest the pairs' slope. Identical
    tracks give ``TimeMap.identity()``. Two tracks of 2,000 cues take a few tens of milliseconds.

    The map's ``confidence`` (see ``TimeMap``) is set. Below ``min_confidence`` (a number from 0
    to 1; 0 accepts every map), or when a segment's offset lies at the edge of the offset window,
    no map is trusted: SyncError is raised, its ``best`` the map found. So are tracks with nothing
    in common, an original without timed cues and a reference out of step by more than the window
    refused rather than mapped wrongly. A reference without timed cues gives the identity.

    ``max_offset`` and ``max_breaks`` are non-negative integers (TypeError for other types,
    bools included; ValueError when negative). A bad cue raises as in ``pair_tracks``.
    """
    checked_offset = _checked_limit(max_offset, "max_offset")
    checked_breaks = _checked_limit(max_breaks, "max_breaks")
    if isinstance(min_confidence, bool) or not isinstance(min_confidence, (int, float)):
        raise TypeError(f"min_confidence must be a number, not {type(min_confidence).__name__!r}")
    if not 0.0 <= min_confidence <= 1.0:
        raise ValueError(f"min_confidence must be from 0 to 1, got {min_confidence!r}")
    segments, confidence, at_edge = _align.synchronize(_as_list(original, "original"), _as_list(reference, "reference"),
                                                       checked_offset, checked_breaks)
    time_map = TimeMap(tuple(TimeSegment(*segment) for segment in segments), confidence)
    if confidence < min_confidence or (at_edge and min_confidence > 0):
        raise _refusal(time_map, confidence, at_edge, min_confidence, checked_offset, checked_breaks)
    return time_map


def pair_tracks(
    original: Iterable[IntervalInput | Mapping[str, Any]],
    reference: Iterable[IntervalInput | Mapping[str, Any]],
    *,
    margin: int = DEFAULT_MARGIN,
    sync: bool | TimeMap = False,
) -> Alignment:
    """Pair the cues of two tracks; every cue ends up in one group or in one unpaired list.

    ``original`` and ``reference`` are iterables of mappings with "start", "end" (integers in the
    signed 32-bit range), "text" (str) and optionally "original" (str, default "") and "nl"
    (integer, default 0), in any order. ``margin`` (an integer in the signed 32-bit range, in the
    unit of the times) is how far apart starts or ends of cues that belong together may lie; it
    does not depend on PAIR_MARGIN. A bad cue raises TypeError or ValueError naming it, for
    example "original[12]: 'start' must be an integer, not 'str'".

    ``sync=True`` first finds the map of the reference onto the original's timeline
    (``synchronize`` with its defaults; SyncError when no map is reliable), ``sync=`` a
    ``TimeMap`` uses that map; the reference's
    cues are then paired, and appear in the result, with the mapped times, and the result's
    ``time_map`` is the map. With ``sync=False`` the tracks are paired as given.
    """
    checked_margin = _checked_margin(margin)
    if not isinstance(sync, (bool, TimeMap)):
        raise TypeError(f"sync must be a bool or a TimeMap, not {type(sync).__name__!r}")
    original_list = _as_list(original, "original")
    reference_list = _as_list(reference, "reference")
    time_map = synchronize(original_list, reference_list) if sync is True else sync or None
    if time_map is not None:
        reference_list = time_map._apply(reference_list, "reference")
    groups, unpaired_original, unpaired_reference = _align.pair_tracks(original_list, reference_list, checked_margin)
    return Alignment(groups, unpaired_original, unpaired_reference, time_map)
