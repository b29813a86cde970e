"""Track pairs that test whether a synchronisation can be trusted, beside those of track_pairs.

* ``retimed_pair``: two releases timed independently. Both tracks come from ``make_track_pair``
  with a jitter of 400 ms (every start and end of each side moved on its own by up to 400 ms either
  way), and 15% of the original's cues are dropped (the truth moved along). ``distort`` then puts
  the reference out of step as usual.
* ``unrelated_pair``: an original and a reference of two different films (different seeds), or,
  with ``shuffled=True``, a reference whose cues keep another film's lengths and gaps in a
  shuffled order. No map is right: a synchronisation must refuse.

Everything is driven by ``random.Random(seed)``: the same arguments give the same pair.
"""

from __future__ import annotations

import random

from track_pairs import TrackPair, make_track_pair

__all__ = ["RETIME_JITTER", "RETIME_DROP", "retimed_pair", "unrelated_pair"]

RETIME_JITTER = 400
RETIME_DROP = 0.15


def retimed_pair(events: int, *, seed: int = 1) -> TrackPair:
    """Two tracks of one film timed independently, RETIME_DROP of the original's cues missing."""
    pair = make_track_pair(events, jitter=RETIME_JITTER, seed=seed)
    rng = random.Random(seed ^ 0x5EED)
    kept = [position for position in range(len(pair.original)) if rng.random() >= RETIME_DROP]
    place = {old: new for new, old in enumerate(kept)}
    groups = []
    only_reference = list(pair.only_reference)
    for originals, references in pair.groups:
        left = tuple(place[p] for p in originals if p in place)
        if left:
            groups.append((left, references))
        else:
            only_reference.extend(references)
    return TrackPair(
        original=[pair.original[p] for p in kept],
        reference=pair.reference,
        groups=groups,
        only_original=[place[p] for p in pair.only_original if p in place],
        only_reference=sorted(only_reference),
    )


def unrelated_pair(events: int, *, seed: int = 1, shuffled: bool = False) -> TrackPair:
    """An original and a reference that have nothing in common; every cue is unpaired."""
    original = make_track_pair(events, seed=seed).original
    other = sorted(make_track_pair(events, seed=seed + 104729).reference, key=lambda cue: cue["start"])
    if shuffled:
        rng = random.Random(seed)
        pieces = [(cue["start"] - (other[k - 1]["end"] if k else 0), cue) for k, cue in enumerate(other)]
        rng.shuffle(pieces)
        time, reference = 0, []
        for gap, cue in pieces:
            start = time + max(0, gap)
            reference.append({**cue, "start": start, "end": start + cue["end"] - cue["start"]})
            time = start + cue["end"] - cue["start"]
        other = reference
    return TrackPair(original=original, reference=other, groups=[], only_original=list(range(len(original))),
                     only_reference=list(range(len(other))))
