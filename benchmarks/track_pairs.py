"""Pairs of subtitle tracks with known true groups, for scoring a pairing against ground truth.

``make_track_pair`` lays out one timeline of events (realistic durations and gaps, from
``tracks.make_track``) and writes it twice, as two languages of one film:

* the original track shows the events at their times, each boundary moved by a random jitter;
* the reference track shows them moved by a constant ``offset``, with its own jitter; some events
  are split there into two cues and some pairs of neighbouring events merged into one cue;
* some events appear in only one of the two tracks (a sign translated in one language only);
* each track is then shuffled (unless ``shuffle=False``).

The result holds the two tracks, the true groups as positions into them, and the positions of the
cues that have no partner. ``score`` compares a pairing's groups with the true ones.

``distort`` then puts the reference out of step, as tracks of two releases are: a frame-rate
ratio, a constant offset and breaks (foreign content inserted, or content cut), with the same
rules as the engine's quality harness (benchmarks/sync_quality.cpp). A break at original time p of
length L > 0 moves every time from p on by L; of length L < 0 cuts [p, p + |L|) (cues starting
there are dropped, later times move by L). A cue starting at t becomes
``start' = round(ratio * (t + breaks at or before t) + offset)``, ``end' = start' + round(ratio *
length)``. Break points are drawn in 5-95% of the track's span, at least 10% of it apart.
Everything is driven by ``random.Random(seed)``: the same arguments give the same pair.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Any

from tracks import _WORDS_FR, _text, make_track

__all__ = ["Interval", "TrackPair", "Score", "Distortion", "DistortedPair", "FRAME_RATES", "make_track_pair", "score",
           "distort"]

Interval = dict[str, Any]


@dataclass(frozen=True)
class TrackPair:
    original: list[Interval]
    reference: list[Interval]
    # True groups: (positions in original, positions in reference), each sorted.
    groups: list[tuple[tuple[int, ...], tuple[int, ...]]]
    only_original: list[int]   # positions of cues that have no partner
    only_reference: list[int]


def make_track_pair(
    events: int,
    *,
    offset: int = 0,
    jitter: int = 50,
    split_rate: float = 0.05,
    merge_rate: float = 0.04,
    single_rate: float = 0.03,
    shuffle: bool = True,
    seed: int = 1,
) -> TrackPair:
    """Two tracks of one timeline of ``events`` events and their true groups.

    ``jitter``: each boundary of each cue moves by up to this much either way. ``split_rate`` and
    ``merge_rate``: shares of events split in two, or merged with their successor, in the reference
    track. ``single_rate``: share of events present only in the original track, and again only in
    the reference track.
    """
    rng = random.Random(seed)
    timeline = make_track(events, seed=seed)
    original: list[Interval] = []
    reference: list[Interval] = []
    groups: list[tuple[list[int], list[int]]] = []
    only_original: list[int] = []
    only_reference: list[int] = []

    def moved(time: int) -> int:
        return time + rng.randint(-jitter, jitter)

    def add_original(event: Interval) -> int:
        start = moved(event["start"])
        original.append({**event, "start": start, "end": max(start + 300, moved(event["end"]))})
        return len(original) - 1

    def add_reference(start: int, end: int) -> int:
        start = moved(start + offset)
        end = max(start + 300, moved(end + offset))
        text, nl = _text(rng, _WORDS_FR, end - start)
        reference.append({"start": start, "end": end, "text": text, "original": "", "nl": nl})
        return len(reference) - 1

    k = 0
    while k < len(timeline):
        event = timeline[k]
        draw = rng.random()
        if draw < single_rate:
            only_original.append(add_original(event))
        elif draw < 2 * single_rate:
            only_reference.append(add_reference(event["start"], event["end"]))
        elif draw < 2 * single_rate + merge_rate and k + 1 < len(timeline):
            following = timeline[k + 1]
            groups.append(([add_original(event), add_original(following)],
                           [add_reference(event["start"], following["end"])]))
            k += 1
        elif draw < 2 * single_rate + merge_rate + split_rate and event["end"] - event["start"] >= 1600:
            middle = event["start"] + (event["end"] - event["start"]) * rng.randint(40, 60) // 100
            groups.append(([add_original(event)],
                           [add_reference(event["start"], middle),
                            add_reference(middle + rng.randint(0, 120), event["end"])]))
        else:
            groups.append(([add_original(event)], [add_reference(event["start"], event["end"])]))
        k += 1

    original_places = list(range(len(original)))
    reference_places = list(range(len(reference)))
    if shuffle:
        rng.shuffle(original_places)
        rng.shuffle(reference_places)
    # original_places[new position] = old position; invert to move the truth along.
    new_original = {old: new for new, old in enumerate(original_places)}
    new_reference = {old: new for new, old in enumerate(reference_places)}
    return TrackPair(
        original=[original[old] for old in original_places],
        reference=[reference[old] for old in reference_places],
        groups=[(tuple(sorted(new_original[p] for p in originals)), tuple(sorted(new_reference[p] for p in references)))
                for originals, references in groups],
        only_original=sorted(new_original[p] for p in only_original),
        only_reference=sorted(new_reference[p] for p in only_reference),
    )


@dataclass(frozen=True)
class Score:
    paired: float      # share of the cues that have a partner found in some group
    exact: float       # share of the true groups found exactly, as one group
    lost: int          # cues found nowhere in the result
    duplicated: int    # extra appearances of cues found more than once


def _key(interval: Interval) -> tuple[int, int, str, str, int]:
    return (interval["start"], interval["end"], interval["text"], interval["original"], interval["nl"])


def score(pair: TrackPair, groups: list[dict], unpaired_original: list[Interval] = (),
          unpaired_reference: list[Interval] = ()) -> Score:
    """Scores result ``groups`` (dicts with "original" and "reference" lists of interval dicts) and
    unpaired lists against the truth. Cues are recognised by all their fields, which are unique
    on each side of a generated pair."""
    places = []
    for track in (pair.original, pair.reference):
        where: dict[tuple, list[int]] = {}
        for position, interval in enumerate(track):
            where.setdefault(_key(interval), []).append(position)
        places.append(where)
    seen = [[0] * len(pair.original), [0] * len(pair.reference)]

    def positions(side: int, intervals) -> tuple[int, ...]:
        found = []
        for interval in intervals:
            candidates = places[side][_key(interval)]
            position = candidates[0] if len(candidates) == 1 else next(
                (p for p in candidates if not seen[side][p]), candidates[0])
            seen[side][position] += 1
            found.append(position)
        return tuple(sorted(found))

    found_groups = {(positions(0, g["original"]), positions(1, g["reference"])) for g in groups}
    grouped = [set(), set()]
    for originals, references in found_groups:
        grouped[0].update(originals)
        grouped[1].update(references)
    positions(0, unpaired_original)
    positions(1, unpaired_reference)

    partnered = [(0, p) for originals, _ in pair.groups for p in originals]
    partnered += [(1, p) for _, references in pair.groups for p in references]
    paired = sum(position in grouped[side] for side, position in partnered)
    return Score(
        paired=paired / len(partnered) if partnered else 1.0,
        exact=sum(group in found_groups for group in pair.groups) / len(pair.groups) if pair.groups else 1.0,
        lost=sum(count == 0 for side in seen for count in side),
        duplicated=sum(count - 1 for side in seen for count in side if count > 1),
    )


FRAME_RATES = {"23.976": 24000 / 1001, "24": 24.0, "25": 25.0, "30": 30.0}


@dataclass(frozen=True)
class Distortion:
    name: str
    rates: tuple[str, str] | None = None  # (from, to): times scale by FRAME_RATES[from] / FRAME_RATES[to]
    offset: int = 0
    breaks: tuple[int, ...] = ()          # lengths in ms, placed by distort
    random: bool = False                  # offset, rates and breaks drawn per pair instead


@dataclass(frozen=True)
class DistortedPair:
    pair: TrackPair      # the reference distorted (cut cues dropped, the truth moved along)
    truth: list[int]     # the undistorted start of each cue of pair.reference


def _round_half_away(value: float) -> int:
    whole = int(value // 1)
    fraction = value - whole
    return whole + 1 if fraction > 0.5 or (fraction == 0.5 and value > 0) else whole


def distort(pair: TrackPair, distortion: Distortion, *, seed: int = 1) -> DistortedPair:
    """The pair with its reference put out of step by ``distortion`` (see the module's comment)."""
    rng = random.Random(seed)
    rates, offset, lengths = distortion.rates, distortion.offset, distortion.breaks
    if distortion.random:
        offset = rng.randint(-60000, 60000)
        rates = (rng.choice(list(FRAME_RATES)), rng.choice(list(FRAME_RATES)))
        lengths = tuple(rng.randint(5000, 60000) * rng.choice((1, -1)) for _ in range(rng.randint(0, 2)))
    ratio = 1.0 if rates is None else FRAME_RATES[rates[0]] / FRAME_RATES[rates[1]]
    first = min(cue["start"] for cue in pair.original)
    span = max(cue["end"] for cue in pair.original) - first
    breaks: list[tuple[int, int]] = []
    for length in lengths:
        while True:
            at = first + span // 20 + rng.randint(0, span * 9 // 10)
            if all(abs(other - at) >= span // 10 for other, _ in breaks):
                breaks.append((at, length))
                break

    reference: list[Interval] = []
    truth: list[int] = []
    kept: dict[int, int] = {}
    for position, cue in enumerate(pair.reference):
        moved = cue["start"]
        cut = False
        for at, length in breaks:
            if length < 0 and at <= cue["start"] < at - length:
                cut = True
            elif cue["start"] >= at:
                moved += length
        if cut:
            continue
        start = _round_half_away(ratio * moved + offset)
        end = start + _round_half_away(ratio * (cue["end"] - cue["start"]))
        kept[position] = len(reference)
        reference.append({**cue, "start": start, "end": end})
        truth.append(cue["start"])

    groups = []
    only_original = list(pair.only_original)
    for originals, references in pair.groups:
        left = tuple(kept[p] for p in references if p in kept)
        if left:
            groups.append((originals, left))
        else:
            only_original.extend(originals)
    distorted = TrackPair(
        original=pair.original,
        reference=reference,
        groups=groups,
        only_original=sorted(only_original),
        only_reference=[kept[p] for p in pair.only_reference if p in kept],
    )
    return DistortedPair(distorted, truth)
