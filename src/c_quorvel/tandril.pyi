"""Type stubs for the native module c_quorvel.tandril.

Intervals cross the boundary as dicts with the keys "start", "end", "text", "original", "nl";
matches (groups formed by find_intersections) as dicts with "start", "end", "original",
"reference". Three shapes exist:

* input form (``IntervalInput``): what ``find_intersections`` and ``PyIntervalSearch`` read;
  texts are ``str`` (the module encodes them as UTF-8);
* byte form (``IntervalBytes``, ``MatchBytes``): what ``interval_to_dict`` and ``match_to_dict``
  accept; texts are ``bytes`` or ``bytearray``;
* text form (``IntervalDict``, ``MatchDict``): what every function returns; texts are ``str``.

Times and ``nl`` are signed 32-bit integers; larger values raise OverflowError. The TypedDicts
below exist only for type checking.
"""

from collections.abc import Iterable, Mapping
from typing import Any, NoReturn, Self, SupportsInt, TypedDict, type_check_only

from typing_extensions import disjoint_base

@type_check_only
class IntervalInput(TypedDict):
    """An interval as find_intersections and PyIntervalSearch read it."""

    start: SupportsInt
    end: SupportsInt
    text: str
    original: str
    nl: SupportsInt

@type_check_only
class IntervalBytes(TypedDict):
    """An interval in byte form, as interval_to_dict accepts it."""

    start: SupportsInt
    end: SupportsInt
    text: bytes | bytearray
    original: bytes | bytearray
    nl: SupportsInt

@type_check_only
class IntervalDict(TypedDict):
    """An interval in text form, as the module returns it."""

    start: int
    end: int
    text: str
    original: str
    nl: int

@type_check_only
class MatchBytes(TypedDict):
    """A match in byte form, as match_to_dict accepts it."""

    start: SupportsInt
    end: SupportsInt
    original: Iterable[IntervalBytes]
    reference: Iterable[IntervalBytes]

@type_check_only
class MatchDict(TypedDict):
    """A group formed by find_intersections, in text form.

    ``start`` and ``end`` span the group's members when it was formed; ``original`` holds the
    intervals taken from the first list, ``reference`` those taken from the second.
    """

    start: int
    end: int
    original: list[IntervalDict]
    reference: list[IntervalDict]

# Mappings with the right keys are accepted too, not only dicts.
_IntervalsIn = list[IntervalInput] | list[Mapping[str, Any]] | list[dict[str, Any]]

def find_intersections(set_a_dicts: _IntervalsIn, set_b_dicts: _IntervalsIn) -> list[MatchDict]:
    """Pair two lists of intervals into groups.

    Intervals of the two lists whose spans nest in one another, or whose starts or whose ends lie
    within the margin (environment variable PAIR_MARGIN, default 1000) of one another, are
    gathered into groups, in the order the lists are walked (both are expected in ascending
    order of start). Each group is what the module attribute ``match_to_dict`` returns for it.

    Both arguments must be exactly ``list`` objects.
    """

def interval_to_dict(interval: IntervalBytes | Mapping[str, Any]) -> IntervalDict:
    """Convert an interval from byte form into text form (texts decoded as strict UTF-8)."""

def match_to_dict(match: MatchBytes | Mapping[str, Any]) -> MatchDict:
    """Convert a match from byte form into text form, each interval through ``interval_to_dict``."""

@disjoint_base
class PyIntervalSearch:
    """Immutable index over a list of intervals (not picklable)."""

    def __new__(cls, intervals: _IntervalsIn) -> Self: ...
    def find_overlapping_intervals(self, start_q: SupportsInt, end_q: SupportsInt) -> list[IntervalDict]:
        """The stored intervals that overlap [start_q - margin, end_q + margin] enough.

        An interval is scanned when its start lies in that window, and reported when the
        overlap is at least half of its own length or half of end_q - start_q. Results come in
        ascending order of start; each is what the module attribute ``interval_to_dict`` returns
        for it.
        """
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __pyx_state: object) -> NoReturn: ...

# Pickling refusals that stand in the module's namespace; they accept any first argument.
def __reduce_cython__(self: object) -> NoReturn: ...
def __setstate_cython__(self: object, __pyx_state: object) -> NoReturn: ...

__test__: dict[str, Any]
