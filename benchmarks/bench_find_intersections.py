"""Benchmark of ``c_quorvel.tandril.find_intersections`` on realistic subtitle-like tracks.

For each size N (intervals per side) it pairs two tracks of N intervals (see ``tracks.py``) and
prints, all measured in this run, best of several repetitions, each contender timed with the
cyclic collector off inside its window (see ``timing.py``):

* the time per input interval (both sides counted);
* the ratio against a straightforward pure-Python implementation of the same work
  (``tests/models/pairing.py``), whose result is first checked to equal the module's;
* the ratio against ``pickle.loads`` of the result (pickled once with protocol 5): the cost of
  merely materialising the same Python objects from a compact byte stream.

Then it compares the time per interval across the sizes: the ratio must stay close to 1 (no
quadratic step).

Usage: python benchmarks/bench_find_intersections.py [--sizes 50000,100000] [--repeat 7]
"""

from __future__ import annotations

import argparse
import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from timing import time_once  # noqa: E402
from tracks import make_pair, pair_margin  # noqa: E402
from models.pairing import pair as py_find_intersections  # noqa: E402

from c_quorvel import tandril  # noqa: E402

TARGET_VS_PYTHON = 2.5  # module at least this many times faster than pure Python
TARGET_VS_PICKLE = 1.15  # module at most this many times the time of pickle.loads
TARGET_FLATNESS = 1.25  # time per interval at the largest size / at the smallest size


def bench_size(n: int, repeat: int, margin: int) -> dict:
    a, b = make_pair(n, seed=n)
    total = len(a) + len(b)

    expected = tandril.find_intersections(a, b)
    got = py_find_intersections(a, b, margin)
    assert got == expected, "pure-Python result differs from find_intersections"
    grouped_a = sum(len(g["original"]) for g in expected)
    grouped_b = sum(len(g["reference"]) for g in expected)
    payload = pickle.dumps(expected, protocol=5)
    del got, expected

    # Interleave the three measurements so that machine noise spreads over all of them.
    t_mod = t_py = t_pickle = float("inf")
    for _ in range(repeat):
        t_mod = min(t_mod, time_once(lambda: tandril.find_intersections(a, b)))
        t_pickle = min(t_pickle, time_once(lambda: pickle.loads(payload)))
        t_py = min(t_py, time_once(lambda: py_find_intersections(a, b, margin)))

    return {
        "n": n, "total": total, "len_a": len(a), "len_b": len(b),
        "grouped_a": grouped_a, "grouped_b": grouped_b,
        "t_mod": t_mod, "t_py": t_py, "t_pickle": t_pickle,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="50000,100000",
                        help="comma-separated intervals per side (default: 50000,100000)")
    parser.add_argument("--repeat", type=int, default=7, help="repetitions, best is kept (default: 7)")
    args = parser.parse_args(argv)
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()]
    if not sizes:
        parser.error("--sizes needs at least one size")
    margin = pair_margin()

    print(f"find_intersections benchmark (margin {margin}, best of {args.repeat}, collector off in each window)")
    rows = []
    for n in sizes:
        r = bench_size(n, args.repeat, margin)
        rows.append(r)
        vs_py = r["t_py"] / r["t_mod"]
        vs_pickle = r["t_mod"] / r["t_pickle"]
        print()
        print(f"N = {n:,} per side: original {r['len_a']:,} intervals, reference {r['len_b']:,}; "
              f"grouped {r['grouped_a']:,} + {r['grouped_b']:,} "
              f"({(r['grouped_a'] + r['grouped_b']) / r['total']:.1%})")
        for label, t in (("find_intersections", r["t_mod"]), ("pure Python", r["t_py"]),
                         ("pickle.loads", r["t_pickle"])):
            print(f"  {label:19s}: {t * 1e3:9.2f} ms  = {t / r['total'] * 1e9:7.1f} ns per input interval")
        print(f"  speed-up vs pure Python     : {vs_py:5.2f}x   (target >= {TARGET_VS_PYTHON}x)  "
              f"{'OK' if vs_py >= TARGET_VS_PYTHON else 'MISSED'}")
        print(f"  time / pickle.loads time    : {vs_pickle:5.2f}x   (target <= {TARGET_VS_PICKLE}x)  "
              f"{'OK' if vs_pickle <= TARGET_VS_PICKLE else 'MISSED'}")

    if len(rows) > 1:
        print()
        print("Scaling (time per input interval):")
        base = rows[0]
        base_per = base["t_mod"] / base["total"]
        for r in rows:
            per = r["t_mod"] / r["total"]
            print(f"  N = {r['n']:>9,}: {per * 1e9:7.1f} ns   ratio to N = {base['n']:,}: {per / base_per:5.2f}")
        last = rows[-1]["t_mod"] / rows[-1]["total"] / base_per
        print(f"  largest / smallest per-interval time: {last:5.2f}   (target <= {TARGET_FLATNESS}, flat)  "
              f"{'OK' if last <= TARGET_FLATNESS else 'MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
