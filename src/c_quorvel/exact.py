"""The exact pairing road: ``tandril.find_intersections`` with its historical walk.

The native module reads its margin once, from the environment variable ``PAIR_MARGIN``, when it
is first loaded. :func:`load_tandril` sets that variable first when a margin is asked for, and
checks that an already loaded module pairs with the margin asked for. :func:`pair_exact` returns
the groups in the shape of :func:`c_quorvel.align.pair_tracks`' result, with the cues the walk
left out of every group listed as unpaired.
"""

from __future__ import annotations

import os
import re
import sys
from collections import Counter
from types import ModuleType
from typing import Any

from c_quorvel.limits import DEFAULT_MARGIN, INT32_MAX, INT32_MIN

_ACCEPTED = (
    "PAIR_MARGIN is the pairing margin in the tracks' time unit (milliseconds for subtitles), "
    f"read when the native module loads: a decimal integer from {INT32_MIN} to {INT32_MAX}, default {DEFAULT_MARGIN}"
)


class MarginError(ValueError):
    """The margin asked for cannot be used (bad PAIR_MARGIN, or a module loaded with another)."""


def margin_from_environment() -> int | None:
    """``PAIR_MARGIN`` read as the native module reads it (leading blanks, a sign, the digits up
    to the first other character), or None when it is not set. Raises MarginError when the
    module would refuse it."""
    value = os.environ.get("PAIR_MARGIN")
    if value is None:
        return None
    found = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)", value)
    if found is None:
        raise MarginError(f"PAIR_MARGIN={value!r} holds no number. {_ACCEPTED}")
    margin = int(found.group(1))
    if not INT32_MIN <= margin <= INT32_MAX:
        raise MarginError(f"PAIR_MARGIN={value!r} is out of range. {_ACCEPTED}")
    return margin


def load_tandril(margin: int | None = None) -> ModuleType:
    """The native module, loaded with ``margin`` (or with PAIR_MARGIN's value when None)."""
    loaded = sys.modules.get("c_quorvel.tandril")
    if loaded is None:
        if margin is None:
            margin_from_environment()
        else:
            os.environ["PAIR_MARGIN"] = str(margin)
        try:
            from c_quorvel import tandril
        except ImportError as exc:
            if "PAIR_MARGIN" in str(exc):
                raise MarginError(f"{exc}. {_ACCEPTED}") from None
            raise
        return tandril
    if margin is not None and not _pairs_with_margin(loaded, margin):
        raise MarginError(
            f"the native module is already loaded with another margin than {margin}; "
            "PAIR_MARGIN is read once per process"
        )
    return loaded


def _pairs_at(tandril: ModuleType, distance: int) -> bool:
    # Starts `distance` apart, ends INT32_MAX apart, not nested: paired only within the margin.
    point = {"start": 0, "end": 0, "text": "", "original": "", "nl": 0}
    far = {"start": distance, "end": INT32_MAX, "text": "", "original": "", "nl": 0}
    return bool(tandril.find_intersections([point], [far]))


def _pairs_with_margin(tandril: ModuleType, margin: int) -> bool:
    """Whether the loaded module pairs as it would with ``margin`` (margins of 0 and below pair
    alike: records with equal starts or ends are always nested)."""
    if margin <= 0:
        return not _pairs_at(tandril, 1)
    if margin == INT32_MAX:
        return _pairs_at(tandril, margin)
    return _pairs_at(tandril, margin) and not _pairs_at(tandril, margin + 1)


def pair_exact(original: list[dict[str, Any]], reference: list[dict[str, Any]], tandril: ModuleType) -> Any:
    """Pair with ``find_intersections``; the cues it leaves out of every group are unpaired. The
    result is an :class:`c_quorvel.align.Alignment`, as the sound pairing's."""
    from c_quorvel.align import Alignment

    groups = tandril.find_intersections(original, reference)
    return Alignment(
        groups=groups,
        unpaired_original=_left_out(original, (group["original"] for group in groups)),
        unpaired_reference=_left_out(reference, (group["reference"] for group in groups)),
    )


def _key(interval: dict[str, Any]) -> tuple[Any, ...]:
    return (interval["start"], interval["end"], interval["text"], interval["original"], interval["nl"])


def _left_out(track: list[dict[str, Any]], member_lists: Any) -> list[dict[str, Any]]:
    # The walk copies records (and may take one twice): count equal records, do not compare ids.
    grouped = Counter(_key(member) for members in member_lists for member in members)
    left = []
    for interval in track:
        key = _key(interval)
        if grouped[key] > 0:
            grouped[key] -= 1
        else:
            left.append(interval)
    return left
