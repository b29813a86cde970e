"""Time per element of the module's pairing and index build from 1,000 to 1,000,000 intervals.

Tracks are made as in the other benchmarks (``tracks.py``), starting near the low end of the
signed 32-bit range so that a million intervals keep every time inside it. Each size is timed by
``timing.time_once`` (collector off in each window), best of several repetitions (more for small
sizes). The time per element at each size is compared with that at the smallest size: it must
stay flat within 1.3x. ``pickle.loads`` of the pairing's result is timed beside it: the cost of
merely creating the result's objects, which grows as the data outgrow the caches; and, when the
floor extension is built (see bench_floor.py), the floor's build (merely reading the input) and
the floor's pairing (reading both inputs and building a one-to-one result without the walk).

Usage: python benchmarks/bench_scaling.py [--sizes 1000,10000,100000,1000000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import floor_extension  # noqa: E402
from timing import time_once  # noqa: E402
from tracks import derive_track, make_track  # noqa: E402

from c_quorvel import tandril  # noqa: E402

_floor = floor_extension.load()  # optional: without it, the floor's columns are left out

TARGET_FLATNESS = 1.3
FIRST_START = -2_140_000_000
INT32_MAX = 2**31 - 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1000,10000,100000,1000000")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions at the largest size (default: 5)")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s.strip()]

    print(f"Scaling (collector off in each window; best of {args.repeat} or more at smaller sizes)")
    print(f"  {'N per side':>12s}  {'pairing ns/input interval':>26s}  {'ratio':>6s}  {'build ns/interval':>18s}  "
          f"{'ratio':>6s}  {'pickle.loads ns/input interval':>31s}  {'ratio':>6s}"
          + (f"  {'floor build ns/interval':>24s}  {'ratio':>6s}  {'floor pairing ns/input':>23s}  {'ratio':>6s}"
             if _floor else ""))
    base = None
    worst = {"pairing": 0.0, "build": 0.0, "pickle.loads": 0.0}
    if _floor:
        worst["floor build"] = 0.0
        worst["floor pairing"] = 0.0
    for n in sizes:
        a = make_track(n, seed=n, start=FIRST_START)
        b = derive_track(a, seed=n + 1)
        last = max(max(d["end"] for d in a), max(d["end"] for d in b))
        assert min(a[0]["start"], b[0]["start"]) >= -(2**31) and last <= INT32_MAX, "times outside 32 bits"
        repeat = max(args.repeat, min(200, args.repeat * sizes[-1] // (10 * n)))
        t_pair = min(time_once(lambda: tandril.find_intersections(a, b)) for _ in range(repeat))
        t_build = min(time_once(lambda: tandril.PyIntervalSearch(a)) for _ in range(repeat))
        payload = pickle.dumps(tandril.find_intersections(a, b), protocol=5)
        t_loads = min(time_once(lambda: pickle.loads(payload)) for _ in range(repeat))
        per = {"pairing": t_pair / (len(a) + len(b)), "build": t_build / len(a),
               "pickle.loads": t_loads / (len(a) + len(b))}
        if _floor:
            per["floor build"] = min(time_once(lambda: _floor.build(a)) for _ in range(repeat)) / len(a)
            per["floor pairing"] = (min(time_once(lambda: _floor.read_and_build(a, b)) for _ in range(repeat))
                                    / (len(a) + len(b)))
        base = base or per
        ratio = {key: per[key] / base[key] for key in per}
        if n != sizes[0]:
            worst = {key: max(worst[key], ratio[key]) for key in ratio}
        print(f"  {n:>12,}  {per['pairing'] * 1e9:26.1f}  {ratio['pairing']:6.2f}  {per['build'] * 1e9:18.1f}  "
              f"{ratio['build']:6.2f}  {per['pickle.loads'] * 1e9:31.1f}  {ratio['pickle.loads']:6.2f}"
              + (f"  {per['floor build'] * 1e9:24.1f}  {ratio['floor build']:6.2f}"
                 f"  {per['floor pairing'] * 1e9:23.1f}  {ratio['floor pairing']:6.2f}" if _floor else ""))
    for key, value in worst.items():
        if key in ("pickle.loads", "floor build", "floor pairing"):
            print(f"  {key} (reference): largest ratio to the smallest size {value:5.2f}")
            continue
        print(f"  {key}: largest ratio to the smallest size {value:5.2f}   (target <= {TARGET_FLATNESS})  "
              f"{'OK' if value <= TARGET_FLATNESS else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
