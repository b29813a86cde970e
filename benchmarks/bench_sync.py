"""Quality and cost of c_quorvel.align.synchronize, and of pairing after it.

Quality: pairs of tracks of one timeline in two languages (``track_pairs.make_track_pair``), the
reference then put out of step (``track_pairs.distort``): offsets of -60 to +60 s, each of the 12
frame-rate ratios between 23.976, 24, 25 and 30 fps, one and two breaks of 5-60 s either way,
combinations, and a row of random combinations within those limits (the distortions of the
engine's harness, benchmarks/sync_quality.cpp). Per distortion, over all seeds:

* error: |map(start') - t| at each reference cue, where start' is its distorted start and t its
  true start (median and 95th percentile);
* paired: the share of the cues that have a true partner and end up in a group with
  ``pair_tracks(..., sync=True)`` (scored as in bench_pair_tracks.py); in dense dialogue a cue
  also lands in some group by chance, so:
* exact: the share of the true groups found exactly, as one group;
* the same two without sync, for comparison.

Goals, for every distortion: 95th percentile of the error at most 100 ms, and at least 95% of the
cues paired. Every map's confidence is printed (lowest and median) with the number of seeds
refused (a SyncError at DEFAULT_MIN_CONFIDENCE); a refusal counts as a miss.

Trust (``sync_tracks``): tracks of two releases timed independently (each side's starts and ends
moved by up to 400 ms on their own, 15% of the original's cues missing), one row per frame-rate
ratio with an offset of up to +-60 s and up to two breaks drawn per seed, for short films of 150
and 80 cues and long ones of 2,000. Per row: p50/p95 error, share of cues within 100 ms, the
confidence, the seeds refused, and the seeds that meet the goal (p95 <= 100 ms, >= 95% within
100 ms, one rate in the map, not refused): at least 9 of 10 for 150 cues, 8 of 10 for 80, 10 of
10 for 2,000 (the same share of --trust-seeds seeds). Beside it, the ceiling: the seeds that a
fit knowing the true breaks and the true pairs meets when it must choose between the true ratio
and its twins by the pairs' slope (``ceiling_met``), what the data allow. Then rows that must be refused: two different films, a track and a shuffled copy of
another, and offsets beyond the window (+-200 and +-300 s with the defaults' window of 180 s);
goal: every seed refused, no wrong map reported as success.

Cost: synchronize on tracks of growing size (+7.3 s, 23.976 -> 25 fps, breaks of +30 and -12 s),
the best of --repeat runs with the cyclic collector off in each window (``timeit``), beside
pair_tracks without sync on the same tracks; goal: 2,000 cues a side in well under a second.

Usage: python benchmarks/bench_sync.py [--events 2000] [--seeds 3] [--repeat 5] [--trust-seeds 10]
"""

from __future__ import annotations

import argparse
import math
import os
import random
import statistics
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sync_tracks import RETIME_JITTER, retimed_pair, unrelated_pair  # noqa: E402
from track_pairs import FRAME_RATES, Distortion, distort, make_track_pair, score  # noqa: E402

from c_quorvel.align import DEFAULT_MIN_CONFIDENCE, pair_tracks, synchronize  # noqa: E402

GOAL_P95_MS = 100
GOAL_PAIRED = 0.95
GOAL_SECONDS_2000 = 0.5
COST_SIZES = (500, 1000, 2000, 5000, 10000, 20000)
RANDOM_ROW_FACTOR = 8
TRUST_SEEDS = 10
TRUST_GOALS = {150: 9, 80: 8, 2000: 10}  # cues: seeds of TRUST_SEEDS that must meet the goal


def distortions() -> list[Distortion]:
    rows = [Distortion("none")]
    rows += [Distortion(f"offset {offset:+} ms", offset=offset) for offset in (-60000, -7300, 500, 30000, 60000)]
    rows += [Distortion(f"rate {a} -> {b}", rates=(a, b)) for a in FRAME_RATES for b in FRAME_RATES if a != b]
    rows += [Distortion(f"one break {length:+} ms", breaks=(length,))
             for length in (5000, -5000, 30000, -30000, 60000, -60000)]
    rows += [
        Distortion("two breaks +12 s, -45 s", breaks=(12000, -45000)),
        Distortion("two breaks +5 s, +60 s", breaks=(5000, 60000)),
        Distortion("two breaks -60 s, -60 s", breaks=(-60000, -60000)),
        Distortion("+7.3 s, 23.976 -> 25, break +30 s", rates=("23.976", "25"), offset=7300, breaks=(30000,)),
        Distortion("-42 s, 25 -> 23.976, breaks +20/-8 s", rates=("25", "23.976"), offset=-42000, breaks=(20000, -8000)),
        Distortion("+60 s, 30 -> 24, breaks +60/+60 s", rates=("30", "24"), offset=60000, breaks=(60000, 60000)),
        Distortion("-60 s, 24 -> 30, breaks -60/-60 s", rates=("24", "30"), offset=-60000, breaks=(-60000, -60000)),
        Distortion("+1 s, 24 -> 23.976, break -5 s", rates=("24", "23.976"), offset=1000, breaks=(-5000,)),
        Distortion("random within the limits", random=True),
    ]
    return rows


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else 0.0


def quality(events: int, seeds: int) -> bool:
    print(f"Quality: {events} events a track, {seeds} seeds per distortion (the random row: "
          f"{seeds * RANDOM_ROW_FACTOR}); synchronize with its defaults (max_offset 60000, max_breaks 2)")
    print(f"{'':<40} {'':>7} {'error':>17} {'with sync':>16} {'without sync':>16}")
    print(f"{'distortion':<40} {'cues':>7} {'median':>8} {'p95':>8} {'paired':>8} {'exact':>7} "
          f"{'paired':>8} {'exact':>7} {'conf min/med':>13} {'refused':>8}  goal")
    all_met = True
    for distortion in distortions():
        errors: list[float] = []
        confidences: list[float] = []
        synced: list = []
        unsynced: list = []
        runs = seeds * RANDOM_ROW_FACTOR if distortion.random else seeds
        for seed in range(1, runs + 1):
            pair = make_track_pair(events, seed=seed * 7919)
            distorted = distort(pair, distortion, seed=seed)
            tracks = distorted.pair
            time_map = synchronize(tracks.original, tracks.reference, min_confidence=0)
            confidences.append(time_map.confidence)
            errors += [abs(time_map(cue["start"]) - truth) for cue, truth in zip(tracks.reference, distorted.truth)]
            alignment = pair_tracks(tracks.original, tracks.reference, sync=time_map)
            # The result carries the mapped reference: score it against the truth on those times.
            mapped = type(tracks)(tracks.original, time_map.apply(tracks.reference), tracks.groups,
                                  tracks.only_original, tracks.only_reference)
            synced.append(score(mapped, alignment.groups, alignment.unpaired_original, alignment.unpaired_reference))
            plain = pair_tracks(tracks.original, tracks.reference)
            unsynced.append(score(tracks, plain.groups, plain.unpaired_original, plain.unpaired_reference))
        p95 = percentile(errors, 0.95)
        share = statistics.fmean(found.paired for found in synced)
        refused = sum(confidence < DEFAULT_MIN_CONFIDENCE for confidence in confidences)
        met = p95 <= GOAL_P95_MS and share >= GOAL_PAIRED and refused == 0
        all_met &= met
        print(f"{distortion.name:<40} {len(errors):>7} {percentile(errors, 0.5):>6.0f}ms {p95:>6.0f}ms "
              f"{100 * share:>7.1f}% {100 * statistics.fmean(found.exact for found in synced):>6.1f}% "
              f"{100 * statistics.fmean(found.paired for found in unsynced):>7.1f}% "
              f"{100 * statistics.fmean(found.exact for found in unsynced):>6.1f}% "
              f"{min(confidences):>6.2f}/{statistics.median(confidences):.2f} {refused:>8}  {'OK' if met else 'MISSED'}")
    print(f"goals: p95 error <= {GOAL_P95_MS} ms and >= {100 * GOAL_PAIRED:.0f}% paired: "
          + ("every distortion meets them" if all_met else "some distortions MISSED them"))
    return all_met


def trusted(original, reference) -> tuple[object, bool]:
    """The map found (with no threshold) and whether synchronize refuses it by default."""
    time_map = synchronize(original, reference, min_confidence=0)
    try:
        synchronize(original, reference)
    except ValueError:
        return time_map, True
    return time_map, False


def goal_met(errors: list[float]) -> bool:
    """The trust goal on one film's errors: p95 within GOAL_P95_MS and 95% of cues within 100 ms."""
    return percentile(errors, 0.95) <= GOAL_P95_MS and sum(e <= 100 for e in errors) >= 0.95 * len(errors)


def ceiling_met(distorted, rates) -> bool:
    """Whether a fit that knows what the search must find meets the goal on one film: the true
    segments, each with its true one-to-one pairs (those whose starts and ends lie within the
    scatter of two timings, 800 ms, of the true map), and of the true ratio and its twins (within
    0.2%) the one nearest the pairs' least-squares slope, each segment's offset the mean residual
    of its pairs under it. What the data allow any search that must choose the scale itself."""
    pair, truth = distorted.pair, distorted.truth
    true_scale = 1.0 if rates is None else FRAME_RATES[rates[1]] / FRAME_RATES[rates[0]]
    residual = [true - true_scale * cue["start"] for cue, true in zip(pair.reference, truth)]
    segment: list[float] = []  # each reference cue's true offset, as one value per segment
    for value in residual:
        segment.append(next((known for known in segment if abs(known - value) < 1000), value))
    points: dict[float, list[tuple[int, int]]] = {}
    for originals, references in pair.groups:
        if len(originals) == 1 and len(references) == 1:
            cue, partner = pair.reference[references[0]], pair.original[originals[0]]
            ends = [(cue["start"], partner["start"]), (cue["end"], partner["end"])]
            if all(abs(y - true_scale * x - residual[references[0]]) <= 2 * RETIME_JITTER for x, y in ends):
                points.setdefault(segment[references[0]], []).extend(ends)
    spread = covariance = 0.0
    for values in points.values():
        mean_x = statistics.fmean(x for x, _ in values)
        mean_y = statistics.fmean(y for _, y in values)
        spread += sum((x - mean_x) ** 2 for x, _ in values)
        covariance += sum((x - mean_x) * (y - mean_y) for x, y in values)
    rates_values = list(FRAME_RATES.values())
    twins = [scale for scale in {1.0, *(a / b for a in rates_values for b in rates_values)}
             if abs(scale / true_scale - 1) < 0.002]
    scale = min(twins, key=lambda twin: abs(twin - covariance / spread))
    offsets = {key: statistics.fmean(y - scale * x for x, y in values) for key, values in points.items()}
    if set(offsets) != set(segment):
        return False
    return goal_met([abs(scale * cue["start"] + offsets[key] - true)
                     for cue, key, true in zip(pair.reference, segment, truth)])


def trust(seeds: int = TRUST_SEEDS) -> bool:
    print(f"\nTrust: tracks timed independently (+-400 ms each side, 15% of the original's cues missing), "
          f"{seeds} seeds a row; offset of up to +-60 s and 0-2 breaks drawn per seed; "
          f"refused: confidence below {DEFAULT_MIN_CONFIDENCE} or at the window's edge")
    print(f"{'row':<34} {'cues':>5} {'p50':>7} {'p95':>8} {'<=100ms':>8} {'conf min/med':>13} {'refused':>8} "
          f"{'seeds met':>10} {'ceiling':>8}  goal")
    all_met = True
    for events, goal in TRUST_GOALS.items():
        needed = math.ceil(goal * seeds / TRUST_SEEDS)  # the same share of more seeds
        ratios = [(a, b) for a in FRAME_RATES for b in FRAME_RATES if a != b] + [None]
        if events >= 2000:
            ratios = [("23.976", "25"), ("25", "24"), ("24", "23.976"), None]
        for rates in ratios:
            errors: list[float] = []
            confidences: list[float] = []
            refused = met_seeds = ceiling = 0
            for seed in range(1, seeds + 1):
                rng = random.Random(seed * 1009 + events)
                distortion = Distortion("retimed", rates=rates, offset=rng.randint(-60000, 60000),
                                        breaks=tuple(rng.randint(5000, 60000) * rng.choice((1, -1))
                                                     for _ in range(rng.randint(0, 2))))
                distorted = distort(retimed_pair(events, seed=seed * 7919 + events), distortion, seed=seed)
                time_map, refusal = trusted(distorted.pair.original, distorted.pair.reference)
                seed_errors = [abs(time_map(cue["start"]) - truth)
                               for cue, truth in zip(distorted.pair.reference, distorted.truth)]
                errors += seed_errors
                confidences.append(time_map.confidence)
                refused += refusal
                met_seeds += (goal_met(seed_errors) and not refusal
                              and len({segment.scale for segment in time_map.segments}) == 1)
                ceiling += ceiling_met(distorted, rates)
            met = met_seeds >= needed
            all_met &= met
            name = "no rate change" if rates is None else f"rate {rates[0]} -> {rates[1]}"
            print(f"{name:<34} {events:>5} {percentile(errors, 0.5):>5.0f}ms {percentile(errors, 0.95):>6.0f}ms "
                  f"{100 * sum(e <= 100 for e in errors) / len(errors):>7.1f}% {min(confidences):>6.2f}/"
                  f"{statistics.median(confidences):.2f} {refused:>8} {met_seeds:>5} of {seeds} {ceiling:>8}"
                  f"  {'OK' if met else f'MISSED (goal {needed})'}")
    print(f"\nMust be refused ({seeds} seeds a row): no map is right")
    print(f"{'row':<34} {'cues':>5} {'conf min/med/max':>18} {'refused':>8}  goal")
    for events in (150, 2000):
        rows = {
            "two different films": lambda seed: unrelated_pair(events, seed=seed),
            "a shuffled copy of another film": lambda seed: unrelated_pair(events, seed=seed, shuffled=True),
        }
        for offset in (200000, -200000, 300000, -300000):
            rows[f"offset {offset // 1000:+} s, beyond the window"] = lambda seed, offset=offset: distort(
                make_track_pair(events, seed=seed), Distortion("far", offset=offset), seed=seed).pair
        for name, make in rows.items():
            confidences = []
            refused = 0
            for seed in range(1, seeds + 1):
                pair = make(seed)
                time_map, refusal = trusted(pair.original, pair.reference)
                confidences.append(time_map.confidence)
                refused += refusal
            met = refused == seeds
            all_met &= met
            print(f"{name:<34} {events:>5} {min(confidences):>6.2f}/{statistics.median(confidences):.2f}/"
                  f"{max(confidences):.2f} {refused:>8}  {'OK' if met else 'MISSED'}")
    print("goals of trust: " + ("every row meets them" if all_met else "some rows MISSED them"))
    return all_met


def best_time(call, repeat: int) -> float:
    # timeit switches the cyclic collector off inside its window.
    return min(timeit.repeat(call, number=1, repeat=repeat))


def cost(repeat: int) -> bool:
    costly = Distortion("cost", rates=("23.976", "25"), offset=7300, breaks=(30000, -12000))
    print(f"\nCost: +7.3 s, 23.976 -> 25 fps, breaks +30 s and -12 s; best of {repeat} runs, collector off")
    print(f"{'cues':>7} {'ref cues':>9} {'synchronize':>12} {'ms/1000 cues':>13} {'pair_tracks':>12} "
          f"{'sync/pair':>10} {'pair sync=True':>15}")
    met = True
    for size in COST_SIZES:
        tracks = distort(make_track_pair(size, seed=17), costly, seed=17).pair
        sync_time = best_time(lambda: synchronize(tracks.original, tracks.reference), repeat)
        pair_time = best_time(lambda: pair_tracks(tracks.original, tracks.reference), repeat)
        both_time = best_time(lambda: pair_tracks(tracks.original, tracks.reference, sync=True), repeat)
        if size == 2000:
            met = both_time <= GOAL_SECONDS_2000
        print(f"{len(tracks.original):>7} {len(tracks.reference):>9} {1000 * sync_time:>10.1f}ms "
              f"{1e6 * sync_time / size:>13.2f} {1000 * pair_time:>10.1f}ms {sync_time / pair_time:>10.2f} "
              f"{1000 * both_time:>13.1f}ms")
    print(f"goal: 2,000 cues a side paired with sync=True in at most {GOAL_SECONDS_2000} s: "
          + ("OK" if met else "MISSED"))
    return met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2000)
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--trust-seeds", type=int, default=TRUST_SEEDS,
                        help="seeds a trust row (the goals: the same share of them)")
    parser.add_argument("--only", choices=("quality", "trust", "cost"), help="run one part only")
    args = parser.parse_args()
    parts = {"quality": lambda: quality(args.events, args.seeds), "trust": lambda: trust(args.trust_seeds), "cost": lambda: cost(args.repeat)}
    met = {name: run() for name, run in parts.items() if args.only in (None, name)}
    print("\ngoals: " + ", ".join(f"{name} {'met' if ok else 'MISSED'}" for name, ok in met.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
