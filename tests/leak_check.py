"""Memory-leak check for native calls: repeated calls must not grow the allocated block count."""

import gc
import sys


def allocated_growth(action, *, rounds=4, calls=300, warmup=100):
    """Block-count growth of each round of `calls` calls of `action`, after a warm-up."""
    for _ in range(warmup):
        action()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return growth


def assert_no_leak(action, *, expect=None, calls=300):
    """Fails when every round grew by a sizeable fraction of the number of calls.

    `expect` is an exception type (or tuple) that `action` is meant to raise on every call; it is
    checked and swallowed, so error paths can be measured too.
    """

    def run():
        if expect is None:
            action()
            return
        try:
            action()
        except expect:
            return
        raise AssertionError(f"{action!r} did not raise {expect!r}")

    growth = allocated_growth(run, calls=calls)
    # One leaked object per call grows every round by at least `calls` blocks; allocator noise
    # stays far below a tenth of that in at least one round.
    assert min(growth) < calls // 10, f"allocated blocks grew by {growth} per {calls} calls"
