"""Quality and speed of c_quorvel.align.pair_tracks beside c_quorvel.tandril.find_intersections.

Quality: on generated pairs of tracks of one timeline in two languages (``track_pairs.py``: the
reference shifted by a constant offset with jitter, some cues split, some merged, some in only one
track), given in order of start and shuffled, both pairings are scored against the true groups:

* paired: the share of the cues that have a partner which end up in some group;
* exact: the share of the true groups that come out exactly as one group;
* lost: cues that appear nowhere in the result (find_intersections has no unpaired lists).

Goals, at offsets below the margin: pair_tracks pairs at least 98% and finds at least 95% of the
groups exactly, and loses nothing.

Speed: the time per cue of both on the same pair of tracks, with the cyclic collector off inside
each timing window (``timeit``), interleaved; goal: pair_tracks within 1.5x on the tracks of the
find_intersections benchmark, where both group nearly every cue. Both use the margin of
PAIR_MARGIN (default 1000).

Usage: python benchmarks/bench_pair_tracks.py [--events 5000] [--speed-events 50000] [--repeat 7]
"""

from __future__ import annotations

import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from track_pairs import make_track_pair, score  # noqa: E402
from tracks import make_pair, pair_margin  # noqa: E402

from c_quorvel import tandril  # noqa: E402
from c_quorvel.align import pair_tracks  # noqa: E402

OFFSETS = (0, 200, 500, 900)
GOAL_PAIRED = 0.98
GOAL_EXACT = 0.95
GOAL_SPEED = 1.5


def quality(events: int, margin: int) -> bool:
    header = (f"{'offset':>6} {'input':>8} | {'find_intersections':^26} | {'pair_tracks':^26}\n"
              f"{'':>6} {'':>8} | {'paired':>8} {'exact':>8} {'lost':>8} | {'paired':>8} {'exact':>8} {'lost':>8}")
    print(header)
    print("-" * len(header.splitlines()[1]))
    met = True
    for offset in OFFSETS:
        for shuffle in (False, True):
            pair = make_track_pair(events, offset=offset, shuffle=shuffle, seed=offset + 1)
            historical = score(pair, tandril.find_intersections(pair.original, pair.reference))
            aligned = pair_tracks(pair.original, pair.reference, margin=margin)
            sound = score(pair, aligned.groups, aligned.unpaired_original, aligned.unpaired_reference)
            print(f"{offset:>6} {'shuffled' if shuffle else 'in order':>8} | "
                  f"{historical.paired:>8.1%} {historical.exact:>8.1%} {historical.lost:>8} | "
                  f"{sound.paired:>8.1%} {sound.exact:>8.1%} {sound.lost:>8}")
            if offset < margin:
                met &= sound.paired >= GOAL_PAIRED and sound.exact >= GOAL_EXACT and sound.lost == 0
    print(f"goals below the margin (pair_tracks paired >= {GOAL_PAIRED:.0%}, exact >= {GOAL_EXACT:.0%}, "
          f"nothing lost): {'OK' if met else 'MISSED'}")
    return met


def timed(original: list, reference: list, repeat: int, margin: int) -> tuple[dict[str, float], list[float]]:
    """Best time of each contender, and the ratio pair_tracks / find_intersections of each round."""
    contenders = {
        "find_intersections": lambda: tandril.find_intersections(original, reference),
        "pair_tracks": lambda: pair_tracks(original, reference, margin=margin),
    }
    best = dict.fromkeys(contenders, float("inf"))
    ratios = []
    for _ in range(repeat):  # interleaved, so that machine noise spreads over both
        round_times = {name: timeit.Timer(call).timeit(number=1) for name, call in contenders.items()}
        for name, seconds in round_times.items():
            best[name] = min(best[name], seconds)
        ratios.append(round_times["pair_tracks"] / round_times["find_intersections"])
    return best, ratios


def speed(events: int, repeat: int, margin: int) -> bool:
    # On the pairs of the find_intersections benchmark both group nearly every cue, so both build
    # results of the same size; on a pair with offsets find_intersections drops most cues and so
    # builds a far smaller result, which is shown for information.
    subtitle_like = make_pair(events, seed=events)
    offset_pair = make_track_pair(events, offset=200, shuffle=False, seed=7)
    met = True
    for label, original, reference, goal in (
        ("tracks whose cues both group", *subtitle_like, True),
        ("track pair with a 200 ms offset, in order", offset_pair.original, offset_pair.reference, False),
    ):
        cues = len(original) + len(reference)
        best, ratios = timed(original, reference, repeat, margin)
        print(f"{label}: {cues:,} cues (best of {repeat}, collector off while timing)")
        for name, seconds in best.items():
            print(f"  {name:18s}: {seconds * 1e3:8.2f} ms = {seconds / cues * 1e9:6.1f} ns per cue")
        ratio = best["pair_tracks"] / best["find_intersections"]
        verdict = ("OK" if ratio <= GOAL_SPEED else "MISSED") if goal else "(for information)"
        print(f"  pair_tracks / find_intersections: {ratio:.2f}x (rounds {min(ratios):.2f}-{max(ratios):.2f}) "
              f"(goal <= {GOAL_SPEED}x)  {verdict}")
        met &= ratio <= GOAL_SPEED or not goal
    return met


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=5000, help="timeline events per quality pair (default 5000)")
    parser.add_argument("--speed-events", type=int, default=50000, help="cues per track for timing (default 50000)")
    parser.add_argument("--repeat", type=int, default=7, help="timing rounds, best is kept (default 7)")
    args = parser.parse_args(argv)
    margin = pair_margin()
    print(f"pairing quality against true groups ({args.events:,} events per pair, margin {margin})")
    quality(args.events, margin)
    print()
    speed(args.speed_events, args.repeat, margin)
    return 0


if __name__ == "__main__":
    sys.exit(main())
