"""Growth of c_quorvel.align.pair_tracks and c_quorvel.align.synchronize on adversarial tracks.

For each family, the best time at each size (cues a side) and its ratio to ordinary tracks of the
same size, timed in the same run with the cyclic collector off inside each window
(``timing.time_once``). Goal: every ratio at most 3 from 1,000 to 64,000 cues.

Families of pair_tracks (margin 1000):

* ordinary: a realistic track and one derived from it (``tracks.make_pair``);
* staircase: ``A[i] = [1001 i, 1001 i + 2^30]``, ``B[i] = [1001 i, 1001 i + 2^30 + 1]``: every cue
  overlaps every other, each matches only its neighbours;
* nested chain: ``A[i] = [1001 i, 2^30 - 1001 i]``, ``B[i]`` the same one longer: every cue lies
  inside the ones before it, so each matches all later ones, which belong rather to its follower.

Families of synchronize (the reference 1.5 s late, ends jittered):

* ordinary: as above;
* dense: every cue starting within the first 60 s;
* two-hour film: the cues spread over two hours (from 16,000 cues on, a cue every 450 ms or less).

Usage: python benchmarks/bench_growth.py [--full] [--repeat 3]
(default: pairing at 1,000 .. 16,000 cues, synchronisation at 1,000 .. 8,000 and the film at
16,000; --full: everything from 1,000 to 64,000.)
"""

from __future__ import annotations

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from timing import time_once  # noqa: E402
from tracks import make_pair  # noqa: E402

from c_quorvel.align import pair_tracks, synchronize  # noqa: E402

MARGIN = 1000
GOAL_RATIO = 3.0
LONG = 1 << 30


def cues(spans: list[tuple[int, int]], label: str) -> list[dict]:
    return [{"start": start, "end": end, "text": f"{label}{k}"} for k, (start, end) in enumerate(spans)]


def ordinary(size: int) -> tuple[list[dict], list[dict]]:
    original, reference = make_pair(size, seed=size)
    return (cues([(c["start"], c["end"]) for c in original], "a"),
            cues([(c["start"], c["end"]) for c in reference[:size]], "b"))


def staircase(size: int) -> tuple[list[dict], list[dict]]:
    return (cues([(1001 * k, 1001 * k + LONG) for k in range(size)], "a"),
            cues([(1001 * k, 1001 * k + LONG + 1) for k in range(size)], "b"))


def nested_chain(size: int) -> tuple[list[dict], list[dict]]:
    return (cues([(1001 * k, LONG - 1001 * k) for k in range(size)], "a"),
            cues([(1001 * k, LONG - 1001 * k + 1) for k in range(size)], "b"))


def late_copy(original: list[dict], seed: int) -> list[dict]:
    rng = random.Random(seed)
    return [{"start": c["start"] + 1500, "end": c["end"] + 1500 + rng.randint(-200, 200), "text": c["text"]}
            for c in original]


def spread(size: int, length: int, seed: int) -> tuple[list[dict], list[dict]]:
    """``size`` cues starting at random within ``length`` ms, and a late copy of them."""
    rng = random.Random(seed)
    spans = []
    for _ in range(size):
        start = rng.randrange(length)
        spans.append((start, start + int(rng.triangular(800, 6000, 2200))))
    spans.sort()
    original = cues(spans, "a")
    return original, late_copy(original, seed + 1)


def sync_ordinary(size: int) -> tuple[list[dict], list[dict]]:
    original = ordinary(size)[0]
    return original, late_copy(original, size)


def dense(size: int) -> tuple[list[dict], list[dict]]:
    return spread(size, 60_000, size)


def two_hour_film(size: int) -> tuple[list[dict], list[dict]]:
    return spread(size, 2 * 3600 * 1000, size)


def best(call, repeat: int) -> float:
    return min(time_once(call) for _ in range(repeat))


def table(title: str, run, families: dict, sizes: dict, repeat: int) -> bool:
    """Times every family at its sizes beside ordinary tracks of the same size; True when every
    ratio meets the goal."""
    names = list(families)
    all_sizes = sorted({size for name in names for size in sizes[name]})
    print(f"\n{title}: best of {repeat}, ms (ratio to ordinary of the same size)")
    print(f"{'cues':>7} " + " ".join(f"{name:>22}" for name in names))
    met = True
    for size in all_sizes:
        ordinary_tracks = families[names[0]](size)
        base = best(lambda: run(*ordinary_tracks), repeat)
        cells = [f"{1000 * base:>13.1f} ms      "]
        for name in names[1:]:
            if size not in sizes[name]:
                cells.append(f"{'':>22}")
                continue
            tracks = families[name](size)
            seconds = best(lambda: run(*tracks), repeat)
            ratio = seconds / base
            met &= ratio <= GOAL_RATIO
            cells.append(f"{1000 * seconds:>10.1f} ms ({ratio:>5.2f}x)")
        print(f"{size:>7} " + " ".join(cells), flush=True)
    return met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="every family from 1,000 to 64,000 cues")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--skip-sync", action="store_true", help="time pair_tracks only")
    args = parser.parse_args()

    doubling = [1000 * 2**k for k in range(7)]
    pairing_sizes = doubling if args.full else [1000, 4000, 16000]
    met = table("pair_tracks", lambda a, b: pair_tracks(a, b, margin=MARGIN),
                {"ordinary": ordinary, "staircase": staircase, "nested chain": nested_chain},
                {"ordinary": pairing_sizes, "staircase": pairing_sizes, "nested chain": pairing_sizes},
                args.repeat)
    if not args.skip_sync:
        sync_sizes = doubling if args.full else [1000, 4000, 8000]
        film_sizes = [16000, 32000, 64000] if args.full else [16000]
        met &= table("synchronize", synchronize,
                     {"ordinary": sync_ordinary, "dense": dense, "two-hour film": two_hour_film},
                     {"ordinary": sorted(set(sync_sizes) | set(film_sizes)), "dense": sync_sizes,
                      "two-hour film": film_sizes},
                     args.repeat)
    print(f"\ngoal: every ratio at most {GOAL_RATIO:.0f}x: {'OK' if met else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
