"""Growth of c_quorvel.align.synchronize's time and memory with the tracks' length.

Time, from 1,000 to 64,000 cues a side, best of --repeat runs with the cyclic collector off in each
window (``timeit``), on three families, the reference the original moved by 7.3 s with each time
jittered by up to 100 ms:

* ordinary: dialogue, one cue every 3-4 s (the families below are set against it);
* dense: every cue starts within the same 60 s;
* two-hour film: the cues spread over 7,200 s, however many there are.

Printed per size: the time, its ratio to ordinary input of the same size (goal: at most 3) and its
growth since the previous size (linear doubles).

Memory: the peak resident size a call adds, per reference cue, in a process of its own for each
max_breaks, on unrelated tracks of --memory-cues cues (their free paths break often, so that the
dynamic programme that counts breaks runs); goal: at most 1 KB per cue for max_breaks up to 100.

Usage: python benchmarks/sync_growth.py [--repeat 3] [--memory-cues 200000]
"""

from __future__ import annotations

import argparse
import random
import resource
import subprocess
import sys
import timeit

from c_quorvel.align import synchronize

SIZES = (1000, 2000, 4000, 8000, 16000, 32000, 64000)
GOAL_RATIO = 3.0
GOAL_BYTES_PER_CUE = 1024


def track(cues: int, span: int | None, seed: int) -> list[dict]:
    rng = random.Random(seed)
    result = []
    time = 20000
    for _ in range(cues):
        length = rng.randint(1000, 6000)
        if span is None:
            time += length + rng.randint(100, 2000)
            start = time
        else:
            start = 20000 + rng.randrange(span)
        result.append({"start": start, "end": start + length, "text": ""})
    return result


def moved(cues: list[dict], seed: int) -> list[dict]:
    rng = random.Random(seed)
    result = []
    for cue in cues:
        start = cue["start"] + 7300 + rng.randint(-100, 100)
        result.append({"start": start, "end": max(start + 300, cue["end"] + 7300 + rng.randint(-100, 100)),
                       "text": ""})
    return result


def timing(repeat: int) -> bool:
    print(f"Time of synchronize, best of {repeat}, collector off; ratio to ordinary input of the same size "
          f"(goal <= {GOAL_RATIO}) and growth per doubling")
    print(f"{'cues':>7} {'ordinary':>10} {'dense':>10} {'ratio':>6} {'growth':>7} {'2-hour':>10} {'ratio':>6} "
          f"{'growth':>7}")
    met = True
    previous: dict[str, float] = {}
    for size in SIZES:
        times = {}
        for name, span in (("ordinary", None), ("dense", 60000), ("two-hour", 7200000)):
            original = track(size, span, seed=size)
            reference = moved(original, seed=size + 1)
            times[name] = min(timeit.repeat(lambda: synchronize(original, reference, min_confidence=0), number=1,
                                            repeat=repeat))
        row = f"{size:>7} {1000 * times['ordinary']:>8.1f}ms"
        for name in ("dense", "two-hour"):
            ratio = times[name] / times["ordinary"]
            met &= ratio <= GOAL_RATIO
            growth = f"{times[name] / previous[name]:>6.2f}x" if name in previous else f"{'':>7}"
            row += f" {1000 * times[name]:>8.1f}ms {ratio:>6.2f} {growth}"
        previous = times
        print(row)
    print(f"goal: dense and two-hour input within {GOAL_RATIO}x of ordinary at every size: " + ("OK" if met else "MISSED"))
    return met


def memory_child(cues: int, max_breaks: int) -> None:
    original = track(cues, None, seed=1)
    reference = track(cues, None, seed=2)  # unrelated: the free paths break often
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    synchronize(original, reference, max_breaks=max_breaks, min_confidence=0)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((after - before) * 1024 / cues)


def memory(cues: int) -> bool:
    print(f"\nPeak memory a call adds, per cue, {cues} unrelated cues a side (a process per row)")
    met = True
    for max_breaks in (2, 14, 100):
        result = subprocess.run([sys.executable, __file__, "--memory-child", str(cues), str(max_breaks)],
                                capture_output=True, text=True, check=True)
        per_cue = float(result.stdout)
        met &= per_cue <= GOAL_BYTES_PER_CUE
        print(f"max_breaks {max_breaks:>3}: {per_cue:>7.0f} bytes per cue")
    print(f"goal: at most {GOAL_BYTES_PER_CUE} bytes per cue: " + ("OK" if met else "MISSED"))
    return met


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[1] == "--memory-child":
        memory_child(int(sys.argv[2]), int(sys.argv[3]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--memory-cues", type=int, default=200000)
    args = parser.parse_args()
    timing(args.repeat)
    memory(args.memory_cues)
    return 0


if __name__ == "__main__":
    sys.exit(main())
