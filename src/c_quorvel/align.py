"""Sound pairing of two subtitle tracks: every cue ends up in exactly one place.

``pair_tracks(original, reference, margin=1000)`` groups the cues of two tracks of one timeline
(two languages of one film) and returns an ``Alignment``: the groups, shaped like the groups of
``c_quorvel.tandril.find_intersections``, and the cues of each track that found no partner. Every
input cue appears exactly once in the result, in one group or in one unpaired list; the order of
the inputs does not matter. The walk runs natively in ``c_quorvel._align``.

Cues that belong together nest in one another, or have starts or ends at most ``margin`` apart
(in the unit of the times: milliseconds for subtitles). A group forms around the longer cue of a
matching pair and takes the matching cues of the other track that follow it.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, NotRequired, SupportsIndex, TypedDict

from c_quorvel import _align

__all__ = ["DEFAULT_MARGIN", "Alignment", "Group", "Interval", "IntervalInput", "pair_tracks"]

DEFAULT_MARGIN = 1000
_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


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
class Alignment:
    """The result of pair_tracks.

    ``groups`` in the order the walk formed them (by time), each group's cues in order of start;
    ``unpaired_original`` and ``unpaired_reference``: the cues of each track that are in no group,
    in order of start.
    """

    groups: list[Group]
    unpaired_original: list[Interval]
    unpaired_reference: list[Interval]


def _checked_margin(margin: object) -> int:
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


def pair_tracks(
    original: Iterable[IntervalInput | Mapping[str, Any]],
    reference: Iterable[IntervalInput | Mapping[str, Any]],
    *,
    margin: int = DEFAULT_MARGIN,
) -> Alignment:
    """Pair the cues of two tracks; every cue ends up in one group or in one unpaired list.

    ``original`` and ``reference`` are iterables of mappings with "start", "end" (integers in the
    signed 32-bit range), "text" (str) and optionally "original" (str, default "") and "nl"
    (integer, default 0), in any order. ``margin`` (an integer in the signed 32-bit range, in the
    unit of the times) is how far apart starts or ends of cues that belong together may lie; it
    does not depend on PAIR_MARGIN. A bad cue raises TypeError or ValueError naming it, for
    example "original[12]: 'start' must be an integer, not 'str'".
    """
    checked_margin = _checked_margin(margin)
    groups, unpaired_original, unpaired_reference = _align.pair_tracks(
        _as_list(original, "original"), _as_list(reference, "reference"), checked_margin
    )
    return Alignment(groups, unpaired_original, unpaired_reference)
